// Machines the Windows tests start from, on the simulated layer of win32sim/.
#pragma once

#include "win32_machine.h"

#include <QStringList>

#include <string>
#include <vector>

namespace win32sim {

inline sim_disk usb_stick(DWORD number, const std::string& friendly_name = "SanDisk Cruzer USB Device")
{
    sim_disk disk;
    disk.interface_path = "\\\\?\\usbstor#disk&ven_x&prod_y#" + std::to_string(number) + "#{53f56307}";
    disk.device_number = number;
    disk.friendly_name = friendly_name;
    return disk;
}

inline sim_disk internal_disk(DWORD number, STORAGE_BUS_TYPE bus)
{
    sim_disk disk = usb_stick(number, "Internal disk");
    disk.interface_path = "\\\\?\\scsi#disk#" + std::to_string(number);
    disk.bus_type = bus;
    return disk;
}

inline sim_volume volume(char letter, DWORD number, UINT type = DRIVE_REMOVABLE)
{
    sim_volume v;
    v.letter = letter;
    v.device_number = number;
    v.drive_type = type;
    return v;
}

// A machine with Windows on disk 0 (C:) and whatever the test adds.
inline void windows_machine()
{
    reset();
    auto guard = lock();
    state().disks.push_back(internal_disk(0, BusTypeSata));
    state().volumes.push_back(volume('C', 0, DRIVE_FIXED));
}

// What a test leaves behind: no handle, no device information set, no close of a non-handle.
inline bool machine_is_clean(QStringList& left)
{
    auto guard = lock();
    for (const std::string& path : open_handle_paths())
        left << QString::fromStdString(path);
    if (open_info_sets())
        left << QString("%1 device information sets").arg(open_info_sets());
    if (state().invalid_closes)
        left << QString("%1 closes of no handle").arg(state().invalid_closes);
    return left.isEmpty();
}

inline QStringList qt_calls(const std::string& function = std::string())
{
    QStringList out;
    for (const std::string& call : calls(function))
        out << QString::fromStdString(call);
    return out;
}

} // namespace win32sim
