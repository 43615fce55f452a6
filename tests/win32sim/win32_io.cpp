// Reading, writing and positioning on the simulated disks and files.
#include "win32_world.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace win32sim {
namespace {

// What Windows asks of unbuffered I/O (raw disks always, files opened without buffering): whole
// sectors at sector offsets, from sector-aligned memory.
bool misaligned(unsigned long long position, const void* buffer, DWORD size, DWORD sector)
{
    return size % sector != 0 || position % sector != 0 || reinterpret_cast<uintptr_t>(buffer) % sector != 0;
}

// Raw disk I/O, besides being aligned, stays inside the disk.
DWORD raw_io_error(const sim_disk& disk, unsigned long long position, const void* buffer, DWORD size)
{
    if (misaligned(position, buffer, size, disk.bytes_per_sector) || position + size > disk.size())
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

// Windows refuses writes through the disk into sectors of a volume that a file system has
// mounted, unless the volume is locked or dismounted.
bool in_mounted_volume(const sim_disk& disk, unsigned long long position, DWORD size)
{
    for (const sim_volume& volume : state().volumes) {
        if (volume.device_number != disk.device_number || !volume.mounted || volume.locked_by)
            continue;
        const unsigned long long end = volume.length ? volume.offset + volume.length : disk.size();
        if (position < end && position + size > volume.offset)
            return true;
    }
    return false;
}

// Without an OVERLAPPED, Windows writes the count through the pointer: a null one faults there.
void require_count(const void* count, LPOVERLAPPED overlapped)
{
    if (!count && !overlapped)
        std::abort();
}

BOOL write_file(open_handle& handle, sim_file& file, LPCVOID buffer, DWORD size, LPDWORD written)
{
    if ((handle.flags & FILE_FLAG_NO_BUFFERING) && misaligned(handle.position, buffer, size, 512))
        return fail(ERROR_INVALID_PARAMETER);
    if (handle.position + size > file.content.size())
        file.content.resize(handle.position + size);
    std::memcpy(file.content.data() + handle.position, buffer, size);
    handle.position += size;
    *written = size;
    return succeed();
}

BOOL read_file(open_handle& handle, const sim_file& file, LPVOID buffer, DWORD size, LPDWORD read)
{
    if ((handle.flags & FILE_FLAG_NO_BUFFERING) && misaligned(handle.position, buffer, size, 512))
        return fail(ERROR_INVALID_PARAMETER);
    // Past the end a read succeeds with fewer bytes, or none.
    const unsigned long long available =
        handle.position < file.content.size() ? file.content.size() - handle.position : 0;
    const DWORD count = static_cast<DWORD>(std::min<unsigned long long>(size, available));
    std::memcpy(buffer, file.content.data() + handle.position, count);
    handle.position += count;
    *read = count;
    return succeed();
}

} // namespace
} // namespace win32sim

using namespace win32sim;

BOOL WINAPI WriteFile(HANDLE raw, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    auto guard = lock();
    require_count(written, overlapped);
    *written = 0;
    open_handle* handle = find_handle(raw);
    if (!handle)
        return fail(ERROR_INVALID_HANDLE);
    if (overlapped)
        return fail(ERROR_INVALID_PARAMETER);
    record("WriteFile " + handle->path + " " + hex(handle->position) + " " + hex(size));
    if (!writes(handle->access))
        return fail(ERROR_ACCESS_DENIED);
    if (handle->kind == handle_kind::file) {
        sim_file* file = file_with_path(handle->file);
        return file ? write_file(*handle, *file, buffer, size, written) : fail(ERROR_FILE_NOT_FOUND);
    }
    if (handle->kind != handle_kind::disk)
        return fail(ERROR_INVALID_FUNCTION);
    sim_disk* disk = disk_of(*handle);
    if (!disk || disk->vanished)
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    if (const DWORD error = raw_io_error(*disk, handle->position, buffer, size))
        return fail(error);
    if (in_mounted_volume(*disk, handle->position, size))
        return fail(ERROR_ACCESS_DENIED);
    if (disk->fail_writes_at >= 0 && handle->position + size > static_cast<unsigned long long>(disk->fail_writes_at))
        return fail(disk->write_error);
    if (handle->position + size > disk->content.size())
        disk->content.resize(handle->position + size);
    std::memcpy(disk->content.data() + handle->position, buffer, size);
    handle->position += size;
    *written = size;
    return succeed();
}

BOOL WINAPI ReadFile(HANDLE raw, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
{
    auto guard = lock();
    require_count(read, overlapped);
    *read = 0;
    open_handle* handle = find_handle(raw);
    if (!handle)
        return fail(ERROR_INVALID_HANDLE);
    if (overlapped)
        return fail(ERROR_INVALID_PARAMETER);
    if (!reads(handle->access))
        return fail(ERROR_ACCESS_DENIED);
    if (handle->kind == handle_kind::file) {
        const sim_file* file = file_with_path(handle->file);
        return file ? read_file(*handle, *file, buffer, size, read) : fail(ERROR_FILE_NOT_FOUND);
    }
    if (handle->kind != handle_kind::disk)
        return fail(ERROR_INVALID_FUNCTION);
    sim_disk* disk = disk_of(*handle);
    if (!disk || disk->vanished)
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    if (const DWORD error = raw_io_error(*disk, handle->position, buffer, size))
        return fail(error);
    // Inside the disk every sector reads; what was never written reads as zeros.
    const unsigned long long available =
        handle->position < disk->content.size() ? disk->content.size() - handle->position : 0;
    const DWORD from_content = static_cast<DWORD>(std::min<unsigned long long>(size, available));
    std::memcpy(buffer, disk->content.data() + handle->position, from_content);
    std::memset(static_cast<unsigned char*>(buffer) + from_content, 0, size - from_content);
    handle->position += size;
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
    if (!writes(handle->access))
        return fail(ERROR_ACCESS_DENIED);
    if (sim_disk* disk = disk_of(*handle)) {
        if (disk->vanished)
            return fail(ERROR_DEVICE_NOT_CONNECTED);
        if (disk->flush_error)
            return fail(disk->flush_error);
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
    long long base = 0;
    if (method == FILE_CURRENT) {
        base = static_cast<long long>(handle->position);
    } else if (method == FILE_END) {
        const sim_file* file = handle->kind == handle_kind::file ? file_with_path(handle->file) : nullptr;
        if (!file)
            return fail(ERROR_INVALID_PARAMETER); // a device has no end to count from
        base = static_cast<long long>(file->content.size());
    } else if (method != FILE_BEGIN) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    const long long target = base + distance.QuadPart;
    if (target < 0)
        return fail(ERROR_NEGATIVE_SEEK);
    handle->position = static_cast<unsigned long long>(target);
    if (new_position)
        new_position->QuadPart = target;
    return succeed();
}

BOOL WINAPI GetFileSizeEx(HANDLE raw, LARGE_INTEGER* size)
{
    auto guard = lock();
    open_handle* handle = find_handle(raw);
    if (!handle)
        return fail(ERROR_INVALID_HANDLE);
    const sim_file* file = handle->kind == handle_kind::file ? file_with_path(handle->file) : nullptr;
    if (!file)
        return fail(ERROR_INVALID_FUNCTION);
    size->QuadPart = static_cast<LONGLONG>(file->content.size());
    return succeed();
}

BOOL WINAPI SetEndOfFile(HANDLE raw)
{
    auto guard = lock();
    open_handle* handle = find_handle(raw);
    if (!handle)
        return fail(ERROR_INVALID_HANDLE);
    sim_file* file = handle->kind == handle_kind::file ? file_with_path(handle->file) : nullptr;
    if (!file)
        return fail(ERROR_INVALID_FUNCTION);
    if (!writes(handle->access))
        return fail(ERROR_ACCESS_DENIED);
    file->content.resize(handle->position);
    record("SetEndOfFile " + handle->path + " " + hex(handle->position));
    return succeed();
}
