// Opening and closing: devices and files by name, share modes, volume locks, handle values.
#include "win32_world.h"

#include <QString>

namespace win32sim {
namespace {

// Handle values as Windows hands them out: small multiples of four, a closed one reused first.
uintptr_t free_handle_value()
{
    uintptr_t value = 0x40;
    while (the_world().handles.count(value))
        value += 4;
    return value;
}

// The fields a kind of handle does not use stay at their defaults.
bool same_object(const open_handle& a, const open_handle& b)
{
    return a.kind == b.kind && a.number == b.number && a.volume == b.volume && a.file == b.file && a.path == b.path;
}

// An open that the share modes of the handles already open on the object, or its own, forbid.
bool share_conflict(const open_handle& opening)
{
    for (const auto& entry : the_world().handles) {
        const open_handle& open = entry.second;
        if (open.dismounted || !same_object(open, opening))
            continue;
        if ((reads(opening.access) && !(open.share & FILE_SHARE_READ))
            || (writes(opening.access) && !(open.share & FILE_SHARE_WRITE))
            || (reads(open.access) && !(opening.share & FILE_SHARE_READ))
            || (writes(open.access) && !(opening.share & FILE_SHARE_WRITE)))
            return true;
    }
    return false;
}

// Disks and volumes: only what exists opens, only with OPEN_EXISTING, only elevated, never a
// volume that another handle has locked. Opening a dismounted, unlocked volume mounts it again.
DWORD open_device(open_handle& handle, DWORD disposition, bool& is_device)
{
    const std::string& path = handle.path;
    const std::string physical = "\\\\.\\PhysicalDrive";
    bool found = false;
    sim_volume* volume = nullptr;
    is_device = true;
    if (path.compare(0, physical.size(), physical) == 0) {
        const std::string digits = path.substr(physical.size());
        for (const sim_disk& disk : state().disks)
            if (!disk.vanished && std::to_string(disk.device_number) == digits) {
                handle.number = disk.device_number;
                found = true;
            }
    } else if (path.size() == 6 && (path.compare(0, 4, "\\\\?\\") == 0 || path.compare(0, 4, "\\\\.\\") == 0)
               && path[5] == ':') {
        volume = volume_with_letter(path[4]);
        found = volume && volume->opens;
    } else {
        for (const sim_disk& disk : state().disks)
            if (disk.interface_opens && disk.interface_path == path) {
                handle.number = disk.device_number;
                found = true;
            }
        is_device = found || path.compare(0, 4, "\\\\?\\") == 0 || path.compare(0, 4, "\\\\.\\") == 0;
        if (!is_device)
            return ERROR_SUCCESS;
    }
    if (!found)
        return ERROR_FILE_NOT_FOUND;
    if (disposition != OPEN_EXISTING)
        return ERROR_INVALID_PARAMETER;
    if (!state().elevated && handle.access != 0)
        return ERROR_ACCESS_DENIED;
    if (volume) {
        if (!volume->serial)
            volume->serial = the_world().next_serial++;
        handle.kind = handle_kind::volume;
        handle.volume = volume->serial;
        if (volume->locked_by)
            return ERROR_ACCESS_DENIED;
    }
    if (share_conflict(handle))
        return ERROR_SHARING_VIOLATION;
    if (volume)
        volume->mounted = true;
    return ERROR_SUCCESS;
}

// Plain files, with the dispositions the program uses. OPEN_ALWAYS reports through the last error whether
// the file was there, even when they succeed (success_error; left alone otherwise).
DWORD open_file(open_handle& handle, DWORD disposition, DWORD& success_error)
{
    handle.kind = handle_kind::file;
    handle.file = file_key(handle.path);
    if (handle.file.empty() || handle.file.back() == '\\')
        return ERROR_PATH_NOT_FOUND;
    auto& files = state().files;
    const auto existing = files.find(handle.file);
    const bool exists = existing != files.end();
    switch (disposition) {
    case CREATE_NEW:
        if (exists)
            return ERROR_FILE_EXISTS;
        break;
    case OPEN_ALWAYS:
        success_error = exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
        break;
    case OPEN_EXISTING:
        if (!exists)
            return ERROR_FILE_NOT_FOUND;
        break;
    default:
        return ERROR_INVALID_PARAMETER;
    }
    if (exists && existing->second.read_only && writes(handle.access))
        return ERROR_ACCESS_DENIED;
    if (share_conflict(handle))
        return ERROR_SHARING_VIOLATION;
    files[handle.file];
    return ERROR_SUCCESS;
}

} // namespace
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
    open_handle handle;
    handle.path = name ? name : "";
    handle.access = access;
    handle.share = share;
    handle.flags = flags;
    record("CreateFileA " + handle.path + " " + hex(access) + " " + hex(share) + " " + hex(disposition) + " "
           + hex(flags));
    if (security || template_file) {
        fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    bool is_device = false;
    constexpr DWORD untouched = 0xFFFFFFFF;
    DWORD success_error = untouched;
    DWORD error = open_device(handle, disposition, is_device);
    if (!is_device)
        error = open_file(handle, disposition, success_error);
    if (error) {
        fail(error);
        return INVALID_HANDLE_VALUE;
    }
    const uintptr_t value = free_handle_value();
    the_world().handles.emplace(value, handle);
    succeed();
    if (success_error != untouched)
        SetLastError(success_error);
    return reinterpret_cast<HANDLE>(value);
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR name)
{
    auto guard = lock();
    open_handle handle;
    handle.kind = handle_kind::named;
    handle.path = QString::fromWCharArray(name).toStdString();
    record("CreateMutexW " + handle.path);
    bool exists = false;
    for (const auto& entry : the_world().handles)
        exists = exists || same_object(entry.second, handle);
    const uintptr_t value = free_handle_value();
    the_world().handles.emplace(value, handle);
    SetLastError(exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(value);
}

HANDLE WINAPI GetCurrentProcess()
{
    return INVALID_HANDLE_VALUE; // the pseudo handle of the process itself
}

// The token is elevated as the machine says.
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD, HANDLE* token)
{
    *token = process == GetCurrentProcess() ? CreateMutexW(nullptr, FALSE, L"(process token)") : nullptr;
    return *token ? succeed() : fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID out, DWORD size, PDWORD)
{
    auto guard = lock();
    const open_handle* handle = find_handle(token);
    if (!handle || handle->path != "(process token)" || kind != TokenElevation || size < sizeof(TOKEN_ELEVATION))
        return fail(ERROR_INVALID_PARAMETER);
    static_cast<TOKEN_ELEVATION*>(out)->TokenIsElevated = state().elevated;
    return succeed();
}

BOOL WINAPI CloseHandle(HANDLE raw)
{
    auto guard = lock();
    open_handle* handle = find_handle(raw);
    if (!handle) {
        ++state().invalid_closes;
        record("CloseHandle " + hex(reinterpret_cast<uintptr_t>(raw)) + " (no handle)");
        // INVALID_HANDLE_VALUE is the process's own pseudo handle: closing it "works".
        return raw == INVALID_HANDLE_VALUE ? succeed() : fail(ERROR_INVALID_HANDLE);
    }
    record("CloseHandle " + handle->path);
    for (sim_volume& volume : state().volumes)
        if (volume.locked_by == raw)
            volume.locked_by = nullptr;
    the_world().handles.erase(reinterpret_cast<uintptr_t>(raw));
    return succeed();
}
