#pragma once

#include "src/device/device_manager.h"

#include <QObject>

struct device;

// Runs on a thread of its own. One instance watches which USB disks there are for the life of the
// device manager; one per disk preparation waits for the automounter to mount partitions of the
// wiped disk again and unmounts them.
class listener_linux : public QObject {
    Q_OBJECT

public:
    explicit listener_linux(const device_options& options = default_device_options());

    void set_device(device* dev);

signals:
    void dev_changed();
    void unmount_finished();

public slots:
    // Polls until the thread is asked to stop (the device manager is going away).
    void start_listening();
    void find_volumes();

private:

    device* m_device = nullptr;
    device_options m_options;
};
