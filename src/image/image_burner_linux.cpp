#include "src/image/image_burner_impl.h"

#include "src/core/log_location.h"
#include "src/device/device_linux.h"
#include "src/device/disk_io_linux.h"

#include <cerrno>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

void release(device_linux& disk)
{
    for (int descriptor : disk.handles)
        if (descriptor >= 0)
            ::close(descriptor);
    disk.handles.clear();
    disk.volumes.clear();
}

} // namespace

void image_burner::impl::burn_image()
{
    device_linux& disk = linux_record(*m_target);
    if (disk.handles.empty() || m_cancel) {
        emit m_owner->error_msg(image_burner::tr("Cannot open device!"), true);
        KLOG(logger::fatal, "Cannot open device '" << disk.path << "', or flashing canceled");
        return;
    }
    m_prepare_image(__FILE__, __LINE__);
    if (m_stopped_while_preparing(__FILE__, __LINE__)) {
        release(disk);
        return;
    }
    if (!m_image) {
        KLOG(logger::fatal, "Cannot open image");
        emit m_owner->error_msg(image_burner::tr("Image is damaged, download it again"), true);
        release(disk);
        return;
    }

    const int fd = disk.handles[0];
    KLOG(logger::debug, "Device: " << disk.path);
    KLOG(logger::fatal, "Burning started");
    if (fd < 0) {
        KLOG(logger::fatal, "Cannot open device '" << disk.path << "'");
        emit m_owner->canceled();
        emit m_owner->error_msg(image_burner::tr("Cannot open device!"), true);
        m_close_image();
        release(disk);
        return;
    }

    int write_error = 0;
    write_result result = m_write_image([fd, &write_error](uint64_t offset, const unsigned char* data, size_t size) {
        const bool written = write_all(fd, data, size, offset);
        write_error = written ? 0 : errno;
        return written;
    });
    m_close_image();
    // Success means the bytes are on the stick, not in a cache.
    if (result == write_result::complete && fsync(fd) != 0) {
        write_error = errno;
        result = write_result::failed;
    }
    // A stop that came while the first block or the flush was under way is still a stop.
    if (result == write_result::complete && m_cancel)
        result = write_result::canceled;

    switch (result) {
    case write_result::canceled:
        emit m_owner->canceled();
        KLOG(logger::info, "Burning canceled");
        break;
    case write_result::complete:
        emit m_owner->finished();
        emit m_owner->report_progress(m_image_size, m_image_size);
        KLOG(logger::info, "Burning finished");
        ioctl(fd, BLKRRPART); // let the kernel see the new partitions; a file target has none
        break;
    case write_result::unreadable:
        KLOG(logger::fatal, "Cannot open image");
        emit m_owner->error_msg(image_burner::tr("Image is damaged, download it again"), true);
        break;
    case write_result::failed:
        // A full file system or a target smaller than the image; the window says what it always says.
        if (write_error == ENOSPC) {
            KLOG(logger::fatal, "No space left on '" << disk.path << "'");
            emit m_owner->target_full();
        }
        emit m_owner->device_disconected();
        emit m_owner->error_msg(image_burner::tr("Device disconected!"), true);
        KLOG(logger::fatal, "Burning interupted 'Device disconected'");
        break;
    }
    release(disk);
}
