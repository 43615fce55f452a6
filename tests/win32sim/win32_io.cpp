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

// Windows refuses writes through the disk into sectors of a volume that a file system has
// mounted, unless the volume is locked or dismounted.
bool in_mounted_volume(const sim_disk& disk, unsigned long long position, DWORD size)
{
    for (const sim_volume& volume : state().volumes) {
        if (volume.device_number == disk.device_number && volume.mounted && !volume.locked_by
            && position + size > volume.offset)
            return true;
    }
    return false;
}

sim_file* file_of(const open_handle& handle)
{
    return handle.kind == handle_kind::file ? file_with_path(handle.file) : nullptr;
}

// What ReadFile and WriteFile check alike. Without an OVERLAPPED, Windows writes the count
// through the pointer: a null one faults there. A file takes any I/O, unless opened without
// buffering; a disk only aligned I/O inside it. content is where the bytes are.
DWORD start_io(HANDLE raw, const void* buffer, DWORD size, LPDWORD count, LPOVERLAPPED overlapped, bool write,
               open_handle*& handle, std::vector<unsigned char>*& content)
{
    if (!count && !overlapped)
        std::abort();
    *count = 0;
    if (!(handle = find_handle(raw)))
        return ERROR_INVALID_HANDLE;
    if (overlapped)
        return ERROR_INVALID_PARAMETER;
    if (write)
        record("WriteFile " + handle->path + " " + hex(handle->position) + " " + hex(size));
    if (write ? !writes(handle->access) : !reads(handle->access))
        return ERROR_ACCESS_DENIED;
    if (handle->kind == handle_kind::file) {
        sim_file* file = file_of(*handle);
        if (!file)
            return ERROR_FILE_NOT_FOUND;
        content = &file->content;
        const bool raw_io = handle->flags & FILE_FLAG_NO_BUFFERING;
        return raw_io && misaligned(handle->position, buffer, size, 512) ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    }
    sim_disk* disk = disk_of(*handle);
    if (handle->kind != handle_kind::disk)
        return ERROR_INVALID_FUNCTION;
    if (!disk || disk->vanished)
        return ERROR_DEVICE_NOT_CONNECTED;
    content = &disk->content;
    if (misaligned(handle->position, buffer, size, disk->bytes_per_sector) || handle->position + size > disk->size())
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

} // namespace
} // namespace win32sim

using namespace win32sim;

BOOL WINAPI WriteFile(HANDLE raw, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    auto guard = lock();
    open_handle* handle = nullptr;
    std::vector<unsigned char>* content = nullptr;
    if (const DWORD error = start_io(raw, buffer, size, written, overlapped, true, handle, content))
        return fail(error);
    if (const sim_disk* disk = disk_of(*handle)) {
        if (in_mounted_volume(*disk, handle->position, size))
            return fail(ERROR_ACCESS_DENIED);
        if (disk->fail_writes_at >= 0 && handle->position + size > static_cast<unsigned long long>(disk->fail_writes_at))
            return fail(disk->write_error);
    }
    if (handle->position + size > content->size())
        content->resize(handle->position + size);
    std::memcpy(content->data() + handle->position, buffer, size);
    handle->position += size;
    *written = size;
    return succeed();
}

BOOL WINAPI ReadFile(HANDLE raw, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
{
    auto guard = lock();
    open_handle* handle = nullptr;
    std::vector<unsigned char>* content = nullptr;
    if (const DWORD error = start_io(raw, buffer, size, read, overlapped, false, handle, content))
        return fail(error);
    const unsigned long long available = handle->position < content->size() ? content->size() - handle->position : 0;
    const DWORD found = static_cast<DWORD>(std::min<unsigned long long>(size, available));
    std::memcpy(buffer, content->data() + handle->position, found);
    // Past its end a file reads fewer bytes, or none; inside a disk every sector reads, what was
    // never written as zeros.
    const DWORD count = handle->kind == handle_kind::file ? found : size;
    std::memset(static_cast<unsigned char*>(buffer) + found, 0, count - found);
    handle->position += count;
    *read = count;
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
    }
    return succeed();
}

BOOL WINAPI SetFilePointerEx(HANDLE raw, LARGE_INTEGER distance, LARGE_INTEGER* new_position, DWORD method)
{
    auto guard = lock();
    open_handle* handle = find_handle(raw);
    if (!handle)
        return fail(ERROR_INVALID_HANDLE);
    if (method != FILE_BEGIN)
        return fail(ERROR_INVALID_PARAMETER); // the program only ever seeks from the start
    if (distance.QuadPart < 0)
        return fail(ERROR_NEGATIVE_SEEK);
    handle->position = static_cast<unsigned long long>(distance.QuadPart);
    if (new_position)
        *new_position = distance;
    return succeed();
}

BOOL WINAPI GetFileSizeEx(HANDLE raw, LARGE_INTEGER* size)
{
    auto guard = lock();
    open_handle* handle = find_handle(raw);
    if (!handle)
        return fail(ERROR_INVALID_HANDLE);
    const sim_file* file = file_of(*handle);
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
    sim_file* file = file_of(*handle);
    if (!file)
        return fail(ERROR_INVALID_FUNCTION);
    if (!writes(handle->access))
        return fail(ERROR_ACCESS_DENIED);
    file->content.resize(handle->position);
    record("SetEndOfFile " + handle->path + " " + hex(handle->position));
    return succeed();
}
