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

    // The disks listed by a manager of the fake system; the disk's descriptors are closed at the end.
    struct listed {
        explicit listed(const device_options& options)
            : manager(options), finished(&manager, &device_manager::unmount_finished), devices(manager.get_devices())
        {
        }
        ~listed()
        {
            for (const auto& dev : devices)
                for (int fd : linux_record(*dev).handles)
                    ::close(fd);
        }
        device& disk() { return *devices.at(0); }
        std::vector<int>& handles() { return linux_record(disk()).handles; }
        device_manager manager;
        QSignalSpy finished;
        std::vector<std::shared_ptr<device>> devices;
    };

    void add_stick(const QStringList& partitions = {})
    {
        m_system->add_disk(fake_system::disk("sdb", "8:16", fake_system::bus::usb, partitions));
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

        QCOMPARE(qstrings(parse_swaps("Filename Type Size Used Priority\n/dev/sda2 partition 100 0 -2\n")),
                 QStringList{"/dev/sda2"});
        dev_number number;
        QVERIFY(parse_dev_number("259:3\n", number) && number == dev_number(259, 3));
        QVERIFY(!parse_dev_number("8:", number) && !parse_dev_number(":1", number) && !parse_dev_number("a:b", number));
        QVERIFY(is_usb_device_path("/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6"));
        QVERIFY(!is_usb_device_path("/sys/devices/pci0000:00/0000:00:17.0/ata1/host0"));
        QVERIFY(!is_usb_device_path("/sys/devices/platform/usbphy/host0"));
    }

    void lists_writable_usb_disks_only()
    {
        using bus = fake_system::bus;
        m_system->add_disk(fake_system::disk("sda", "8:0", bus::sata, {"sda1=8:1"}));
        fake_system::disk_spec stick = fake_system::disk("sdb", "8:16", bus::usb, {"sdb1=8:17", "sdb2=8:18"});
        stick.sectors = 30031872;
        stick.node_bytes = 4096;
        m_system->add_disk(stick);
        fake_system::disk_spec locked = fake_system::disk("sdc", "8:32");
        locked.read_only = true;
        m_system->add_disk(locked);
        fake_system::disk_spec card_reader = fake_system::disk("sdd", "8:48");
        card_reader.sectors = 0;
        m_system->add_disk(card_reader);
        m_system->add_disk(fake_system::disk("nvme0n1", "259:0", bus::nvme));
        m_system->add_disk(fake_system::disk("loop0", "7:0", bus::none));
        fake_system::disk_spec big_sectors = fake_system::disk("sde", "8:64");
        big_sectors.logical_block = 4096;
        big_sectors.vendor = "";
        big_sectors.model = " Portable SSD ";
        m_system->add_disk(big_sectors);
        m_system->mount("8:1", "/");
        m_system->mount("8:18", "/media/op/DATA");
        m_system->mount("8:17", "/media/op/BOOT");

        listed run(m_system->options());
        QCOMPARE(run.devices.size(), size_t(2));
        const device& listed = run.disk();
        QCOMPARE(QString::fromStdString(listed.name), QString("SanDisk Cruzer Blade"));
        QCOMPARE(QString::fromStdString(listed.path), m_system->node("sdb"));
        QCOMPARE(listed.size, uint64_t(30031872) * 512);
        QCOMPARE(listed.sector_size, uint32_t(512));
        QCOMPARE(listed.number, uint16_t(0x0810));
        QCOMPARE(qstrings(listed.volumes), (QStringList{"/media/op/DATA", "/media/op/BOOT"}));
        QVERIFY(run.handles().empty());
        QCOMPARE(QString::fromStdString(run.devices[1]->name), QString("Portable SSD"));
        QCOMPARE(run.devices[1]->sector_size, uint32_t(4096));

        QCOMPARE(log_of("m_enumerate_devices"),
                 (QStringList{"info USB dev: SanDisk Cruzer Blade", "fatal 30", "fatal 123", "info USB dev: Portable SSD"}));
    }

    void listener_signals_twice_per_change()
    {
        device_manager manager(m_system->options());
        QSignalSpy changes(&manager, &device_manager::devices_changed);
        m_system->add_disk(fake_system::disk("sda", "8:0", fake_system::bus::sata)); // not a USB disk: no change
        QTest::qWait(200);
        QCOMPARE(changes.size(), 0);

        add_stick();
        QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 2, 60000);
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
        QTest::addColumn<bool>("refused");
        QTest::newRow("root") << "/" << false << "8:17" << "/dev/x" << "vfat" << true;
        QTest::newRow("boot") << "/boot" << false << "8:17" << "/dev/x" << "vfat" << true;
        QTest::newRow("swap in use") << "/media/x" << true << "8:17" << "/dev/x" << "vfat" << true;
        // File systems with an anonymous device number: only the source tells.
        QTest::newRow("root by its source") << "/" << false << "0:31" << "/dev/sdb1" << "ext4" << true;
        QTest::newRow("usr on device-mapper") << "/usr" << false << "0:32" << "/dev/mapper/usr" << "ext4" << true;
        QTest::newRow("btrfs on two disks") << "/" << false << "0:33" << "/dev/sdc1" << "btrfs" << true;
        QTest::newRow("btrfs beside the stick") << "/" << false << "0:40" << "/dev/sdd1" << "btrfs" << false;
    }
    void system_disk_is_refused()
    {
        QFETCH(QString, mount_point);
        QFETCH(bool, swap);
        QFETCH(QString, number);
        QFETCH(QString, source);
        QFETCH(QString, fstype);
        QFETCH(bool, refused);
        add_stick({"sdb1=8:17", "sdb2=8:18"});
        const QString sys = m_root->path() + "/sys";
        // /dev/mapper/usr -> ../dm-0, made of sdb1; a btrfs of sdc1 and sdb2, another of sdd1 alone.
        QDir().mkpath(m_root->path() + "/dev/mapper");
        image_builder::write_file(m_root->path() + "/dev/dm-0", "");
        QFile::link("../dm-0", m_root->path() + "/dev/mapper/usr");
        QDir().mkpath(sys + "/class/block/dm-0/slaves/sdb1");
        QDir().mkpath(sys + "/fs/btrfs/5f1c/devices/sdc1");
        QDir().mkpath(sys + "/fs/btrfs/5f1c/devices/sdb2");
        QDir().mkpath(sys + "/fs/btrfs/77aa/devices/sdd1");
        m_system->mount(number, mount_point, source, fstype);
        if (refused)
            m_system->mount("8:18", m_root->path() + "/data"); // a mount of its own: not to be touched either
        if (swap)
            m_system->set_swaps({"/dev/sdb2"});
        const QByteArray before = image_builder::read_file(m_system->node("sdb"));

        listed run(m_system->options());
        QFile(m_logs.path() + "/KELVRA Flash Tool.log").resize(0);
        run.manager.unmount_device(run.disk(), false);
        QTRY_COMPARE_WITH_TIMEOUT(run.finished.size(), 1, 60000); // the run ends, with or without a disk to write
        if (!refused) {
            QCOMPARE(run.handles().size(), size_t(1));
            QVERIFY(run.disk().refusal.empty());
            return;
        }
        QCOMPARE(log_of("unmount_device").size(), 1); // nothing but its name: no unmount, no open
        QVERIFY(run.handles().empty());
        QCOMPARE(QString::fromStdString(run.disk().refusal), QString("the disk of the running system"));
        QVERIFY(image_builder::read_file(m_system->node("sdb")) == before);
    }

    void preparation_wipes_the_partition_tables()
    {
        fake_system::disk_spec stick;
        stick.sectors = 5 * 2048 + 7; // 5 MiB and a few sectors
        m_system->add_disk(stick);
        listed run(m_system->options());

        run.manager.unmount_device(run.disk(), true); // log_only: nothing happens
        QTest::qWait(100);
        QCOMPARE(run.finished.size(), 0);
        QVERIFY(run.handles().empty());

        run.manager.unmount_device(run.disk(), false);
        QCOMPARE(run.handles().size(), size_t(1));
        const QByteArray disk = image_builder::read_file(m_system->node("sdb"));
        const int mib = 1 << 20;
        QCOMPARE(disk.size(), (5 * 2048 + 7) * 512);
        QVERIFY(disk.left(mib) == QByteArray(mib, '\0'));
        QVERIFY(disk.right(mib) == QByteArray(mib, '\0'));
        QVERIFY(disk.mid(mib, disk.size() - 2 * mib) == QByteArray(disk.size() - 2 * mib, '\xab'));

        QCOMPARE(log_of("unmount_device").mid(2, 3), // after the two "Name: " lines
                 (QStringList{"fatal Format:", "fatal " + m_system->node("sdb"), "debug Locking drive: "}));
        QVERIFY(log_of("unmount_device").contains("fatal Could not reenumerate disk: 25")); // a file has no partitions
        QTRY_COMPARE_WITH_TIMEOUT(run.finished.size(), 1, 60000);
        QCOMPARE(log_of("find_volumes"), QStringList{"fatal Checking for drives after formating"});
    }

    void a_wiped_disk_is_ready_once_it_is_quiet_and_a_late_automount_is_undone()
    {
        add_stick({"sdb1=8:17"});
        device_options options = m_system->options(20, 80, 15000, 2000);
        options.quiet_ms = 500;

        // Nothing comes back: ready after the quiet time, not at the 15 s limit nor after a pause.
        {
            listed run(options);
            QSignalSpy prepared(&run.manager, &device_manager::device_prepared);
            QElapsedTimer clock;
            clock.start();
            run.manager.unmount_device(run.disk(), false);
            QTRY_COMPARE_WITH_TIMEOUT(run.finished.size(), 1, 60000);
            QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
            QTRY_COMPARE_WITH_TIMEOUT(prepared.size(), 1, 60000);
            QCOMPARE(prepared[0][0].toString(), m_system->node("sdb"));
            QVERIFY(run.disk().volumes.empty());
        }
        // An automounter 300 ms late is still caught: the partition is unmounted and held.
        listed run(options);
        const QString point = m_root->path() + "/late";
        QTimer::singleShot(300, this, [&] { m_system->mount("8:17", point); });
        run.manager.unmount_device(run.disk(), false);
        QTRY_COMPARE_WITH_TIMEOUT(run.finished.size(), 1, 60000);
        QCOMPARE(log_of("find_volumes").mid(1), // after the first run's check
                 (QStringList{"fatal Checking for drives after formating", "debug Dismounting volumes: " + point,
                              "fatal " + QString::number(ENOENT), "fatal FOUND"}));
        QCOMPARE(qstrings(run.disk().volumes), QStringList{point});
    }

    void vanished_disk_ends_the_run()
    {
        add_stick();
        listed run(m_system->options());
        m_system->remove_disk("sdb");
        run.manager.unmount_device(run.disk(), false);
        QVERIFY(log_of("unmount_device").contains("fatal HANDLE not valid"));
        QVERIFY(run.handles().empty());
        QCOMPARE(run.finished.size(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(run.finished.size(), 1, 60000);
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
        const QString number = QString("%1:%2").arg(major(info.st_dev)).arg(minor(info.st_dev));
        add_stick({"sdb1=" + number});
        m_system->mount(number, mount_point);
        const QByteArray before = image_builder::read_file(m_system->node("sdb"));

        listed run(m_system->options());
        run.manager.unmount_device(run.disk(), false);
        ::close(busy);
        QVERIFY(log_of("unmount_device").contains(QString("fatal Cannot unmount %1: %2").arg(mount_point).arg(EBUSY)));
        QVERIFY(run.handles().empty());
        QVERIFY(image_builder::read_file(m_system->node("sdb")) == before);
        QTRY_COMPARE_WITH_TIMEOUT(run.finished.size(), 1, 60000);

        // Once nothing holds it, the partition is unmounted and the disk wiped.
        run.manager.unmount_device(run.disk(), false);
        QTRY_COMPARE_WITH_TIMEOUT(run.finished.size(), 2, 60000);
        QVERIFY(!QString::fromUtf8(image_builder::read_file("/proc/self/mountinfo")).contains(mount_point));
        QCOMPARE(run.handles().size(), size_t(1));
    }
};

QTEST_GUILESS_MAIN(test_devices_linux)
#include "test_devices_linux.moc"
