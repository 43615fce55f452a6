#pragma once

#include "src/device/device.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Disk-image files as targets (virtual machines, tests): created when missing, grown to hold at
// least min_size bytes, and opened the way a prepared disk is. Null with a reason on failure.
std::shared_ptr<device> open_file_target(const std::string& path, uint64_t min_size, std::string& error);

// Reads a written target back, past any cache where the platform allows it.
class disk_reader {
public:
    virtual ~disk_reader() = default;
    virtual bool read(uint64_t offset, unsigned char* data, size_t size) = 0;
};

std::unique_ptr<disk_reader> open_disk_reader(const std::string& path);

// One drive however it is named: symlinks (/dev/disk/by-id/...), "." and "..", relative paths, a
// block device by its device number. Two targets of one identity are the same drive.
std::string drive_identity(const std::string& path);

// Empty when this process may open disks at all; otherwise what the operator must do, in words
// ("run as administrator"). Where each disk's own permissions decide, always empty.
std::string process_disk_refusal();

// Empty when the disk may be opened for writing; otherwise why not, in words for the operator
// ("permission denied: run as root"). Opens nothing for longer than the check.
std::string disk_write_refusal(const std::string& path);
// The refusal of a disk whose node is gone, or not made yet by the system: it may pass.
extern const char* const disk_missing_refusal;
