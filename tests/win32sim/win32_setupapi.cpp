// The device information sets of the simulated machine: its disk interfaces and USB storage devices.
#include "win32_world.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace win32sim;

const GUID disk_interface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

info_set* find_set(HDEVINFO handle)
{
    const auto it = the_world().sets.find(handle);
    return it == the_world().sets.end() ? nullptr : it->second.get();
}

// The disk a member of the disk interface set stands for; null for anything else.
const sim_disk* member_disk(HDEVINFO handle, PSP_DEVINFO_DATA data)
{
    const info_set* set = find_set(handle);
    if (!set || !set->disks || !data || data->Reserved >= state().disks.size())
        return nullptr;
    return &state().disks[data->Reserved];
}

// A text handed out the SetupAPI way: the size it needs always, the text where it fits.
BOOL hand_out(const std::string& text, char* buffer, DWORD size, PDWORD required)
{
    if (required)
        *required = static_cast<DWORD>(text.size() + 1);
    if (!buffer || size < text.size() + 1)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return succeed();
}

} // namespace

using namespace win32sim;

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* class_guid, PCSTR enumerator, HWND, DWORD flags)
{
    auto guard = lock();
    auto set = std::make_unique<info_set>();
    if (enumerator && std::string(enumerator) == "USBSTOR" && flags == (DIGCF_PRESENT | DIGCF_ALLCLASSES)) {
        ++state().usbstor_polls;
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
    const sim_disk* disk = member_disk(handle, data);
    if (!disk)
        return fail(ERROR_INVALID_PARAMETER);
    record("SetupDiGetDeviceRegistryPropertyA " + disk->interface_path + " " + hex(property));
    const std::string* text = nullptr;
    if (property == SPDRP_FRIENDLYNAME && disk->has_friendly_name)
        text = &disk->friendly_name;
    else if (property == SPDRP_DEVICEDESC && disk->has_description)
        text = &disk->description;
    else if (property == SPDRP_LOCATION_INFORMATION && !disk->location.empty())
        text = &disk->location;
    if (!text)
        return fail(ERROR_INVALID_PARAMETER);
    if (type)
        *type = 1; // REG_SZ
    return hand_out(*text, reinterpret_cast<char*>(buffer), size, required);
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO handle, PSP_DEVINFO_DATA data, PSTR buffer, DWORD size, PDWORD required)
{
    auto guard = lock();
    const sim_disk* disk = member_disk(handle, data);
    return disk ? hand_out(disk->instance_id, buffer, size, required) : fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle)
{
    auto guard = lock();
    return the_world().sets.erase(handle) ? succeed() : fail(ERROR_INVALID_HANDLE);
}
