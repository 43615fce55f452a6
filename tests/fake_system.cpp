#include "fake_system.h"

#include <QDir>
#include <QFile>

namespace {

void write_text(const QString& path, const QString& text, QIODevice::OpenModeFlag mode = QIODevice::Truncate)
{
    QDir().mkpath(path.section('/', 0, -2));
    QFile file(path);
    file.open(QIODevice::WriteOnly | mode);
    file.write(text.toUtf8() + "\n");
}

} // namespace

fake_system::fake_system(const QString& root) : m_root(root)
{
    QDir().mkpath(root + "/sys/block");
    QDir().mkpath(root + "/dev");
    write_text(root + "/mountinfo", "1 0 0:1 / /proc rw - proc proc rw");
    set_swaps({});
}

void fake_system::add_disk(const disk_spec& disk)
{
    QString device_dir;
    switch (disk.on) {
    case bus::usb: {
        // A hub's ports nest: usb2/2-1/2-1.3/2-1.3:1.0
        QString usb_device = "devices/pci0000:00/0000:00:14.0/usb2/2-1";
        if (disk.port != "2-1")
            usb_device += "/" + disk.port;
        if (!disk.serial.isEmpty())
            write_text(m_root + "/sys/" + usb_device + "/serial", disk.serial);
        device_dir = usb_device + "/" + disk.port + ":1.0/host6/target6:0:0/6:0:0:0";
        break;
    }
    case bus::sata:
        device_dir = "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
        break;
    case bus::nvme:
        device_dir = "devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0";
        break;
    case bus::none:
        device_dir = "devices/virtual";
        break;
    }
    device_dir += "/" + disk.name + "-parent";
    const QString sys = m_root + "/sys/";
    const QString disk_dir = sys + device_dir + "/block/" + disk.name;
    QDir().mkpath(disk_dir);
    write_text(disk_dir + "/dev", disk.dev);
    write_text(disk_dir + "/size", QString::number(disk.sectors));
    write_text(disk_dir + "/ro", disk.read_only ? "1" : "0");
    write_text(disk_dir + "/queue/logical_block_size", QString::number(disk.logical_block));
    write_text(sys + device_dir + "/vendor", disk.vendor);
    write_text(sys + device_dir + "/model", disk.model);
    if (disk.on != bus::none)
        QFile::link("../..", disk_dir + "/device");
    for (const QString& partition : disk.partitions) {
        write_text(disk_dir + "/" + partition.section('=', 0, 0) + "/dev", partition.section('=', 1));
        write_text(disk_dir + "/" + partition.section('=', 0, 0) + "/partition", "1");
    }
    QFile::link("../" + device_dir + "/block/" + disk.name, sys + "block/" + disk.name);

    const qint64 bytes = disk.node_bytes < 0 ? disk.sectors * 512 : disk.node_bytes;
    if (bytes > 0) {
        QFile node_file(node(disk.name));
        node_file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        const QByteArray pattern(1 << 16, '\xab');
        for (qint64 done = 0; done < bytes; done += pattern.size())
            node_file.write(pattern.left(static_cast<int>(qMin<qint64>(pattern.size(), bytes - done))));
    }
}

void fake_system::remove_disk(const QString& name)
{
    QFile::remove(m_root + "/sys/block/" + name);
    QFile::remove(node(name));
}

void fake_system::mount(const QString& dev, const QString& mount_point, const QString& source, const QString& fstype)
{
    QString escaped = mount_point;
    escaped.replace(" ", "\\040");
    write_text(m_root + "/mountinfo",
               QString("%1 1 %2 / %3 rw,relatime shared:5 - %4 %5 rw").arg(m_mount_id++).arg(dev, escaped, fstype, source),
               QIODevice::Append);
}

void fake_system::set_swaps(const QStringList& files)
{
    QString text = "Filename\tType\tSize\tUsed\tPriority";
    for (const QString& file : files)
        text += "\n" + file + "\tpartition\t1048572\t0\t-2";
    write_text(m_root + "/swaps", text);
}

device_options fake_system::options(int poll_ms, int settle_ms, int volume_check_ms, int wait_ms) const
{
    device_options options;
    options.poll_ms = poll_ms;
    options.settle_ms = settle_ms;
    options.volume_check_ms = volume_check_ms;
    options.prepare_wait_ms = wait_ms;
    options.sysfs_root = (m_root + "/sys").toStdString();
    options.dev_root = (m_root + "/dev").toStdString();
    options.mountinfo_path = (m_root + "/mountinfo").toStdString();
    options.swaps_path = (m_root + "/swaps").toStdString();
    return options;
}

QProcessEnvironment fake_system::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("KELVRA_SYSFS_ROOT", m_root + "/sys");
    environment.insert("KELVRA_DEV_ROOT", m_root + "/dev");
    environment.insert("KELVRA_MOUNTINFO", m_root + "/mountinfo");
    environment.insert("KELVRA_SWAPS", m_root + "/swaps");
    return environment;
}
