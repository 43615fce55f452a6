#pragma once

#include "src/device/device.h"

#include <windows.h>

#include <vector>

// The Windows record: the handles that keep the disk's volumes locked and the disk open between
// preparation and writing. Entry 0 is the whole disk once the disk is prepared.
struct device_windows : device {
    std::vector<HANDLE> handles;
    // The named lock of the disk, held by the run that prepared it until its handles are closed.
    HANDLE run_lock = nullptr;
};

inline device_windows& windows_record(device& dev)
{
    return static_cast<device_windows&>(dev);
}

// Closes everything kept open for the disk, its run lock included, and forgets its volumes.
inline void release_windows_record(device_windows& disk)
{
    for (HANDLE handle : disk.handles)
        if (handle && handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    disk.handles.clear();
    disk.volumes.clear();
    if (disk.run_lock)
        CloseHandle(disk.run_lock);
    disk.run_lock = nullptr;
}
