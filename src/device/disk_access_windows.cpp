#include "src/device/disk_access.h"

#include "src/device/device_windows.h"
#include "src/device/volumes_windows.h"

#include <windows.h>

#include <vector>

namespace {

class windows_reader : public disk_reader {
public:
    explicit windows_reader(HANDLE handle) : m_handle(handle) {}

    bool read(uint64_t offset, unsigned char* data, size_t size) override
    {
        // Raw disks read whole sectors: read the enclosing range and copy the part asked for.
        const uint64_t start = offset / 4096 * 4096;
        const uint64_t end = (offset + size + 4095) / 4096 * 4096;
        std::vector<unsigned char> buffer(static_cast<size_t>(end - start));
        LARGE_INTEGER position;
        position.QuadPart = static_cast<LONGLONG>(start);
        DWORD got = 0;
        if (!SetFilePointerEx(m_handle.get(), position, nullptr, FILE_BEGIN)
            || !ReadFile(m_handle.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)
            || got < offset - start + size)
            return false;
        std::copy(buffer.begin() + static_cast<ptrdiff_t>(offset - start),
                  buffer.begin() + static_cast<ptrdiff_t>(offset - start + size), data);
        return true;
    }

private:
    scoped_handle m_handle;
};

} // namespace

std::shared_ptr<device> open_file_target(const std::string& path, uint64_t min_size, std::string& error)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::make_unique<windows_reader>(handle);
}
