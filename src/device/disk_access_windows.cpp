#include "src/device/disk_access.h"

#include "src/device/device_windows.h"
#include "src/device/volumes_windows.h"

#include <QFileInfo>

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <memory>
#include <new>
#include <cctype>
#include <vector>

namespace {

// Paths from the command line are UTF-8: the wide API takes them whole, any characters included.
HANDLE open_path(const std::string& utf8_path, DWORD access, DWORD share, DWORD disposition)
{
    const std::wstring wide = QString::fromStdString(utf8_path).toStdWString();
    return CreateFileW(wide.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

struct aligned_delete {
    void operator()(unsigned char* memory) const { ::operator delete[](memory, std::align_val_t(4096)); }
};

class windows_reader : public disk_reader {
public:
    windows_reader(HANDLE handle, DWORD sector) : m_handle(handle), m_sector(sector) {}

    bool read(uint64_t offset, unsigned char* data, size_t size) override
    {
        // Raw disks read whole sectors into aligned memory: read the enclosing sectors (never past
        // the last one) and copy the part asked for.
        const uint64_t start = offset / m_sector * m_sector;
        const uint64_t end = (offset + size + m_sector - 1) / m_sector * m_sector;
        const size_t length = static_cast<size_t>(end - start);
        std::unique_ptr<unsigned char[], aligned_delete> buffer(
            static_cast<unsigned char*>(::operator new[](length, std::align_val_t(4096))));
        LARGE_INTEGER position;
        position.QuadPart = static_cast<LONGLONG>(start);
        DWORD got = 0;
        if (!SetFilePointerEx(m_handle.get(), position, nullptr, FILE_BEGIN)
            || !ReadFile(m_handle.get(), buffer.get(), static_cast<DWORD>(length), &got, nullptr)
            || got < offset - start + size)
            return false;
        std::copy(buffer.get() + (offset - start), buffer.get() + (offset - start + size), data);
        return true;
    }

private:
    scoped_handle m_handle;
    DWORD m_sector;
};

bool write_zeros(HANDLE file, uint64_t offset, uint64_t size)
{
    const std::vector<char> zeros(static_cast<size_t>(std::min<uint64_t>(size, 1 << 20)), '\0');
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (size > 0 && !SetFilePointerEx(file, position, nullptr, FILE_BEGIN))
        return false;
    for (uint64_t left = size; left > 0;) {
        const DWORD piece = static_cast<DWORD>(std::min<uint64_t>(left, zeros.size()));
        DWORD written = 0;
        if (!WriteFile(file, zeros.data(), piece, &written, nullptr) || written != piece)
            return false;
        left -= piece;
    }
    return true;
}

} // namespace

std::shared_ptr<device> open_file_target(const std::string& path, uint64_t min_size, std::string& error)
{
    HANDLE file = open_path(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot open (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        error = "cannot read its size";
        CloseHandle(file);
        return nullptr;
    }
    // What the file held stops looking bootable before the first write, as a wiped disk does: a
    // stop or a damaged archive then leaves no old partition table in front of new blocks.
    const uint64_t length = static_cast<uint64_t>(size.QuadPart);
    const uint64_t wiped = std::min<uint64_t>(1 << 20, length);
    if (length > 0 && (!write_zeros(file, 0, wiped) || !write_zeros(file, length - wiped, wiped) || !FlushFileBuffers(file))) {
        error = "cannot clear its old partition table (error " + std::to_string(GetLastError()) + ")";
        CloseHandle(file);
        return nullptr;
    }
    const uint64_t wanted = (min_size + 511) / 512 * 512;
    if (static_cast<uint64_t>(size.QuadPart) < wanted) {
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(wanted);
        if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
            error = "cannot grow it";
            CloseHandle(file);
            return nullptr;
        }
        size = end;
    }
    auto record = std::make_shared<device_windows>();
    record->path = path;
    record->name = path.substr(path.find_last_of("/\\") == std::string::npos ? 0 : path.find_last_of("/\\") + 1);
    record->size = static_cast<uint64_t>(size.QuadPart);
    record->sector_size = 512;
    record->handles.push_back(file);
    return record;
}

std::unique_ptr<disk_reader> open_disk_reader(const std::string& path)
{
    HANDLE handle = open_path(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    // A disk reads in its own sectors; a file (no geometry) in 512-byte ones.
    DISK_GEOMETRY geometry{};
    DWORD returned = 0;
    const DWORD sector = DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry,
                                         &returned, nullptr)
            && geometry.BytesPerSector >= 512
        ? geometry.BytesPerSector
        : 512;
    return std::make_unique<windows_reader>(handle, sector);
}

std::string drive_identity(const std::string& path)
{
    // Raw disks and volumes are named one way only; files by their resolved path, whose case
    // does not matter on Windows.
    std::string identity = path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\", 0) == 0
        ? path
        : [&] {
              const QFileInfo file(QString::fromStdString(path));
              const QString resolved = file.canonicalFilePath();
              return (resolved.isEmpty() ? file.absoluteFilePath() : resolved).toStdString();
          }();
    std::transform(identity.begin(), identity.end(), identity.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return identity;
}

const char* const disk_missing_refusal = "not there (unplugged?)";

std::string process_disk_refusal()
{
    // Unelevated, Windows lists no disk and opens none: the program starts so (for --help, --list,
    // disk-image files) and says so when disks are asked for. A token that cannot be asked leaves
    // it to the disk's own open.
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool known = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)
        && GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    if (token)
        CloseHandle(token);
    return !known || elevation.TokenIsElevated ? std::string()
                                                : "administrator rights are needed to open USB disks: run as administrator";
}

std::string disk_write_refusal(const std::string& path)
{
    HANDLE handle = open_path(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return std::string();
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED)
        return "permission denied: run as administrator";
    if (error == ERROR_WRITE_PROTECT)
        return "write-protected";
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return disk_missing_refusal;
    return "cannot open it (error " + std::to_string(error) + ")";
}
