#include "fake_system.h"
#include "image_builder.h"
#include "log_reader.h"

#include "src/core/logger.h"
#include "src/device/device_linux.h"
#include "src/device/device_manager.h"
#include "src/device/sysfs_linux.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray read_all(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

QStringList qstrings(const std::vector<std::string>& list)
{
    QStringList out;
    for (const std::string& s : list)
        out << QString::fromStdString(s);
    return out;
}

} // namespace

class test_devices_linux : public QObject {
    Q_OBJECT

    QTemporaryDir m_logs;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<fake_system> m_system;

    QStringList log_of(const QString& function) const
    {
        return ::log_of(m_logs.path() + "/KELVRA Flash Tool.log", function);
    }

    static void close_handles(device& dev)
    {
        for (int fd : linux_record(dev).handles)
            ::close(fd);
        linux_record(dev).handles.clear();
    }

private slots:
    void initTestCase() { logger::init(m_logs.path().toStdString()); }

    void init()
    {
        QFile(m_logs.path() + "/KELVRA Flash Tool.log").resize(0);
        m_root = std::make_unique<QTemporaryDir>();
        m_system = std::make_unique<fake_system>(m_root->path());
    }

    void mount_table_and_attribute_parsing()
    {
        const std::string text = "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                                 "garbage line\n"
                                 "90 22 8:17 / /media/op/MY\\040STICK rw,nosuid shared:50 master:3 - vfat /dev/sdb1 rw\n"
                                 "91 22 0:44 / /run/user rw - tmpfs tmpfs rw\n";
        const auto table = parse_mountinfo(text);
        QCOMPARE(table.size(), size_t(3));
        QCOMPARE(QString::fromStdString(table[1].mount_point), QString("/media/op/MY STICK"));
        QCOMPARE(table[1].major, 8u);
        QCOMPARE(table[1].minor, 17u);
        QCOMPARE(QString::fromStdString(table[1].fstype), QString("vfat"));
        QCOMPARE(qstrings(mount_points_of(table, {{8, 16}, {8, 17}})), QStringList{"/media/op/MY STICK"});

        QCOMPARE(qstrings(parse_swaps("Filename Type Size Used Priority\n/dev/sda2 partition 100 0 -2\n")),
                 QStringList{"/dev/sda2"});
        dev_number number;
        QVERIFY(parse_dev_number("259:3\n", number) && number == dev_number(259, 3));
        QVERIFY(!parse_dev_number("8:", number) && !parse_dev_number(":1", number) && !parse_dev_number("a:b", number));
        QVERIFY(is_usb_device_path("/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6"));
        QVERIFY(!is_usb_device_path("/sys/devices/pci0000:00/0000:00:17.0/ata1/host0"));
        QVERIFY(!is_usb_device_path("/sys/devices/platform/usbphy/host0"));
        QCOMPARE(QString::fromStdString(trim("  SanDisk \n")), QString("SanDisk"));
    }

    void lists_writable_usb_disks_only()
    {
        fake_system::disk_spec sata;
        sata.name = "sda";
        sata.on = fake_system::bus::sata;
        sata.dev = "8:0";
        sata.partitions = QStringList{"sda1=8:1"};
        m_system->add_disk(sata);
        fake_system::disk_spec stick;
        stick.partitions = QStringList{"sdb1=8:17", "sdb2=8:18"};
        stick.sectors = 30031872;
        stick.node_bytes = 4096;
        m_system->add_disk(stick);
        fake_system::disk_spec locked = stick;
        locked.name = "sdc";
        locked.dev = "8:32";
        locked.read_only = true;
        locked.partitions.clear();
        m_system->add_disk(locked);
        fake_system::disk_spec card_reader = locked;
        card_reader.name = "sdd";
        card_reader.dev = "8:48";
        card_reader.read_only = false;
        card_reader.sectors = 0;
        m_system->add_disk(card_reader);
        fake_system::disk_spec nvme = sata;
        nvme.name = "nvme0n1";
        nvme.on = fake_system::bus::nvme;
        nvme.dev = "259:0";
        nvme.partitions.clear();
        m_system->add_disk(nvme);
        fake_system::disk_spec loop = nvme;
        loop.name = "loop0";
        loop.on = fake_system::bus::none;
        loop.dev = "7:0";
        m_system->add_disk(loop);
        fake_system::disk_spec big_sectors = locked;
        big_sectors.name = "sde";
        big_sectors.dev = "8:64";
        big_sectors.read_only = false;
        big_sectors.logical_block = 4096;
        big_sectors.vendor = "";
        big_sectors.model = " Portable SSD ";
        m_system->add_disk(big_sectors);
        m_system->mount("8:1", "/");
        m_system->mount("8:18", "/media/op/DATA");
        m_system->mount("8:17", "/media/op/BOOT");

        device_manager manager(m_system->options());
        const auto devices = manager.get_devices();
        QCOMPARE(devices.size(), size_t(2));
        const device& listed = *devices[0];
        QCOMPARE(QString::fromStdString(listed.name), QString("SanDisk Cruzer Blade"));
        QCOMPARE(QString::fromStdString(listed.path), m_system->node("sdb"));
        QCOMPARE(listed.size, uint64_t(30031872) * 512);
        QCOMPARE(listed.sector_size, uint32_t(512));
        QCOMPARE(listed.number, uint16_t(0x0810));
        QCOMPARE(qstrings(listed.volumes), (QStringList{"/media/op/DATA", "/media/op/BOOT"}));
        QVERIFY(linux_record(*devices[0]).handles.empty());
        QCOMPARE(QString::fromStdString(devices[1]->name), QString("Portable SSD"));
        QCOMPARE(devices[1]->sector_size, uint32_t(4096));

        QCOMPARE(log_of("m_enumerate_devices"),
                 (QStringList{"info USB dev: SanDisk Cruzer Blade", "fatal 30", "fatal 123", "info USB dev: Portable SSD"}));
    }

    void listener_signals_twice_per_change()
    {
        device_manager manager(m_system->options());
        QSignalSpy changes(&manager, &device_manager::devices_changed);
        QTest::qWait(200);
        QCOMPARE(changes.size(), 0); // no USB disk, no change

        m_system->add_disk(fake_system::disk_spec());
        QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 2, 3000);
        QTest::qWait(200);
        QCOMPARE(changes.size(), 2);

        fake_system::disk_spec sata;
        sata.name = "sda";
        sata.on = fake_system::bus::sata;
        m_system->add_disk(sata); // not a USB disk: nothing changes
        QTest::qWait(200);
        QCOMPARE(changes.size(), 2);

        // Swapped within one look for a stick of another size: as many disks, but another one.
        image_builder::write_file(m_root->path() + "/sys/block/sdb/size", "16384\n");
        QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 4, 60000);
        m_system->remove_disk("sdb");
        QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 6, 60000);
    }

    void system_disk_is_refused_data()
    {
        QTest::addColumn<QString>("mount_point");
        QTest::addColumn<bool>("swap");
        QTest::addColumn<QString>("number");  // of the mount
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("fstype");
        QTest::newRow("root") << "/" << false << "8:17" << "/dev/x" << "vfat";
        QTest::newRow("boot") << "/boot" << false << "8:17" << "/dev/x" << "vfat";
        QTest::newRow("swap in use") << "/media/x" << true << "8:17" << "/dev/x" << "vfat";
        // File systems with an anonymous device number: only the source tells.
        QTest::newRow("root by its source") << "/" << false << "0:31" << "/dev/sdb1" << "ext4";
        QTest::newRow("usr on device-mapper") << "/usr" << false << "0:32" << "/dev/mapper/usr" << "ext4";
        QTest::newRow("btrfs on two disks") << "/" << false << "0:33" << "/dev/sdc1" << "btrfs";
    }
    void system_disk_is_refused()
    {
        QFETCH(QString, mount_point);
        QFETCH(bool, swap);
        QFETCH(QString, number);
        QFETCH(QString, source);
        QFETCH(QString, fstype);
        fake_system::disk_spec stick;
        stick.partitions = QStringList{"sdb1=8:17", "sdb2=8:18"};
        m_system->add_disk(stick);
        const QString sys = m_root->path() + "/sys";
        // /dev/mapper/usr -> ../dm-0, made of sdb1; a btrfs of sdc1 and sdb2.
        QDir().mkpath(m_root->path() + "/dev/mapper");
        image_builder::write_file(m_root->path() + "/dev/dm-0", "");
        QFile::link("../dm-0", m_root->path() + "/dev/mapper/usr");
        QDir().mkpath(sys + "/class/block/dm-0/slaves/sdb1");
        QDir().mkpath(sys + "/fs/btrfs/5f1c/devices/sdc1");
        QDir().mkpath(sys + "/fs/btrfs/5f1c/devices/sdb2");
        m_system->mount(number, mount_point, source, fstype);
        m_system->mount("8:18", m_root->path() + "/data"); // a mount of its own: not to be touched either
        if (swap)
            m_system->set_swaps({"/dev/sdb2"});
        const QByteArray before = read_all(m_system->node("sdb"));

        device_manager manager(m_system->options());
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        QFile(m_logs.path() + "/KELVRA Flash Tool.log").resize(0);
        manager.unmount_device(*devices[0], false);
        QCOMPARE(log_of("unmount_device").size(), 1); // nothing but its name: no unmount, no open
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 2000); // the run ends, with nothing to write to
        QVERIFY(linux_record(*devices[0]).handles.empty());
        QCOMPARE(QString::fromStdString(devices[0]->refusal), QString("the disk of the running system"));
        QVERIFY(read_all(m_system->node("sdb")) == before);
    }

    void a_disk_beside_the_system_is_not_refused()
    {
        fake_system::disk_spec stick;
        stick.partitions = QStringList{"sdb1=8:17"};
        m_system->add_disk(stick);
        QDir().mkpath(m_root->path() + "/sys/fs/btrfs/77aa/devices/sdc1");
        m_system->mount("0:40", "/", "/dev/sdc1", "btrfs");
        device_manager manager(m_system->options());
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        manager.unmount_device(*devices[0], false);
        QCOMPARE(linux_record(*devices[0]).handles.size(), size_t(1));
        QVERIFY(devices[0]->refusal.empty());
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 3000);
        close_handles(*devices[0]);
    }

    void preparation_wipes_the_partition_tables()
    {
        fake_system::disk_spec stick;
        stick.sectors = 5 * 2048 + 7; // 5 MiB and a few sectors
        m_system->add_disk(stick);
        device_manager manager(m_system->options());
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();

        manager.unmount_device(*devices[0], true); // log_only: nothing happens
        QTest::qWait(100);
        QCOMPARE(finished.size(), 0);
        QVERIFY(linux_record(*devices[0]).handles.empty());

        manager.unmount_device(*devices[0], false);
        QCOMPARE(linux_record(*devices[0]).handles.size(), size_t(1));
        const QByteArray disk = read_all(m_system->node("sdb"));
        const int mib = 1 << 20;
        QCOMPARE(disk.size(), (5 * 2048 + 7) * 512);
        QVERIFY(disk.left(mib) == QByteArray(mib, '\0'));
        QVERIFY(disk.right(mib) == QByteArray(mib, '\0'));
        QVERIFY(disk.mid(mib, disk.size() - 2 * mib) == QByteArray(disk.size() - 2 * mib, '\xab'));

        // The descriptor is the disk, open for reading and writing.
        const int fd = linux_record(*devices[0]).handles[0];
        struct stat opened, node;
        QCOMPARE(fstat(fd, &opened), 0);
        QCOMPARE(stat(m_system->node("sdb").toUtf8().constData(), &node), 0);
        QCOMPARE(opened.st_ino, node.st_ino);
        QCOMPARE(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);

        QCOMPARE(log_of("unmount_device").mid(2, 3), // after the two "Name: " lines
                 (QStringList{"fatal Format:", "fatal " + m_system->node("sdb"), "debug Locking drive: "}));
        QVERIFY(log_of("unmount_device").contains("fatal Could not reenumerate disk: 25")); // a file has no partitions
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 3000);
        QCOMPARE(log_of("find_volumes"), QStringList{"fatal Checking for drives after formating"});
        close_handles(*devices[0]);
    }

    void automounted_partition_is_unmounted_again()
    {
        fake_system::disk_spec stick;
        stick.partitions = QStringList{"sdb1=8:17"};
        m_system->add_disk(stick);
        device_manager manager(m_system->options());
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        QTimer::singleShot(100, this, [this] { m_system->mount("8:17", m_root->path() + "/not-mounted"); });
        manager.unmount_device(*devices[0], false);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 3000);
        const QString point = m_root->path() + "/not-mounted";
        QCOMPARE(log_of("find_volumes"), (QStringList{"fatal Checking for drives after formating",
                                                      "debug Dismounting volumes: " + point,
                                                      "fatal " + QString::number(ENOENT), "fatal FOUND"}));
        QCOMPARE(qstrings(devices[0]->volumes), QStringList{point});
        close_handles(*devices[0]);
    }

    void a_wiped_disk_is_ready_once_it_is_quiet()
    {
        fake_system::disk_spec stick;
        stick.partitions = QStringList{"sdb1=8:17"};
        m_system->add_disk(stick);
        device_options options = m_system->options(20, 80, 15000, 2000);
        options.quiet_ms = 500;

        // Nothing comes back: ready after the quiet time, not at the 15 s limit nor after a pause.
        {
            device_manager manager(options);
            QSignalSpy finished(&manager, &device_manager::unmount_finished);
            QSignalSpy prepared(&manager, &device_manager::device_prepared);
            auto devices = manager.get_devices();
            QElapsedTimer clock;
            clock.start();
            manager.unmount_device(*devices[0], false);
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 14000);
            QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
            QTRY_COMPARE(prepared.size(), 1);
            QCOMPARE(prepared[0][0].toString(), m_system->node("sdb"));
            QVERIFY(devices[0]->volumes.empty());
            close_handles(*devices[0]);
        }
        // An automounter 300 ms late is still caught: the partition is unmounted and held.
        {
            device_manager manager(options);
            QSignalSpy finished(&manager, &device_manager::unmount_finished);
            auto devices = manager.get_devices();
            const QString point = m_root->path() + "/late";
            QTimer::singleShot(300, this, [&] { m_system->mount("8:17", point); });
            manager.unmount_device(*devices[0], false);
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 14000);
            QCOMPARE(qstrings(devices[0]->volumes), QStringList{point});
            close_handles(*devices[0]);
        }
    }

    void vanished_disk_ends_the_run()
    {
        m_system->add_disk(fake_system::disk_spec());
        device_manager manager(m_system->options());
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        m_system->remove_disk("sdb");
        manager.unmount_device(*devices[0], false);
        QVERIFY(log_of("unmount_device").contains("fatal HANDLE not valid"));
        QVERIFY(linux_record(*devices[0]).handles.empty());
        QCOMPARE(finished.size(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 1000);
    }

    void busy_partition_stops_before_anything_is_written()
    {
        const QString mount_point = m_root->path() + "/mnt";
        QDir().mkpath(mount_point);
        if (geteuid() != 0 || ::mount("tmpfs", mount_point.toUtf8().constData(), "tmpfs", 0, "size=1m") != 0)
            QSKIP("mounting a tmpfs needs root rights and mount permission");
        const int busy = ::open((mount_point + "/held").toUtf8().constData(), O_CREAT | O_RDWR, 0600);
        QVERIFY(busy >= 0);
        struct stat info;
        QCOMPARE(stat(mount_point.toUtf8().constData(), &info), 0);

        fake_system::disk_spec stick;
        stick.partitions = QStringList{QString("sdb1=%1:%2").arg(major(info.st_dev)).arg(minor(info.st_dev))};
        m_system->add_disk(stick);
        m_system->mount(QString("%1:%2").arg(major(info.st_dev)).arg(minor(info.st_dev)), mount_point);
        const QByteArray before = read_all(m_system->node("sdb"));

        device_manager manager(m_system->options());
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        manager.unmount_device(*devices[0], false);
        ::close(busy);
        QVERIFY(log_of("unmount_device").contains(QString("fatal Cannot unmount %1: %2").arg(mount_point).arg(EBUSY)));
        QVERIFY(linux_record(*devices[0]).handles.empty());
        QVERIFY(read_all(m_system->node("sdb")) == before);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 1000);

        // Once nothing holds it, the partition is unmounted and the disk wiped.
        manager.unmount_device(*devices[0], false);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 3000);
        QVERIFY(!QString::fromUtf8(read_all("/proc/self/mountinfo")).contains(mount_point));
        QCOMPARE(linux_record(*devices[0]).handles.size(), size_t(1));
        close_handles(*devices[0]);
    }
};

QTEST_GUILESS_MAIN(test_devices_linux)
#include "test_devices_linux.moc"
