#pragma once

#include "src/device/device_manager.h"

#include <QObject>

#include <string>
#include <vector>

struct device;

// Runs on a thread of its own. One instance watches which USB storage devices there are for the
// life of the device manager; one per disk preparation waits for the wiped disk's volumes.
class listener_windows : public QObject {
    Q_OBJECT

public:
    explicit listener_windows(const device_options& options = device_options());

    void set_device(device* dev);

signals:
    void dev_changed();
    void unmount_finished();

public slots:
    // Polls until the thread is asked to stop (the device manager is going away).
    void start_listening();
    void find_volumes();

private:
    // What one look sees of the USB storage devices and disks; false when it could not look.
    bool m_look(std::vector<std::string>& seen);

    device* m_device = nullptr;
    device_options m_options;
};
