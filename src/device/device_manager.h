#pragma once

#include "src/device/device.h"

#include <QObject>

#include <memory>
#include <vector>

#include <string>

// Waits and places of the disk code. Production uses the defaults; tests shorten the waits and
// point the Linux backend at a fake system tree.
struct device_options {
    int poll_ms = 500;            // between two counts of USB storage devices
    int settle_ms = 1500;         // between the two notifications of one change
    int volume_check_ms = 15000;  // longest wait for volumes of a wiped disk to come back
    int prepare_wait_ms = 2000;   // pause after wiping, before the volume check (Windows)
    // Linux: a wiped disk has settled when neither its partitions nor its mounts changed for this
    // long; the check then ends without waiting for volume_check_ms.
    int quiet_ms = 500;
    // Linux only: where the kernel's block devices, their nodes and the mount tables are.
    std::string sysfs_root = "/sys";
    std::string dev_root = "/dev";
    std::string mountinfo_path = "/proc/self/mountinfo";
    std::string swaps_path = "/proc/swaps";
};

// The defaults, with the Linux places taken from KELVRA_SYSFS_ROOT, KELVRA_DEV_ROOT,
// KELVRA_MOUNTINFO and KELVRA_SWAPS when they are set.
device_options default_device_options();

// The program's view of the USB disks: lists them, notices them coming and going, and prepares
// one for writing.
class device_manager : public QObject {
    Q_OBJECT

public:
    explicit device_manager(const device_options& options = default_device_options());
    ~device_manager() override;

    std::vector<std::shared_ptr<device>> get_devices();

    // Wipes and opens the disk for the burner; unmount_finished() follows when it is ready.
    // With log_only the disk is only logged.
    void unmount_device(device& dev, bool log_only);

    // Ends the volume checks still running (a stopped run): each reports unmount_finished() at once.
    void stop_preparations();

    // Closes whatever a preparation left open for the disk (a run that ended before a burner
    // took the disk over).
    void release_device(device& dev);

    class impl;

signals:
    void unmount_finished();
    void devices_changed();
    // With every unmount_finished() of a preparation: which disk it was (its path), so that a
    // caller may prepare several disks at once.
    void device_prepared(QString path);

private:
    std::shared_ptr<impl> m_impl;
};
