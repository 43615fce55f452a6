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

namespace {

// GUID_DEVINTERFACE_USB_DEVICE; ignored under DIGCF_ALLCLASSES but part of the call.
const GUID usb_device_interface = {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

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

int listener_windows::m_count_usb_storage()
{
    HDEVINFO set = SetupDiGetClassDevsA(&usb_device_interface, "USBSTOR", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE)
        return -1;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    DWORD count = 0;
    while (SetupDiEnumDeviceInfo(set, count, &info))
        ++count;
    const DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    return error == ERROR_NO_MORE_ITEMS ? static_cast<int>(count) : -1;
}

void listener_windows::start_listening()
{
    int last_count = 0;
    while (pause_unless_stopped(m_options.poll_ms)) {
        const int count = m_count_usb_storage();
        if (count < 0 || count == last_count)
            continue; // a failed count is skipped, not taken for "no devices"
        emit dev_changed();
        if (!pause_unless_stopped(m_options.settle_ms))
            return;
        emit dev_changed();
        last_count = count;
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
