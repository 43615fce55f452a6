#include "src/device/volumes_windows.h"

#include <winioctl.h>

#include <cstring>

scoped_handle::~scoped_handle()
{
    if (valid())
        CloseHandle(m_handle);
}

HANDLE scoped_handle::release()
{
    HANDLE handle = m_handle;
    m_handle = INVALID_HANDLE_VALUE;
    return handle;
}

removable_volume_walk::removable_volume_walk()
{
    const DWORD length = GetLogicalDriveStringsA(sizeof m_roots, m_roots);
    // None, or more than fit: nothing trustworthy to walk.
    m_root = length == 0 || length >= sizeof m_roots ? nullptr : m_roots;
}

bool removable_volume_walk::next(std::string& path)
{
    while (m_root && *m_root) {
        const char* root = m_root;
        m_root += std::strlen(root) + 1;
        if (GetDriveTypeA(root) == DRIVE_REMOVABLE && root[1] != '\0') {
            path = std::string("\\\\?\\") + root[0] + root[1];
            return true;
        }
    }
    return false;
}

HANDLE open_shared(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool query_device_number(HANDLE handle, DWORD& number)
{
    STORAGE_DEVICE_NUMBER answer{};
    DWORD returned = 0;
    if (!DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &answer, sizeof answer, &returned,
                         nullptr))
        return false;
    number = answer.DeviceNumber;
    return true;
}

bool lock_volume(HANDLE volume, const std::function<bool()>& keep_trying)
{
    for (;;) {
        DWORD returned = 0;
        SetLastError(ERROR_SUCCESS);
        if (DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr))
            return true;
        const DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED || !keep_trying()) {
            SetLastError(error);
            return false;
        }
    }
}
