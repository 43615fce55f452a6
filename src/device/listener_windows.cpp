#include "src/device/listener_windows.h"
#include "src/device/listener_threads.h"

#include "src/core/log_location.h"
#include "src/device/device_windows.h"
#include "src/device/volumes_windows.h"

#include <QDeadlineTimer>
#include <QThread>

#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// GUID_DEVINTERFACE_USB_DEVICE; ignored under DIGCF_ALLCLASSES but part of the call.
const GUID usb_device_interface = {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};
// GUID_DEVINTERFACE_DISK
const GUID disk_interface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

// Between passes of the volume check: a wiped disk takes a while to show volumes again.
constexpr int volume_pass_pause_ms = 100;
// Between attempts to lock a volume that something else still has open.
constexpr int lock_retry_ms = 100;

} // namespace

listener_windows::listener_windows(const device_options& options) : m_options(options) {}

void listener_windows::set_device(device* dev)
{
    m_device = dev;
}

bool listener_windows::m_look(std::vector<std::string>& seen)
{
    seen.clear();
    {
        HDEVINFO set = SetupDiGetClassDevsA(&usb_device_interface, "USBSTOR", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        if (set == INVALID_HANDLE_VALUE)
            return false;
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        DWORD count = 0;
        while (SetupDiEnumDeviceInfo(set, count, &info))
            ++count;
        const DWORD error = GetLastError();
        SetupDiDestroyDeviceInfoList(set);
        if (error != ERROR_NO_MORE_ITEMS)
            return false;
        seen.push_back("USBSTOR " + std::to_string(count));
    }
    // The same number of sticks may be other sticks: each USB disk by its number, instance (which
    // holds the serial number) and size. Opened without access, which neither disturbs nor is
    // refused by a disk that is being written.
    HDEVINFO set = SetupDiGetClassDevsA(&disk_interface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof interface_data;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &disk_interface, index, &interface_data); ++index) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &required, nullptr);
        std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
            || !SetupDiGetDeviceInterfaceDetailA(set, &interface_data, detail, required, nullptr, nullptr))
            continue;
        scoped_handle disk(CreateFileA(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        STORAGE_PROPERTY_QUERY query{};
        query.PropertyId = StorageDeviceProperty;
        query.QueryType = PropertyStandardQuery;
        STORAGE_DEVICE_DESCRIPTOR descriptor{};
        STORAGE_DEVICE_NUMBER number{};
        DISK_GEOMETRY geometry{};
        DWORD returned = 0;
        if (!disk.valid()
            || !DeviceIoControl(disk.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &descriptor,
                                sizeof descriptor, &returned, nullptr)
            || descriptor.BusType != BusTypeUsb
            || !DeviceIoControl(disk.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number,
                                &returned, nullptr)
            || !DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry,
                                &returned, nullptr))
            continue;
        char instance[512] = {};
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (SetupDiEnumDeviceInfo(set, index, &info))
            SetupDiGetDeviceInstanceIdA(set, &info, instance, sizeof instance - 1, nullptr);
        const unsigned long long size = static_cast<unsigned long long>(geometry.Cylinders.QuadPart)
            * geometry.TracksPerCylinder * geometry.SectorsPerTrack * geometry.BytesPerSector;
        seen.push_back(std::to_string(number.DeviceNumber) + " " + instance + " " + std::to_string(size));
    }
    SetupDiDestroyDeviceInfoList(set);
    return true;
}

void listener_windows::start_listening()
{
    std::vector<std::string> last{"USBSTOR 0"};
    std::vector<std::string> seen;
    while (pause_unless_stopped(m_options.poll_ms)) {
        if (!m_look(seen) || seen == last)
            continue; // a failed look is skipped, not taken for "no devices"
        emit dev_changed();
        if (!pause_unless_stopped(m_options.settle_ms))
            return;
        emit dev_changed();
        last = seen;
    }
}

void listener_windows::find_volumes()
{
    KLOG(logger::fatal, "Checking for drives after formating");
    device_windows& disk = windows_record(*m_device);
    const QDeadlineTimer deadline(m_options.volume_check_ms);
    for (bool first_pass = true;; first_pass = false) {
        const bool stopped = QThread::currentThread()->isInterruptionRequested(); // the run was stopped
        if (!disk.volumes.empty() || deadline.hasExpired() || stopped) {
            emit unmount_finished();
            return;
        }
        if (!first_pass)
            QThread::msleep(volume_pass_pause_ms);
        removable_volume_walk walk;
        for (std::string path; walk.next(path);) {
            scoped_handle volume(open_shared(path));
            DWORD number = 0;
            if (!volume.valid() || !query_device_number(volume.get(), number) || number != disk.number)
                continue;
            disk.volumes.push_back(path);
            KLOG(logger::debug, "Dismounting volumes: " << path);
            // Unlocked, the dismount would hold only until the next look at the volume, and Windows
            // then refuses the burner's writes into it.
            lock_volume(volume.get(), [&] {
                return !deadline.hasExpired() && pause_unless_stopped(lock_retry_ms);
            });
            DWORD returned = 0;
            DeviceIoControl(volume.get(), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
            const DWORD error = GetLastError(); // the lock's, unless the dismount failed
            KLOG(logger::fatal, error);
            disk.handles.push_back(volume.release()); // stays open: the lock holds until the burner ends
            KLOG(logger::fatal, "FOUND");
        }
    }
}
