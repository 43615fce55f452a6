#include "src/device/disk_access.h"

#include "src/device/device_linux.h"
#include "src/device/disk_io_linux.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr uint64_t alignment = 4096;
constexpr uint64_t wiped_bytes = 1 << 20; // at each end, as a disk's preparation wipes it

class linux_reader : public disk_reader {
public:
    explicit linux_reader(int fd) : m_fd(fd) {}

    bool read(uint64_t offset, unsigned char* data, size_t size) override
    {
        // Direct I/O reads whole aligned blocks: read the enclosing range and copy the part asked for.
        const uint64_t start = offset / alignment * alignment;
        const uint64_t end = (offset + size + alignment - 1) / alignment * alignment;
        aligned_buffer buffer(static_cast<size_t>(end - start));
        if (!buffer.data)
            return false;
        size_t got = 0;
        while (got < buffer.size) {
            const ssize_t n = pread(m_fd.get(), buffer.data + got, buffer.size - got, static_cast<off_t>(start + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        if (got < offset - start + size)
            return false;
        std::memcpy(data, buffer.data + (offset - start), size);
        return true;
    }

private:
    unique_fd m_fd;
};

std::string base_name(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::shared_ptr<device> open_file_target(const std::string& path, uint64_t min_size, std::string& error)
{
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        error = "not a regular file";
        return nullptr;
    }
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags | O_DIRECT, 0644);
    if (fd < 0 && errno == EINVAL)
        fd = ::open(path.c_str(), flags, 0644);
    unique_fd file(fd);
    if (!file.valid()) {
        error = std::strerror(errno);
        return nullptr;
    }
    // Two runs writing one file would each check their own text and both say ok.
    if (flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
        error = "in use by another run";
        return nullptr;
    }
    // The writes grow the file. Growing it first with ftruncate would leave holes that direct
    // writes on ext4 fill through the page cache, making the final flush as slow as the whole write.
    const uint64_t length = disk_length(file.get());
    // What the file held stops looking bootable before the first write, as a wiped disk does: a
    // stop or a damaged archive then leaves no old partition table in front of new blocks.
    const uint64_t wiped = std::min(wiped_bytes, length);
    if (length > 0
        && (!write_zeros(file.get(), 0, wiped) || !write_zeros(file.get(), length - wiped, wiped) || fsync(file.get()) != 0)) {
        error = std::string("cannot clear its old partition table: ") + std::strerror(errno);
        return nullptr;
    }
    const uint64_t wanted = (min_size + 511) / 512 * 512;
    auto record = std::make_shared<device_linux>();
    record->path = path;
    record->name = base_name(path);
    record->size = std::max(length, wanted);
    // The file system's block is the file's sector: writes of whole blocks stay direct.
    struct stat opened;
    const bool usable_block = fstat(file.get(), &opened) == 0 && opened.st_blksize >= 512 && opened.st_blksize <= 65536
        && (opened.st_blksize & (opened.st_blksize - 1)) == 0;
    record->sector_size = usable_block ? static_cast<uint32_t>(opened.st_blksize) : 512;
    record->handles.push_back(file.release());
    return record;
}

std::unique_ptr<disk_reader> open_disk_reader(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (fd < 0 && errno == EINVAL)
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    return std::make_unique<linux_reader>(fd);
}

std::string drive_identity(const std::string& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISBLK(info.st_mode))
            return "block " + std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
        return "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    }
    // Not there yet (a disk-image file to be created): its folder, resolved, and its name; through
    // a dangling symlink, the name it points at.
    QFileInfo file(QString::fromStdString(path));
    for (int hops = 0; file.isSymLink() && hops < 16; ++hops)
        file = QFileInfo(file.symLinkTarget());
    const QString folder = QFileInfo(file.absolutePath()).canonicalFilePath();
    return "new " + (folder.isEmpty() ? file.absoluteFilePath() : QDir(folder).filePath(file.fileName())).toStdString();
}

const char* const disk_missing_refusal = "not there (unplugged?)";

std::string process_disk_refusal()
{
    return std::string(); // a user in the disk group writes sticks without root: disk_write_refusal tells
}

std::string disk_write_refusal(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        ::close(fd);
        return std::string();
    }
    const int error = errno;
    if (error == EACCES || error == EPERM)
        return "permission denied: run as root";
    if (error == EROFS)
        return "write-protected";
    if (error == ENOENT || error == ENXIO || error == ENODEV)
        return disk_missing_refusal;
    return std::strerror(error);
}
