#pragma once

#include "src/device/device.h"

#include <windows.h>

#include <vector>

// The Windows record: the handles that keep the disk's volumes locked and the disk open between
// preparation and writing. Entry 0 is the whole disk once the disk is prepared.
struct device_windows : device {
    std::vector<HANDLE> handles;
};

inline device_windows& windows_record(device& dev)
{
    return static_cast<device_windows&>(dev);
}
