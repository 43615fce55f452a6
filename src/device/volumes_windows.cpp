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

std::vector<std::string> removable_volume_paths()
{
    char roots[MAX_PATH] = {};
    const DWORD length = GetLogicalDriveStringsA(sizeof roots, roots);
    std::vector<std::string> paths;
    if (length == 0 || length >= sizeof roots) // none, or more than fit: nothing trustworthy to walk
        return paths;
    for (const char* root = roots; *root; root += std::strlen(root) + 1) {
        if (GetDriveTypeA(root) == DRIVE_REMOVABLE && root[1] != '\0')
            paths.push_back(std::string("\\\\?\\") + root[0] + root[1]);
    }
    return paths;
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
