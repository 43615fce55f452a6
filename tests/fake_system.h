#pragma once

#include "src/device/device_manager.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A fake Linux system under one folder, for the Linux disk backend: a sysfs tree with disks on
// the buses the kernel would show, dev nodes that are regular files, a mount table and a swap list.
class fake_system {
public:
    enum class bus { usb, sata, nvme, none };

    struct disk_spec {
        QString name = "sdb";
        bus on = bus::usb;
        QString dev = "8:16";
        qint64 sectors = 8192;            // 512-byte units
        int logical_block = 512;
        bool read_only = false;
        QString vendor = "SanDisk ";
        QString model = "Cruzer Blade    ";
        QStringList partitions;           // "sdb1=8:17"
        qint64 node_bytes = -1;           // the dev node's size; -1: sectors * 512, 0: no node
        QString port = "2-1";             // the USB device the disk sits behind (bus usb)
        QString serial;                   // its serial number; none when empty
    };

    explicit fake_system(const QString& root);
    static disk_spec disk(const QString& name, const QString& dev, bus on = bus::usb, const QStringList& partitions = {})
    {
        disk_spec made;
        made.name = name;
        made.dev = dev;
        made.on = on;
        made.partitions = partitions;
        return made;
    }

    void add_disk(const disk_spec& disk);
    void remove_disk(const QString& name);
    void mount(const QString& dev, const QString& mount_point, const QString& source = "/dev/x",
               const QString& fstype = "vfat");
    void set_swaps(const QStringList& files);

    QString node(const QString& name) const { return m_root + "/dev/" + name; }
    device_options options(int poll_ms = 20, int settle_ms = 80, int volume_check_ms = 300, int wait_ms = 50) const;
    // This process's environment, pointing a program started from it at this system.
    QProcessEnvironment environment() const;

private:
    QString m_root;
    int m_mount_id = 20;
};
