// The simulated Windows machine behind the test-only windows.h, setupapi.h and winioctl.h: disks,
// drive letters, files, handles and device counts that tests script and inspect. It is as strict
// as Windows where the disk code could go wrong: locks, dismounts, share modes, handle values,
// raw I/O alignment and writes into mounted volumes.
#pragma once

#include "windows.h"
#include "winioctl.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace win32sim {

struct sim_volume {
    char letter = 'E';
    UINT drive_type = DRIVE_REMOVABLE;
    DWORD device_number = 1;
    bool opens = true;
    unsigned long long offset = 1048576;      // where it starts on its disk; it reaches the disk's end
    // A file system without a partition table (a "superfloppy"): once the wiped disk's layout is
    // read again, Windows finds it and mounts it afresh.
    bool returns_after_wipe = false;

    // Its state. A dismount ends the mount until the next open of the volume, unless it is locked.
    bool mounted = true;
    HANDLE locked_by = nullptr;
    int locks = 0;
    int dismounts = 0;
    unsigned serial = 0;                     // which volume device this is; set by the layer
};

struct sim_disk {
    std::string interface_path;              // what SetupAPI hands out for the disk interface
    DWORD device_number = 1;
    STORAGE_BUS_TYPE bus_type = BusTypeUsb;
    bool write_protected = false;            // IOCTL_DISK_IS_WRITABLE fails with ERROR_WRITE_PROTECT
    LONGLONG cylinders = 1958;
    DWORD tracks_per_cylinder = 255;
    DWORD sectors_per_track = 63;
    DWORD bytes_per_sector = 512;
    bool has_friendly_name = true;
    std::string friendly_name = "SanDisk Cruzer USB Device";
    bool has_description = true;
    std::string description = "Disk drive";
    bool has_info_element = true;            // SetupDiEnumDeviceInfo finds it
    std::string location;                    // SPDRP_LOCATION_INFORMATION; none when empty
    std::string instance_id = "USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER&REV_1.00\\4C530001231221116432&0";
    bool interface_opens = true;
    bool vanished = false;                   // \\.\PhysicalDriveN no longer opens
    std::map<DWORD, DWORD> failing_controls; // control code -> error it fails with
    long long fail_writes_at = -1;           // a write reaching this byte fails with write_error
    DWORD write_error = ERROR_DEVICE_NOT_CONNECTED;
    DWORD flush_error = ERROR_SUCCESS;       // FlushFileBuffers fails with it

    // What happened to it.
    int layout_deletions = 0;
    int property_updates = 0;
    std::vector<unsigned char> content;      // bytes written through WriteFile
    std::vector<sim_volume> returning;       // wiped volumes that show again at the next re-read

    unsigned long long size() const
    {
        return static_cast<unsigned long long>(cylinders) * tracks_per_cylinder * sectors_per_track * bytes_per_sector;
    }
};

struct sim_file {
    std::vector<unsigned char> content;
    bool read_only = false;
};

struct machine {
    std::vector<sim_disk> disks;             // in SetupAPI member order
    std::vector<sim_volume> volumes;         // drive letters, listed in letter order
    std::map<std::string, sim_file> files;   // by file_key()
    int usbstor_count = 0;
    int usbstor_polls = 0;                   // device information sets built for the count
    bool usbstor_query_fails = false;
    bool elevated = true;                    // unelevated, disks and volumes open only without access
    // Closes of values that were no handle (again closed, never opened, INVALID_HANDLE_VALUE).
    int invalid_closes = 0;
    // "CreateFileA <path> <access> <share> <disposition> <flags>", "DeviceIoControl <path> <code>",
    // "CloseHandle <path>", "WriteFile <path> <offset> <bytes>", "FlushFileBuffers <path>", numbers in hex.
    std::vector<std::string> calls;
};

// Every function of the layer takes this lock; tests hold it while they change or read the machine.
std::unique_lock<std::recursive_mutex> lock();
machine& state();

void reset();
std::vector<std::string> open_handle_paths();
int open_info_sets();
sim_disk* disk_with_number(DWORD number);
sim_volume* volume_with_letter(char letter);
// Files are named case-insensitively, with either slash.
std::string file_key(const std::string& path);
sim_file* file_with_path(const std::string& path);
// The calls recorded since the last reset, filtered by their first word when one is given.
std::vector<std::string> calls(const std::string& function = std::string());

} // namespace win32sim
