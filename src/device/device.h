#pragma once

#include <QMetaType>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One USB disk as the rest of the program sees it. Each platform extends it with the open
// handles or descriptors it keeps for the disk between preparation and writing.
struct device {
    std::string path;                 // what opens the whole disk
    std::string name;                 // shown to the user
    uint64_t size = 0;                // bytes
    uint32_t sector_size = 0;         // bytes
    uint16_t number = 0;              // volumes belong to the disk with this number
    std::vector<std::string> volumes; // mounted volumes of the disk
    std::string refusal;              // why the last preparation gave up, in words; "" when it did not
    bool is_system = false;           // holds the running system: listed, but never written
    // Which stick it is physically, where the system tells: the USB port it sits in and its serial
    // number; "" when unknown.
    std::string port;
    std::string serial;
};

// Whether two records, of two looks at the system, are one disk: a stick swapped for another
// between the looks may take over its path, not its serial number and size as well.
inline bool same_disk(const device& a, const device& b)
{
    return a.path == b.path && a.serial == b.serial && a.size == b.size;
}

Q_DECLARE_METATYPE(std::shared_ptr<device>)
