#include "src/device/listener_linux.h"
#include "src/device/listener_threads.h"

#include "src/core/log_location.h"
#include "src/device/device_linux.h"
#include "src/device/sysfs_linux.h"

#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <sys/mount.h>

namespace {

constexpr int volume_pass_pause_ms = 100;

// The kernel name of a dev node path: "/dev/sdb" -> "sdb".
std::string kernel_name(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

listener_linux::listener_linux(const device_options& options) : m_options(options) {}

void listener_linux::set_device(device* dev)
{
    m_device = dev;
}

void listener_linux::start_listening()
{
    const sysfs_tree tree(m_options.sysfs_root);
    std::vector<std::string> last;
    while (pause_unless_stopped(m_options.poll_ms)) {
        const std::vector<std::string> disks = tree.usb_disk_identities();
        if (disks == last)
            continue;
        emit dev_changed();
        if (!pause_unless_stopped(m_options.settle_ms))
            return;
        emit dev_changed();
        last = disks;
    }
}

void listener_linux::find_volumes()
{
    KLOG(logger::fatal, "Checking for drives after formating");
    device_linux& disk = linux_record(*m_device);
    const sysfs_tree tree(m_options.sysfs_root);
    const std::string name = kernel_name(disk.path);
    const QDeadlineTimer deadline(m_options.volume_check_ms);
    // A wiped disk has no volume that could come back: the check ends once the disk is quiet,
    // and still catches an automounter that is a little late.
    QDeadlineTimer quiet(m_options.quiet_ms);
    std::vector<dev_number> last_numbers = tree.numbers_of(name);
    for (bool first_pass = true;; first_pass = false) {
        const bool stopped = QThread::currentThread()->isInterruptionRequested(); // the run was stopped
        if (!disk.volumes.empty() || deadline.hasExpired() || quiet.hasExpired() || stopped) {
            emit unmount_finished();
            return;
        }
        if (!first_pass)
            QThread::msleep(volume_pass_pause_ms);
        const std::vector<dev_number> numbers = tree.numbers_of(name);
        if (numbers != last_numbers) {
            last_numbers = numbers;
            quiet.setRemainingTime(m_options.quiet_ms);
        }
        const auto table = parse_mountinfo(read_text_file(m_options.mountinfo_path));
        const auto points = mount_points_of(table, numbers);
        // Innermost first, so that nested mounts do not keep their parent busy.
        for (auto point = points.rbegin(); point != points.rend(); ++point) {
            disk.volumes.push_back(*point);
            KLOG(logger::debug, "Dismounting volumes: " << *point);
            const int error = umount2(point->c_str(), 0) == 0 ? 0 : errno;
            KLOG(logger::fatal, error);
            KLOG(logger::fatal, "FOUND");
        }
    }
}
