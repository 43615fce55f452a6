#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Owns a file descriptor until it is released to a longer-lived owner.
class unique_fd {
public:
    explicit unique_fd(int fd = -1) : m_fd(fd) {}
    ~unique_fd();
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release();

private:
    int m_fd;
};

// The whole disk, exclusive, bypassing the page cache where the target allows it.
int open_disk_for_writing(const std::string& path);

// Bytes of a block device or a disk-image file.
uint64_t disk_length(int fd);

// Writes all of [data, data + size) at offset; false with errno set when it cannot. Pieces that
// direct I/O refuses (not whole blocks) are written through the page cache instead.
bool write_all(int fd, const void* data, size_t size, uint64_t offset);
bool write_zeros(int fd, uint64_t offset, uint64_t size);

// Page-aligned memory, as direct I/O needs it.
struct aligned_buffer {
    explicit aligned_buffer(size_t size);
    ~aligned_buffer();
    aligned_buffer(const aligned_buffer&) = delete;
    aligned_buffer& operator=(const aligned_buffer&) = delete;

    unsigned char* data = nullptr;
    size_t size = 0;
};
