// The simulated machine's private side, shared by the units that implement the Win32 functions:
// the handle table and the helpers every function uses.
#pragma once

#include "setupapi.h"
#include "win32_machine.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace win32sim {

enum class handle_kind { disk, volume, file, named };

struct open_handle {
    std::string path;         // as opened
    handle_kind kind = handle_kind::disk;
    DWORD number = 0;         // disk: its device number
    unsigned volume = 0;      // volume: the serial of the volume device
    std::string file;         // file: its key
    DWORD access = 0;
    DWORD share = 0;
    DWORD flags = 0;
    unsigned long long position = 0;
    bool dismounted = false;  // its volume was dismounted through another handle: only closing works
};

struct info_set {
    bool disks;               // the disk interface set, or a USBSTOR device set
    size_t members;
};

struct world {
    std::recursive_mutex mutex;
    machine current;
    std::map<uintptr_t, open_handle> handles;
    std::map<HDEVINFO, std::unique_ptr<info_set>> sets;
    unsigned next_serial = 1;
};

world& the_world();

BOOL fail(DWORD error);
// Leaves the last error alone, as most Win32 successes do.
inline BOOL succeed() { return TRUE; }
inline void record(const std::string& call) { the_world().current.calls.push_back(call); }
std::string hex(unsigned long long value);

open_handle* find_handle(HANDLE handle);
// The disk or volume an open handle is on; null when it is gone.
sim_disk* disk_of(const open_handle& handle);
sim_volume* volume_of(const open_handle& handle);

// What the access mask of an open grants, GENERIC_ALL included.
inline bool reads(DWORD access) { return (access & (GENERIC_READ | GENERIC_ALL)) != 0; }
inline bool writes(DWORD access) { return (access & (GENERIC_WRITE | GENERIC_ALL)) != 0; }

} // namespace win32sim
