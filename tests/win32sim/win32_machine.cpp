// The machine itself, the thread's last error, drive letters and the system directory.
#include "win32_world.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace win32sim {
namespace {

thread_local DWORD last_error = 0;

} // namespace

world& the_world()
{
    // Never destroyed: threads that poll the machine may still run while the process exits.
    static world* w = new world();
    return *w;
}

BOOL fail(DWORD error)
{
    last_error = error;
    return FALSE;
}

std::string hex(unsigned long long value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", value);
    return text;
}

open_handle* find_handle(HANDLE handle)
{
    auto& handles = the_world().handles;
    const auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles.end() ? nullptr : &it->second;
}

sim_disk* disk_of(const open_handle& handle)
{
    return handle.kind == handle_kind::disk ? disk_with_number(handle.number) : nullptr;
}

sim_volume* volume_of(const open_handle& handle)
{
    if (handle.kind != handle_kind::volume)
        return nullptr;
    for (sim_volume& volume : state().volumes)
        if (volume.serial == handle.volume)
            return &volume;
    return nullptr;
}

std::unique_lock<std::recursive_mutex> lock()
{
    return std::unique_lock<std::recursive_mutex>(the_world().mutex);
}

machine& state()
{
    return the_world().current;
}

void reset()
{
    auto guard = lock();
    the_world().current = machine();
    the_world().handles.clear();
}

std::vector<std::string> open_handle_paths()
{
    auto guard = lock();
    std::vector<std::string> paths;
    for (const auto& entry : the_world().handles)
        paths.push_back(entry.second.path);
    return paths;
}

int open_info_sets()
{
    auto guard = lock();
    return static_cast<int>(the_world().sets.size());
}

sim_disk* disk_with_number(DWORD number)
{
    for (sim_disk& disk : state().disks)
        if (disk.device_number == number)
            return &disk;
    return nullptr;
}

sim_volume* volume_with_letter(char letter)
{
    for (sim_volume& volume : state().volumes)
        if (volume.letter == letter)
            return &volume;
    return nullptr;
}

std::string file_key(const std::string& path)
{
    std::string key = path;
    for (char& c : key)
        c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

sim_file* file_with_path(const std::string& path)
{
    const auto it = state().files.find(file_key(path));
    return it == state().files.end() ? nullptr : &it->second;
}

std::vector<std::string> calls(const std::string& function)
{
    auto guard = lock();
    std::vector<std::string> found;
    for (const std::string& call : state().calls)
        if (function.empty() || call.compare(0, function.size() + 1, function + " ") == 0)
            found.push_back(call);
    return found;
}

} // namespace win32sim

using namespace win32sim;

DWORD WINAPI GetLogicalDriveStringsA(DWORD length, LPSTR buffer)
{
    auto guard = lock();
    std::vector<char> letters;
    for (const sim_volume& volume : state().volumes)
        letters.push_back(volume.letter);
    std::sort(letters.begin(), letters.end());
    std::string list;
    for (char letter : letters) {
        list += letter;
        list += ":\\";
        list += '\0';
    }
    if (list.size() + 1 > length)
        return static_cast<DWORD>(list.size() + 1);
    std::memcpy(buffer, list.data(), list.size());
    buffer[list.size()] = '\0';
    succeed();
    return static_cast<DWORD>(list.size());
}

UINT WINAPI GetDriveTypeA(LPCSTR root)
{
    auto guard = lock();
    record(std::string("GetDriveTypeA ") + (root ? root : "(null)"));
    const sim_volume* volume = root ? volume_with_letter(root[0]) : nullptr;
    return volume ? volume->drive_type : DRIVE_NO_ROOT_DIR;
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size)
{
    const std::string directory = "C:\\Windows\\system32"; // on the disk of C:
    if (directory.size() + 1 > size)
        return static_cast<UINT>(directory.size() + 1);
    std::memcpy(buffer, directory.c_str(), directory.size() + 1);
    return static_cast<UINT>(directory.size());
}

DWORD WINAPI GetLastError()
{
    return last_error;
}

void WINAPI SetLastError(DWORD error)
{
    last_error = error;
}
