#include "src/device/device_manager.h"

#include "src/core/log_location.h"
#include "src/device/device_linux.h"
#include "src/device/disk_io_linux.h"
#include "src/device/listener_linux.h"
#include "src/device/listener_threads.h"
#include "src/device/sysfs_linux.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr uint64_t mebibyte = 1 << 20;

bool parse_count(const std::string& text, uint64_t& value)
{
    if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    value = std::stoull(text);
    return true;
}

// The whole disks under a block device of the running system, read from the real sysfs:
// the device itself, the disk of a partition, and the disks under device-mapper or RAID.
void collect_disks(dev_t number, std::set<dev_t>& disks, int depth = 0)
{
    const std::string base = "/sys/dev/block/" + std::to_string(major(number)) + ":" + std::to_string(minor(number));
    char resolved[PATH_MAX];
    if (depth > 8 || !realpath(base.c_str(), resolved))
        return;
    const std::string path(resolved);
    std::string disk_dir = path;
    if (access((path + "/partition").c_str(), F_OK) == 0)
        disk_dir = path.substr(0, path.rfind('/'));
    dev_number parsed;
    if (parse_dev_number(read_text_file(disk_dir + "/dev"), parsed))
        disks.insert(makedev(parsed.first, parsed.second));
    if (DIR* slaves = opendir((path + "/slaves").c_str())) {
        while (const dirent* entry = readdir(slaves)) {
            if (entry->d_name[0] == '.')
                continue;
            dev_number slave;
            if (parse_dev_number(read_text_file(path + "/slaves/" + entry->d_name + "/dev"), slave))
                collect_disks(makedev(slave.first, slave.second), disks, depth + 1);
        }
        closedir(slaves);
    }
}

// Whatever a fake tree or a dev node claims: the disks that hold this running system.
bool holds_running_system(dev_t disk)
{
    std::set<dev_t> system_disks;
    for (const char* place : {"/", "/boot", "/usr"}) {
        struct stat info;
        if (stat(place, &info) == 0)
            collect_disks(info.st_dev, system_disks);
    }
    return system_disks.count(disk) != 0;
}

std::string kernel_name(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A mount source through its symlinks ("/dev/mapper/root" -> "/dev/dm-0") in the dev tree at
// dev_root; as it is otherwise.
std::string resolved_source(const std::string& source, const std::string& dev_root)
{
    if (source.rfind("/dev/", 0) != 0)
        return source;
    const std::string node = dev_root + source.substr(4);
    char resolved[PATH_MAX];
    return realpath(node.c_str(), resolved) ? std::string(resolved) : node;
}

} // namespace

class device_manager::impl {
public:
    impl(device_manager* owner, const device_options& options);
    ~impl();

    std::vector<std::shared_ptr<device>> get_devices();
    void unmount_device(device& dev, bool log_only);
    void stop_preparations()
    {
        for (const QPointer<QThread>& check : m_checks)
            if (check)
                check->requestInterruption();
    }

private:
    void m_enumerate_devices();
    bool m_is_system_disk(const std::string& name) const;
    // Ends a preparation that cannot go on: nothing stays open and the run is told why.
    void m_give_up(device_linux& disk, const std::string& reason);
    void m_wait(int milliseconds);

    device_manager* m_owner;
    std::vector<std::shared_ptr<device>> m_devices;
    device_options m_options;
    QThread* m_listener_thread;
    std::vector<QPointer<QThread>> m_checks; // volume checks that may still run
};

device_manager::impl::impl(device_manager* owner, const device_options& options)
    : m_owner(owner), m_options(options), m_listener_thread(start_listener_thread<listener_linux>(owner, options))
{
}

device_manager::impl::~impl()
{
    stop_listener_thread(m_listener_thread);
}

std::vector<std::shared_ptr<device>> device_manager::impl::get_devices()
{
    m_enumerate_devices();
    return m_devices;
}

void device_manager::impl::m_enumerate_devices()
{
    m_devices.clear();
    const sysfs_tree tree(m_options.sysfs_root);
    const auto table = parse_mountinfo(read_text_file(m_options.mountinfo_path));
    for (const std::string& name : tree.disks()) {
        if (!tree.on_usb_bus(name))
            continue;
        if (tree.attribute(name, "ro") != "0") {
            KLOG(logger::fatal, EROFS); // write-protected, or not even that can be read
            continue;
        }
        uint64_t sectors = 0, logical_block = 0;
        if (!parse_count(tree.attribute(name, "size"), sectors) || sectors == 0) {
            KLOG(logger::fatal, ENOMEDIUM); // a card reader without a card
            continue;
        }
        dev_number number;
        if (!parse_dev_number(tree.attribute(name, "dev"), number)) {
            KLOG(logger::fatal, ENODEV);
            continue;
        }
        if (!parse_count(tree.attribute(name, "queue/logical_block_size"), logical_block) || logical_block < 512
            || logical_block > 65536 || (logical_block & (logical_block - 1)) != 0) {
            KLOG(logger::fatal, EIO);
            continue;
        }
        const std::string display = trim(tree.attribute(name, "device/vendor") + " " + tree.attribute(name, "device/model"));
        if (display.empty())
            continue;

        auto record = std::make_shared<device_linux>();
        KLOG(logger::info, "USB dev: " << display);
        record->name = display;
        record->path = m_options.dev_root + "/" + name;
        record->size = sectors * 512;
        record->sector_size = static_cast<uint32_t>(logical_block);
        record->number = static_cast<uint16_t>(((number.first & 0xFF) << 8) | (number.second & 0xFF));
        record->volumes = mount_points_of(table, tree.numbers_of(name));
        tree.usb_identity(name, record->port, record->serial);
        struct stat node;
        record->is_system = m_is_system_disk(name)
            || (stat(record->path.c_str(), &node) == 0 && S_ISBLK(node.st_mode) && holds_running_system(node.st_rdev));
        m_devices.push_back(record);
    }
}

bool device_manager::impl::m_is_system_disk(const std::string& name) const
{
    const sysfs_tree tree(m_options.sysfs_root);
    const auto numbers = tree.numbers_of(name);
    for (const mount_entry& entry : parse_mountinfo(read_text_file(m_options.mountinfo_path))) {
        const bool system_place = entry.mount_point == "/" || entry.mount_point == "/boot" || entry.mount_point == "/usr";
        if (!system_place)
            continue;
        if (std::find(numbers.begin(), numbers.end(), dev_number(entry.major, entry.minor)) != numbers.end())
            return true;
        // btrfs, ZFS and overlays show an anonymous device number: follow the mount's source.
        const auto holders = tree.disks_under(kernel_name(resolved_source(entry.source, m_options.dev_root)), entry.fstype == "btrfs");
        if (std::find(holders.begin(), holders.end(), name) != holders.end())
            return true;
    }
    for (const std::string& swap : parse_swaps(read_text_file(m_options.swaps_path))) {
        const auto holders = tree.disks_under(kernel_name(resolved_source(swap, m_options.dev_root)), false);
        if (tree.disk_of_partition(kernel_name(swap)) == name
            || std::find(holders.begin(), holders.end(), name) != holders.end())
            return true;
    }
    return false;
}

void device_manager::impl::m_give_up(device_linux& disk, const std::string& reason)
{
    disk.refusal = reason;
    for (int descriptor : disk.handles)
        ::close(descriptor);
    disk.handles.clear();
    QMetaObject::invokeMethod(m_owner, "unmount_finished", Qt::QueuedConnection);
    QMetaObject::invokeMethod(m_owner, "device_prepared", Qt::QueuedConnection,
                              Q_ARG(QString, QString::fromStdString(disk.path)));
}

void device_manager::impl::m_wait(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

void device_manager::impl::unmount_device(device& dev, bool log_only)
{
    device_linux& disk = linux_record(dev);
    KLOG(logger::info, "Name: " << disk.name << ", Path: " << disk.path << ", Size: " << disk.size);
    if (log_only)
        return;
    disk.refusal.clear();
    const std::string name = kernel_name(disk.path);
    // Decided before anything happens to the disk: not even its mounts are touched.
    struct stat before;
    if (m_is_system_disk(name)
        || (stat(disk.path.c_str(), &before) == 0 && S_ISBLK(before.st_mode) && holds_running_system(before.st_rdev))) {
        m_give_up(disk, "the disk of the running system");
        return;
    }

    KLOG(logger::fatal, "Format:");
    KLOG(logger::fatal, disk.path);
    KLOG(logger::debug, "Locking drive: ");
    const sysfs_tree tree(m_options.sysfs_root);
    const auto points = mount_points_of(parse_mountinfo(read_text_file(m_options.mountinfo_path)), tree.numbers_of(name));
    for (auto point = points.rbegin(); point != points.rend(); ++point) {
        KLOG(logger::debug, *point);
        // EINVAL and ENOENT: not mounted (any more), which is what we want.
        if (umount2(point->c_str(), 0) != 0 && errno != EINVAL && errno != ENOENT) {
            const int error = errno;
            KLOG(logger::fatal, "Cannot unmount " << *point << ": " << error);
            m_give_up(disk, "a partition is busy and cannot be unmounted: " + *point + " (" + std::strerror(error) + ")");
            return;
        }
    }

    unique_fd whole(open_disk_for_writing(disk.path));
    struct stat opened;
    if (!whole.valid() || fstat(whole.get(), &opened) != 0 || S_ISDIR(opened.st_mode)
        || (S_ISBLK(opened.st_mode) && holds_running_system(opened.st_rdev))) {
        const int error = errno;
        KLOG(logger::fatal, "HANDLE not valid");
        KLOG(logger::fatal, error);
        std::string reason = "the disk of the running system";
        if (!whole.valid())
            reason = error == EACCES || error == EPERM            ? "permission denied: run as root"
                : error == EBUSY                                   ? "busy: another program holds it open"
                : error == ENOENT || error == ENXIO || error == ENODEV ? "not there any more (unplugged?)"
                                                                   : std::strerror(error);
        m_give_up(disk, reason);
        return;
    }

    // Without its first and last MiB the disk has no partition table (MBR, GPT and its backup).
    const uint64_t length = disk_length(whole.get());
    const uint64_t head = std::min(mebibyte, length);
    const uint64_t tail_start = length - std::min(mebibyte, length);
    if (!write_zeros(whole.get(), 0, head) || !write_zeros(whole.get(), tail_start, length - tail_start)
        || fsync(whole.get()) != 0) {
        const int error = errno;
        KLOG(logger::fatal, "Formating failed: " << error);
    }
    if (ioctl(whole.get(), BLKRRPART) != 0) {
        const int error = errno;
        KLOG(logger::fatal, "Could not reenumerate disk: " << error);
    }

    for (int descriptor : disk.handles)
        ::close(descriptor);
    disk.handles.clear();
    disk.handles.push_back(whole.release());
    disk.volumes.clear();

    // No pause here: the volume check itself waits until the disk has settled.
    m_checks.erase(std::remove_if(m_checks.begin(), m_checks.end(), [](const QPointer<QThread>& check) { return !check; }),
                   m_checks.end());
    m_checks.push_back(start_volume_check<listener_linux>(m_owner, disk, m_options));
}

device_manager::device_manager(const device_options& options) : QObject(nullptr)
{
    m_impl = std::make_shared<impl>(this, options);
}

device_manager::~device_manager() = default;

std::vector<std::shared_ptr<device>> device_manager::get_devices()
{
    return m_impl->get_devices();
}

void device_manager::unmount_device(device& dev, bool log_only)
{
    m_impl->unmount_device(dev, log_only);
}

void device_manager::stop_preparations()
{
    m_impl->stop_preparations();
}

void device_manager::release_device(device& dev)
{
    auto& disk = linux_record(dev);
    for (auto handle : disk.handles)
        if (handle >= 0)
            ::close(handle);
    disk.handles.clear();
    disk.volumes.clear();
}
