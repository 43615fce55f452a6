#pragma once

#include <string>
#include <utility>
#include <vector>

// Reading the kernel's view of block devices: plain parsers for the text of mount tables and
// sysfs attributes, and small readers that walk a sysfs tree under a given root.

struct mount_entry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string mount_point;
    std::string fstype;
    std::string source;
};

using dev_number = std::pair<unsigned, unsigned>; // major, minor

// Lines of /proc/<pid>/mountinfo; octal escapes (\040 for a space) in mount points are undone.
std::vector<mount_entry> parse_mountinfo(const std::string& text);
// The file names of /proc/swaps (the header line skipped).
std::vector<std::string> parse_swaps(const std::string& text);
// "8:16" -> (8, 16)
bool parse_dev_number(const std::string& text, dev_number& number);
// Whether a resolved sysfs device path passes through a USB node ("/usb1/", "/usb2/" ...).
bool is_usb_device_path(const std::string& path);
std::string trim(const std::string& text);
// The USB device a resolved sysfs device path passes through last, as the kernel names it by its
// port ("2-1.3" in ".../usb2/2-1/2-1.3/2-1.3:1.0/host6/..."); "" when there is none. With it, the
// path up to and including that device (where its "serial" file is).
std::string usb_port_of(const std::string& path, std::string* device_path = nullptr);

std::string read_text_file(const std::string& path);

// One sysfs tree: <root>/block/<disk>/...
class sysfs_tree {
public:
    explicit sysfs_tree(std::string root) : m_root(std::move(root)) {}

    std::vector<std::string> disks() const;                 // names under block/, sorted
    std::string attribute(const std::string& disk, const std::string& name) const; // trimmed, "" when unreadable
    bool on_usb_bus(const std::string& disk) const;
    // The disk's USB port and the serial number of the USB device there; "" when unknown.
    void usb_identity(const std::string& disk, std::string& port, std::string& serial) const;
    // One line per disk on the USB bus: its name, serial number and size, which change when a
    // stick is swapped for another, even within one look.
    std::vector<std::string> usb_disk_identities() const;
    // The disk's own number and those of its partitions.
    std::vector<dev_number> numbers_of(const std::string& disk) const;
    // The disk a partition name belongs to ("sdb1" -> "sdb"), or "" when none here.
    std::string disk_of_partition(const std::string& partition) const;
    // The whole disks that hold a block device, by its kernel name: a disk itself, the disk of a
    // partition, the disks under device-mapper or RAID (slaves/), and with btrfs those of every
    // device of the file system that device belongs to (fs/btrfs/<uuid>/devices/).
    std::vector<std::string> disks_under(const std::string& name, bool btrfs) const;

private:
    std::string m_root;
};

// Mount points of the disk and its partitions, in table order.
std::vector<std::string> mount_points_of(const std::vector<mount_entry>& table, const std::vector<dev_number>& numbers);
