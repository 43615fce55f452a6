#pragma once

#include "src/device/device.h"

#include <QObject>

#include <memory>
#include <vector>

// Waits of the disk code. Production uses the defaults; tests may shorten them.
struct device_timing {
    int poll_ms = 500;            // between two counts of USB storage devices
    int settle_ms = 1500;         // between the two notifications of one change
    int volume_check_ms = 15000;  // longest wait for volumes of a wiped disk to come back
    int prepare_wait_ms = 2000;   // pause after wiping, before the volume check
};

// The program's view of the USB disks: lists them, notices them coming and going, and prepares
// one for writing.
class device_manager : public QObject {
    Q_OBJECT

public:
    explicit device_manager(const device_timing& timing = device_timing());
    ~device_manager() override;

    std::vector<std::shared_ptr<device>> get_devices();

    // Wipes and opens the disk for the burner; unmount_finished() follows when it is ready.
    // With log_only the disk is only logged.
    void unmount_device(device& dev, bool log_only);

    class impl;

signals:
    void unmount_finished();
    void devices_changed();

private:
    std::shared_ptr<impl> m_impl;
};
