#include "src/image/image_burner_impl.h"

#include "src/core/log_location.h"
#include "src/device/device_windows.h"

#include <windows.h>
#include <winioctl.h>

namespace {

void update_properties(HANDLE disk)
{
    DWORD returned = 0;
    DeviceIoControl(disk, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &returned, nullptr);
}

// Judged by its own result: the call succeeded and wrote every byte.
bool write_at(HANDLE disk, uint64_t offset, const unsigned char* data, size_t size)
{
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(disk, position, nullptr, FILE_BEGIN))
        return false;
    DWORD written = 0;
    return WriteFile(disk, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

} // namespace

void image_burner::impl::burn_image()
{
    device_windows& disk = windows_record(*m_target);
    if (disk.handles.empty() || m_cancel) {
        emit m_owner->error_msg(image_burner::tr("Cannot open device!"), true);
        KLOG(logger::fatal, "Cannot open device '" << disk.path << "', or flashing canceled");
        return;
    }
    m_prepare_image(__FILE__, __LINE__);
    if (m_stopped_while_preparing(__FILE__, __LINE__)) {
        release_windows_record(disk);
        return;
    }
    if (!m_image) {
        KLOG(logger::fatal, "Cannot open image");
        emit m_owner->error_msg(image_burner::tr("Image is damaged, download it again"), true);
        release_windows_record(disk);
        return;
    }

    const HANDLE handle = disk.handles[0];
    KLOG(logger::debug, "Device: " << disk.path);
    KLOG(logger::fatal, "Burning started");
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        KLOG(logger::fatal, "Cannot open device '" << disk.path << "'");
        emit m_owner->canceled();
        emit m_owner->error_msg(image_burner::tr("Cannot open device!"), true);
        m_close_image();
        release_windows_record(disk);
        return;
    }

    DWORD write_error = ERROR_SUCCESS;
    write_result result = m_write_image([handle, &write_error](uint64_t offset, const unsigned char* data, size_t size) {
        const bool written = write_at(handle, offset, data, size);
        write_error = written ? ERROR_SUCCESS : GetLastError();
        return written;
    });
    m_close_image();
    // Success means the bytes are on the stick, not in a cache.
    if (result == write_result::complete && !FlushFileBuffers(handle)) {
        write_error = GetLastError();
        result = write_result::failed;
    }
    // A stop that came while the first block or the flush was under way is still a stop.
    if (result == write_result::complete && m_cancel)
        result = write_result::canceled;

    switch (result) {
    case write_result::canceled:
        emit m_owner->canceled();
        update_properties(handle);
        KLOG(logger::info, "Burning canceled");
        break;
    case write_result::complete:
        emit m_owner->finished();
        emit m_owner->report_progress(m_image_size, m_image_size);
        KLOG(logger::info, "Burning finished");
        update_properties(handle);
        break;
    case write_result::unreadable:
        KLOG(logger::fatal, "Cannot open image");
        emit m_owner->error_msg(image_burner::tr("Image is damaged, download it again"), true);
        break;
    case write_result::failed:
        // A full disk-image target; the window says what it always says.
        if (write_error == ERROR_DISK_FULL || write_error == ERROR_HANDLE_DISK_FULL) {
            KLOG(logger::fatal, "No space left on '" << disk.path << "'");
            emit m_owner->target_full();
        }
        emit m_owner->device_disconected();
        emit m_owner->error_msg(image_burner::tr("Device disconected!"), true);
        KLOG(logger::fatal, "Burning interupted 'Device disconected'");
        break;
    }
    release_windows_record(disk);
}
