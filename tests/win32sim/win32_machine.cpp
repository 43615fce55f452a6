#include "win32_machine.h"
#include "setupapi.h"

#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

namespace win32sim {
namespace {

enum class handle_kind { disk, volume };

struct open_handle {
    std::string path;
    handle_kind kind;
    DWORD number;          // disk: device number; volume: drive letter
    DWORD access;
    unsigned long long position = 0;
};

struct info_set {
    bool disks;            // the disk interface set, or a USBSTOR device set
    size_t members;
};

struct world {
    std::recursive_mutex mutex;
    machine current;
    std::map<uintptr_t, open_handle> handles;
    std::map<HDEVINFO, std::unique_ptr<info_set>> sets;
    uintptr_t next_handle = 0x1000;
};

// Never destroyed: threads that poll the machine may still run while the process exits.
world& the_world()
{
    static world* w = new world();
    return *w;
}

thread_local DWORD last_error = 0;

const GUID disk_interface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

std::string hex(unsigned long long value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", value);
    return text;
}

BOOL fail(DWORD error)
{
    last_error = error;
    return FALSE;
}

// Windows leaves the thread's last error alone on most successes: what a caller reads after one
// is whatever failed before.
BOOL succeed()
{
    if (state().successes_clear_last_error)
        last_error = ERROR_SUCCESS;
    return TRUE;
}

open_handle* find_handle(HANDLE handle)
{
    auto& handles = the_world().handles;
    const auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles.end() ? nullptr : &it->second;
}

sim_disk* disk_of(const open_handle& handle)
{
    sim_disk* disk = disk_with_number(handle.number);
    return disk;
}

void record(const std::string& call)
{
    the_world().current.calls.push_back(call);
}

BOOL disk_control(open_handle& handle, sim_disk& disk, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                  DWORD out_size, LPDWORD returned)
{
    const auto failing = disk.failing_controls.find(code);
    if (failing != disk.failing_controls.end())
        return fail(failing->second);
    switch (code) {
    case IOCTL_DISK_IS_WRITABLE:
        return disk.write_protected ? fail(ERROR_WRITE_PROTECT) : succeed();
    case IOCTL_STORAGE_QUERY_PROPERTY: {
        if (!in || in_size != sizeof(STORAGE_PROPERTY_QUERY))
            return fail(ERROR_INVALID_PARAMETER);
        const auto* query = static_cast<const STORAGE_PROPERTY_QUERY*>(in);
        if (query->PropertyId != StorageDeviceProperty || query->QueryType != PropertyStandardQuery)
            return fail(ERROR_INVALID_PARAMETER);
        if (!out || out_size < sizeof(STORAGE_DEVICE_DESCRIPTOR))
            return fail(ERROR_INSUFFICIENT_BUFFER);
        STORAGE_DEVICE_DESCRIPTOR descriptor{};
        descriptor.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
        descriptor.Size = sizeof(STORAGE_DEVICE_DESCRIPTOR) + 64;
        descriptor.RemovableMedia = disk.bus_type == BusTypeUsb;
        descriptor.BusType = disk.bus_type;
        std::memcpy(out, &descriptor, sizeof descriptor);
        if (returned)
            *returned = sizeof descriptor;
        return succeed();
    }
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
        if (!out || out_size < sizeof(STORAGE_DEVICE_NUMBER))
            return fail(ERROR_INSUFFICIENT_BUFFER);
        STORAGE_DEVICE_NUMBER number{7, disk.device_number, 0};
        std::memcpy(out, &number, sizeof number);
        if (returned)
            *returned = sizeof number;
        return succeed();
    }
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: {
        if (!out || out_size < sizeof(DISK_GEOMETRY))
            return fail(ERROR_INSUFFICIENT_BUFFER);
        DISK_GEOMETRY geometry{};
        geometry.Cylinders.QuadPart = disk.cylinders;
        geometry.MediaType = RemovableMedia;
        geometry.TracksPerCylinder = disk.tracks_per_cylinder;
        geometry.SectorsPerTrack = disk.sectors_per_track;
        geometry.BytesPerSector = disk.bytes_per_sector;
        std::memcpy(out, &geometry, sizeof geometry);
        if (returned)
            *returned = sizeof geometry;
        return succeed();
    }
    case IOCTL_DISK_DELETE_DRIVE_LAYOUT:
        if (!(handle.access & GENERIC_WRITE))
            return fail(ERROR_ACCESS_DENIED);
        ++disk.layout_deletions;
        return succeed();
    case IOCTL_DISK_UPDATE_PROPERTIES:
        ++disk.property_updates;
        return succeed();
    default:
        return fail(ERROR_INVALID_PARAMETER);
    }
}

BOOL volume_control(HANDLE raw, sim_volume& volume, DWORD code, LPVOID out, DWORD out_size, LPDWORD returned)
{
    switch (code) {
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
        if (volume.number_query_fails)
            return fail(ERROR_INVALID_PARAMETER);
        if (!out || out_size < sizeof(STORAGE_DEVICE_NUMBER))
            return fail(ERROR_INSUFFICIENT_BUFFER);
        STORAGE_DEVICE_NUMBER number{7, volume.device_number, 1};
        std::memcpy(out, &number, sizeof number);
        if (returned)
            *returned = sizeof number;
        return succeed();
    }
    case FSCTL_LOCK_VOLUME:
        if (volume.locked_by && volume.locked_by != raw)
            return fail(ERROR_ACCESS_DENIED);
        volume.locked_by = raw;
        ++volume.locks;
        return succeed();
    case FSCTL_DISMOUNT_VOLUME:
        ++volume.dismounts;
        return succeed();
    default:
        return fail(ERROR_INVALID_PARAMETER);
    }
}

} // namespace

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

int open_handles()
{
    auto guard = lock();
    return static_cast<int>(the_world().handles.size());
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

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flags, HANDLE template_file)
{
    const std::string utf8 = name ? QString::fromWCharArray(name).toStdString() : std::string();
    {
        auto guard = lock();
        record("CreateFileW " + utf8);
    }
    return CreateFileA(utf8.c_str(), access, share, security, disposition, flags, template_file);
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flags, HANDLE template_file)
{
    auto guard = lock();
    const std::string path = name ? name : "";
    record("CreateFileA " + path + " " + hex(access) + " " + hex(share) + " " + hex(disposition) + " " + hex(flags));
    if (security || template_file || disposition != OPEN_EXISTING) {
        fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    open_handle handle{path, handle_kind::disk, 0, access};
    bool found = false;
    const std::string physical = "\\\\.\\PhysicalDrive";
    if (path.compare(0, physical.size(), physical) == 0) {
        const std::string digits = path.substr(physical.size());
        for (const sim_disk& disk : state().disks)
            if (!disk.vanished && std::to_string(disk.device_number) == digits) {
                handle.number = disk.device_number;
                found = true;
            }
    } else if (path.size() == 6 && path.compare(0, 4, "\\\\?\\") == 0 && path[5] == ':') {
        const sim_volume* volume = volume_with_letter(path[4]);
        if (volume && volume->opens) {
            handle.kind = handle_kind::volume;
            handle.number = static_cast<DWORD>(volume->letter);
            found = true;
        }
    } else {
        for (const sim_disk& disk : state().disks)
            if (disk.interface_opens && disk.interface_path == path) {
                handle.number = disk.device_number;
                found = true;
            }
    }
    if (!found) {
        fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const uintptr_t id = the_world().next_handle++;
    the_world().handles.emplace(id, handle);
    succeed();
    return reinterpret_cast<HANDLE>(id);
}

BOOL WINAPI CloseHandle(HANDLE raw)
{
    auto guard = lock();
    open_handle* handle = find_handle(raw);
    if (!handle)
        return fail(ERROR_INVALID_HANDLE);
    record("CloseHandle " + handle->path);
    for (sim_volume& volume : state().volumes)
        if (volume.locked_by == raw)
            volume.locked_by = nullptr;
    the_world().handles.erase(reinterpret_cast<uintptr_t>(raw));
    return succeed();
}

BOOL WINAPI DeviceIoControl(HANDLE raw, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                            LPDWORD returned, LPOVERLAPPED overlapped)
{
    auto guard = lock();
    open_handle* handle = find_handle(raw);
    if (!handle || overlapped)
        return fail(ERROR_INVALID_HANDLE);
    record("DeviceIoControl " + handle->path + " " + hex(code));
    if (returned)
        *returned = 0;
    if (handle->kind == handle_kind::volume) {
        sim_volume* volume = volume_with_letter(static_cast<char>(handle->number));
        return volume ? volume_control(raw, *volume, code, out, out_size, returned) : fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    sim_disk* disk = disk_of(*handle);
    if (!disk || disk->vanished)
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    return disk_control(*handle, *disk, code, in, in_size, out, out_size, returned);
}

namespace {

// What Windows asks of raw disk I/O: whole sectors at sector offsets, from sector-aligned memory,
// inside the disk, and a place for the byte count when there is no OVERLAPPED.
DWORD raw_io_error(const sim_disk& disk, unsigned long long position, const void* buffer, DWORD size, const void* count)
{
    if (!count)
        std::abort(); // Windows writes the count through the pointer: a null one faults there
    const unsigned long long end = static_cast<unsigned long long>(disk.cylinders) * disk.tracks_per_cylinder
        * disk.sectors_per_track * disk.bytes_per_sector;
    if (size % disk.bytes_per_sector != 0 || position % disk.bytes_per_sector != 0
        || reinterpret_cast<uintptr_t>(buffer) % disk.bytes_per_sector != 0 || position + size > end)
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

} // namespace

BOOL WINAPI WriteFile(HANDLE raw, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    auto guard = lock();
    if (written)
        *written = 0;
    open_handle* handle = find_handle(raw);
    if (!handle || overlapped || handle->kind != handle_kind::disk)
        return fail(ERROR_INVALID_HANDLE);
    record("WriteFile " + handle->path + " " + hex(handle->position) + " " + hex(size));
    sim_disk* disk = disk_of(*handle);
    if (!disk || disk->vanished)
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    if (!(handle->access & GENERIC_WRITE))
        return fail(ERROR_ACCESS_DENIED);
    if (const DWORD error = raw_io_error(*disk, handle->position, buffer, size, written))
        return fail(error);
    if (disk->fail_writes_at >= 0 && handle->position + size > static_cast<unsigned long long>(disk->fail_writes_at))
        return fail(disk->write_error);
    if (handle->position + size > disk->content.size())
        disk->content.resize(handle->position + size);
    std::memcpy(disk->content.data() + handle->position, buffer, size);
    handle->position += size;
    if (written)
        *written = size;
    return succeed();
}

BOOL WINAPI ReadFile(HANDLE raw, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
{
    auto guard = lock();
    if (read)
        *read = 0;
    open_handle* handle = find_handle(raw);
    if (!handle || overlapped || handle->kind != handle_kind::disk)
        return fail(ERROR_INVALID_HANDLE);
    sim_disk* disk = disk_of(*handle);
    if (!disk || disk->vanished)
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    if (const DWORD error = raw_io_error(*disk, handle->position, buffer, size, read))
        return fail(error);
    // Inside the disk every sector reads; what was never written reads as zeros.
    const unsigned long long available =
        handle->position < disk->content.size() ? disk->content.size() - handle->position : 0;
    const DWORD from_content = static_cast<DWORD>(std::min<unsigned long long>(size, available));
    std::memcpy(buffer, disk->content.data() + handle->position, from_content);
    std::memset(static_cast<unsigned char*>(buffer) + from_content, 0, size - from_content);
    handle->position += size;
    if (read)
        *read = size;
    return succeed();
}

BOOL WINAPI FlushFileBuffers(HANDLE raw)
{
    auto guard = lock();
    open_handle* handle = find_handle(raw);
    if (!handle)
        return fail(ERROR_INVALID_HANDLE);
    record("FlushFileBuffers " + handle->path);
    if (sim_disk* disk = handle->kind == handle_kind::disk ? disk_of(*handle) : nullptr) {
        if (disk->vanished)
            return fail(ERROR_DEVICE_NOT_CONNECTED);
        ++disk->flushes;
    }
    return succeed();
}

BOOL WINAPI SetFilePointerEx(HANDLE raw, LARGE_INTEGER distance, LARGE_INTEGER* new_position, DWORD method)
{
    auto guard = lock();
    open_handle* handle = find_handle(raw);
    if (!handle)
        return fail(ERROR_INVALID_HANDLE);
    if (method != FILE_BEGIN || distance.QuadPart < 0)
        return fail(ERROR_INVALID_PARAMETER);
    handle->position = static_cast<unsigned long long>(distance.QuadPart);
    if (new_position)
        new_position->QuadPart = distance.QuadPart;
    return succeed();
}

// Files are not simulated: the Windows file target is checked against the real SDK headers only.
BOOL WINAPI GetFileSizeEx(HANDLE, LARGE_INTEGER*)
{
    return fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI SetEndOfFile(HANDLE)
{
    return fail(ERROR_INVALID_HANDLE);
}

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
    auto guard = lock();
    const std::string& directory = state().system_directory;
    if (directory.empty()) {
        fail(ERROR_FILE_NOT_FOUND);
        return 0;
    }
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

void WINAPI Sleep(DWORD milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* class_guid, PCSTR enumerator, HWND, DWORD flags)
{
    auto guard = lock();
    auto set = std::make_unique<info_set>();
    if (enumerator && std::string(enumerator) == "USBSTOR" && flags == (DIGCF_PRESENT | DIGCF_ALLCLASSES)) {
        if (state().usbstor_query_fails) {
            fail(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        *set = {false, static_cast<size_t>(std::max(0, state().usbstor_count))};
    } else if (!enumerator && class_guid && std::memcmp(class_guid, &disk_interface, sizeof(GUID)) == 0
               && flags == (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        *set = {true, state().disks.size()};
    } else {
        *set = {false, 0};
    }
    HDEVINFO handle = set.get();
    the_world().sets.emplace(handle, std::move(set));
    succeed();
    return handle;
}

namespace {

info_set* find_set(HDEVINFO handle)
{
    const auto it = the_world().sets.find(handle);
    return it == the_world().sets.end() ? nullptr : it->second.get();
}

} // namespace

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA, const GUID* interface_guid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data)
{
    auto guard = lock();
    info_set* set = find_set(handle);
    if (!set || !data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    if (!set->disks || !interface_guid || std::memcmp(interface_guid, &disk_interface, sizeof(GUID)) != 0
        || index >= set->members || index >= state().disks.size())
        return fail(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = disk_interface;
    data->Reserved = index;
    return succeed();
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                                             PSP_DEVINFO_DATA)
{
    auto guard = lock();
    info_set* set = find_set(handle);
    if (!set || !data || data->Reserved >= state().disks.size())
        return fail(ERROR_INVALID_PARAMETER);
    const std::string& path = state().disks[data->Reserved].interface_path;
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required)
        *required = needed;
    if (!detail)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (size < needed)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return succeed();
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data)
{
    auto guard = lock();
    info_set* set = find_set(handle);
    if (!set || !data || data->cbSize != sizeof(SP_DEVINFO_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    if (index >= set->members)
        return fail(ERROR_NO_MORE_ITEMS);
    if (set->disks && (index >= state().disks.size() || !state().disks[index].has_info_element))
        return fail(ERROR_NO_MORE_ITEMS);
    data->DevInst = index;
    data->Reserved = index;
    return succeed();
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                              PBYTE buffer, DWORD size, PDWORD required)
{
    auto guard = lock();
    info_set* set = find_set(handle);
    if (!set || !set->disks || !data || data->Reserved >= state().disks.size())
        return fail(ERROR_INVALID_PARAMETER);
    const sim_disk& disk = state().disks[data->Reserved];
    record("SetupDiGetDeviceRegistryPropertyA " + disk.interface_path + " " + hex(property));
    const std::string* text = nullptr;
    if (property == SPDRP_FRIENDLYNAME && disk.has_friendly_name)
        text = &disk.friendly_name;
    else if (property == SPDRP_DEVICEDESC && disk.has_description)
        text = &disk.description;
    if (!text)
        return fail(ERROR_INVALID_PARAMETER);
    if (type)
        *type = 1; // REG_SZ
    if (required)
        *required = static_cast<DWORD>(text->size() + 1);
    if (!buffer || size < text->size() + 1)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, text->c_str(), text->size() + 1);
    return succeed();
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle)
{
    auto guard = lock();
    return the_world().sets.erase(handle) ? succeed() : fail(ERROR_INVALID_HANDLE);
}
