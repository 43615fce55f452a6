#include "src/device/disk_io_linux.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <new>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t alignment = 4096;

bool set_direct(int fd, bool on)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    return fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

bool is_direct(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_DIRECT);
}

} // namespace

unique_fd::~unique_fd()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int unique_fd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

int open_disk_for_writing(const std::string& path)
{
    // No O_SYNC: direct writes already bypass the cache, and the burner flushes once at the end.
    const int flags = O_RDWR | O_EXCL | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags | O_DIRECT);
    if (fd < 0 && errno == EINVAL)
        fd = ::open(path.c_str(), flags); // the target (tmpfs, some FUSE) has no direct I/O
    return fd;
}

uint64_t disk_length(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return 0;
    if (S_ISBLK(info.st_mode)) {
        uint64_t bytes = 0;
        return ioctl(fd, BLKGETSIZE64, &bytes) == 0 ? bytes : 0;
    }
    return static_cast<uint64_t>(info.st_size);
}

bool write_all(int fd, const void* data, size_t size, uint64_t offset)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    bool direct_dropped = false;
    while (size > 0) {
        const ssize_t written = pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EINVAL && !direct_dropped && is_direct(fd)) {
            // Direct I/O wants whole, aligned blocks; this piece goes through the cache.
            if (!set_direct(fd, false))
                return false;
            direct_dropped = true;
            continue;
        }
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            if (direct_dropped)
                set_direct(fd, true);
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
        offset += static_cast<uint64_t>(written);
    }
    if (direct_dropped)
        set_direct(fd, true);
    return true;
}

bool write_zeros(int fd, uint64_t offset, uint64_t size)
{
    if (size == 0)
        return true;
    aligned_buffer zeros(static_cast<size_t>(std::min<uint64_t>(size, 1 << 20)));
    if (!zeros.data) {
        errno = ENOMEM;
        return false;
    }
    std::memset(zeros.data, 0, zeros.size);
    while (size > 0) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(size, zeros.size));
        if (!write_all(fd, zeros.data, piece, offset))
            return false;
        offset += piece;
        size -= piece;
    }
    return true;
}

aligned_buffer::aligned_buffer(size_t bytes)
{
    const size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    void* memory = nullptr;
    if (rounded > 0 && posix_memalign(&memory, alignment, rounded) == 0) {
        data = static_cast<unsigned char*>(memory);
        size = bytes;
    }
}

aligned_buffer::~aligned_buffer()
{
    std::free(data);
}
