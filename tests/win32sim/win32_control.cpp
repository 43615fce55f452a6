// DeviceIoControl on the simulated disks and volumes.
#include "win32_world.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace win32sim {
namespace {

template <class T>
BOOL answer(const T& value, LPVOID out, DWORD out_size, LPDWORD returned)
{
    if (!out || out_size < sizeof(T))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(out, &value, sizeof value);
    *returned = sizeof value;
    return succeed();
}

// The wiped disk's volumes go; those Windows will find again wait for the next re-read.
void delete_layout(sim_disk& disk)
{
    auto& volumes = state().volumes;
    for (auto it = volumes.begin(); it != volumes.end();) {
        if (it->device_number != disk.device_number) {
            ++it;
            continue;
        }
        if (it->returns_after_wipe) {
            sim_volume fresh = *it;
            fresh.mounted = true;
            fresh.locked_by = nullptr;
            fresh.locks = fresh.dismounts = 0;
            fresh.serial = 0;
            disk.returning.push_back(fresh);
        }
        it = volumes.erase(it);
    }
}

BOOL disk_control(sim_disk& disk, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
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
        STORAGE_DEVICE_DESCRIPTOR descriptor{};
        descriptor.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
        descriptor.Size = sizeof(STORAGE_DEVICE_DESCRIPTOR) + 64;
        descriptor.RemovableMedia = disk.bus_type == BusTypeUsb;
        descriptor.BusType = disk.bus_type;
        return answer(descriptor, out, out_size, returned);
    }
    case IOCTL_STORAGE_GET_DEVICE_NUMBER:
        return answer(STORAGE_DEVICE_NUMBER{7, disk.device_number, 0}, out, out_size, returned);
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: {
        DISK_GEOMETRY geometry{};
        geometry.Cylinders.QuadPart = disk.cylinders;
        geometry.MediaType = RemovableMedia;
        geometry.TracksPerCylinder = disk.tracks_per_cylinder;
        geometry.SectorsPerTrack = disk.sectors_per_track;
        geometry.BytesPerSector = disk.bytes_per_sector;
        return answer(geometry, out, out_size, returned);
    }
    case IOCTL_DISK_DELETE_DRIVE_LAYOUT:
        ++disk.layout_deletions;
        delete_layout(disk);
        return succeed();
    case IOCTL_DISK_UPDATE_PROPERTIES:
        ++disk.property_updates;
        for (const sim_volume& volume : disk.returning)
            state().volumes.push_back(volume);
        disk.returning.clear();
        return succeed();
    default:
        return fail(ERROR_INVALID_PARAMETER);
    }
}

// A lock needs the volume to itself: no other handle open on it, none locking it. A dismount
// ends the mount and leaves every other handle of the volume good for closing only.
BOOL volume_control(HANDLE raw, sim_volume& volume, DWORD code, LPVOID out, DWORD out_size, LPDWORD returned)
{
    switch (code) {
    case IOCTL_STORAGE_GET_DEVICE_NUMBER:
        return answer(STORAGE_DEVICE_NUMBER{7, volume.device_number, 1}, out, out_size, returned);
    case FSCTL_LOCK_VOLUME:
        if (volume.locked_by)
            return fail(ERROR_ACCESS_DENIED);
        for (const auto& entry : the_world().handles)
            if (entry.first != reinterpret_cast<uintptr_t>(raw) && entry.second.kind == handle_kind::volume
                && entry.second.volume == volume.serial && !entry.second.dismounted)
                return fail(ERROR_ACCESS_DENIED);
        volume.locked_by = raw;
        ++volume.locks;
        return succeed();
    case FSCTL_DISMOUNT_VOLUME:
        if (volume.locked_by && volume.locked_by != raw)
            return fail(ERROR_ACCESS_DENIED);
        volume.mounted = false;
        ++volume.dismounts;
        for (auto& entry : the_world().handles)
            if (entry.first != reinterpret_cast<uintptr_t>(raw) && entry.second.kind == handle_kind::volume
                && entry.second.volume == volume.serial)
                entry.second.dismounted = true;
        return succeed();
    default:
        return fail(ERROR_INVALID_PARAMETER);
    }
}

} // namespace
} // namespace win32sim

using namespace win32sim;

BOOL WINAPI DeviceIoControl(HANDLE raw, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                            LPDWORD returned, LPOVERLAPPED overlapped)
{
    auto guard = lock();
    if (!returned && !overlapped)
        std::abort(); // Windows writes the count through the pointer: a null one faults there
    open_handle* handle = find_handle(raw);
    if (!handle)
        return fail(ERROR_INVALID_HANDLE);
    if (overlapped)
        return fail(ERROR_INVALID_PARAMETER); // none of these handles was opened for overlapped I/O
    record("DeviceIoControl " + handle->path + " " + hex(code));
    *returned = 0;
    // The access the control code itself asks for, in bits 14 and 15 (FILE_READ/WRITE_ACCESS).
    const DWORD needed = (code >> 14) & 3;
    if (((needed & 1) && !reads(handle->access)) || ((needed & 2) && !writes(handle->access)))
        return fail(ERROR_ACCESS_DENIED);
    switch (handle->kind) {
    case handle_kind::file:
    case handle_kind::named:
        return fail(ERROR_INVALID_FUNCTION);
    case handle_kind::volume: {
        if (handle->dismounted)
            return fail(ERROR_NOT_READY);
        sim_volume* volume = volume_of(*handle);
        return volume ? volume_control(raw, *volume, code, out, out_size, returned) : fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    case handle_kind::disk:
        break;
    }
    sim_disk* disk = disk_of(*handle);
    if (!disk || disk->vanished)
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    return disk_control(*disk, code, in, in_size, out, out_size, returned);
}
