#include "log_reader.h"
#include "win32_machine.h"

#include "src/core/logger.h"
#include "src/device/device_manager.h"
#include "src/device/device_windows.h"
#include "src/device/listener_windows.h"

#include <QtTest>

#include <algorithm>
#include <numeric>

#include <memory>

using namespace win32sim;

namespace {

const device_options fast = {20, 80, 400, 50};

sim_disk usb_stick(DWORD number, const std::string& friendly_name = "SanDisk Cruzer USB Device")
{
    sim_disk disk;
    disk.interface_path = "\\\\?\\usbstor#disk&ven_x&prod_y#" + std::to_string(number) + "#{53f56307}";
    disk.device_number = number;
    disk.friendly_name = friendly_name;
    return disk;
}

sim_disk internal_disk(DWORD number, STORAGE_BUS_TYPE bus)
{
    sim_disk disk = usb_stick(number, "Internal disk");
    disk.interface_path = "\\\\?\\scsi#disk#" + std::to_string(number);
    disk.bus_type = bus;
    return disk;
}

sim_volume volume(char letter, DWORD number, UINT type = DRIVE_REMOVABLE)
{
    sim_volume v;
    v.letter = letter;
    v.device_number = number;
    v.drive_type = type;
    return v;
}

// A machine with Windows on disk 0 (C:) and whatever the test adds.
void windows_machine()
{
    reset();
    auto guard = lock();
    state().disks.push_back(internal_disk(0, BusTypeSata));
    state().volumes.push_back(volume('C', 0, DRIVE_FIXED));
}

std::vector<std::string> strings(const QStringList& list)
{
    std::vector<std::string> out;
    for (const QString& s : list)
        out.push_back(s.toStdString());
    return out;
}

} // namespace

class test_devices_windows : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    // Log lines since the last init(), without their time stamps.
    QStringList log_lines() const
    {
        QFile file(m_dir.path() + "/KELVRA Flash Tool.log");
        file.open(QIODevice::ReadOnly);
        QStringList lines;
        for (const QByteArray& line : file.readAll().split('\n'))
            if (!line.isEmpty())
                lines << QString::fromUtf8(line.mid(26));
        return lines;
    }
    QStringList log_of(const QString& function) const
    {
        return ::log_of(m_dir.path() + "/KELVRA Flash Tool.log", function);
    }

    static void close_record_handles(device& dev)
    {
        for (HANDLE handle : windows_record(dev).handles)
            CloseHandle(handle);
        windows_record(dev).handles.clear();
    }

private slots:
    void initTestCase() { logger::init(m_dir.path().toStdString()); }

    void init()
    {
        QFile(m_dir.path() + "/KELVRA Flash Tool.log").resize(0);
        windows_machine();
    }

    void cleanup()
    {
        QCOMPARE(open_info_sets(), 0);
        QCOMPARE(strings(QStringList()), open_handle_paths());
    }

    void listing_closes_the_disk_first_and_walks_roots_one_by_one()
    {
        {
            auto guard = lock();
            sim_disk stick = usb_stick(12, std::string(1023, 'n')); // the longest name the buffer holds
            state().disks.push_back(stick);
            state().volumes.push_back(volume('E', 12));
            state().volumes.push_back(volume('F', 12));
            state().calls.clear();
        }
        device_manager manager(fast);
        const auto devices = manager.get_devices();
        QCOMPARE(devices.size(), size_t(1));
        QCOMPARE(devices[0]->name, std::string(1023, 'n'));
        std::vector<std::string> seen;
        for (const std::string& call : calls())
            if (call.rfind("CloseHandle", 0) == 0 || call.rfind("SetupDiGetDeviceRegistryPropertyA", 0) == 0
                || call.rfind("GetDriveTypeA", 0) == 0 || call.rfind("CreateFileA \\\\?\\", 0) == 0)
                seen.push_back(call.substr(0, call.find(' ', call.find(' ') + 1)));
        // The disk is closed before its name is read; each root is opened right after its type was asked.
        const std::string stick_path = usb_stick(12).interface_path;
        const std::vector<std::string> expected = {"CloseHandle " + stick_path,
                                                   "SetupDiGetDeviceRegistryPropertyA " + stick_path,
                                                   "GetDriveTypeA E:\\",
                                                   "CreateFileA \\\\?\\E:",
                                                   "CloseHandle \\\\?\\E:",
                                                   "GetDriveTypeA F:\\",
                                                   "CreateFileA \\\\?\\F:",
                                                   "CloseHandle \\\\?\\F:"};
        auto next = seen.begin();
        bool in_order = true;
        for (const std::string& call : expected) {
            next = std::find(next, seen.end(), call);
            in_order = in_order && next != seen.end();
            if (next != seen.end())
                ++next;
        }
        QVERIFY2(in_order,
                 qPrintable(QString::fromStdString(std::accumulate(seen.begin(), seen.end(), std::string(),
                                                                   [](std::string a, const std::string& b) { return a + b + "\n"; }))));
    }

    void lists_writable_usb_disks_only()
    {
        {
            auto guard = lock();
            machine& m = state();
            m.disks.push_back(internal_disk(1, BusTypeNvme));
            sim_disk locked = usb_stick(2);
            locked.write_protected = true;
            m.disks.push_back(locked);
            sim_disk card_reader = usb_stick(3);
            card_reader.failing_controls[IOCTL_DISK_IS_WRITABLE] = ERROR_NOT_READY;
            card_reader.failing_controls[IOCTL_DISK_GET_DRIVE_GEOMETRY] = ERROR_NOT_READY;
            m.disks.push_back(card_reader);
            sim_disk stick = usb_stick(12, "Kingston DataTraveler");
            stick.cylinders = 3824;
            m.disks.push_back(stick);
            sim_disk nameless = usb_stick(5);
            nameless.has_friendly_name = false;
            nameless.description = "USB Mass Storage";
            m.disks.push_back(nameless);
            m.volumes.push_back(volume('F', 12));
            m.volumes.push_back(volume('D', 0, DRIVE_CDROM));
            m.volumes.push_back(volume('E', 12));
            m.volumes.push_back(volume('G', 5));
            m.volumes.push_back(volume('H', 12, DRIVE_FIXED)); // a stick Windows mounts as fixed
        }
        device_manager manager(fast);
        const auto devices = manager.get_devices();
        QCOMPARE(devices.size(), size_t(2));

        const device& stick = *devices[0];
        QCOMPARE(QString::fromStdString(stick.path), QString("\\\\.\\PhysicalDrive12"));
        QCOMPARE(QString::fromStdString(stick.name), QString("Kingston DataTraveler"));
        QCOMPARE(stick.number, uint16_t(12));
        QCOMPARE(stick.sector_size, uint32_t(512));
        QCOMPARE(stick.size, uint64_t(3824) * 255 * 63 * 512);
        QVERIFY(stick.volumes == (std::vector<std::string>{"\\\\?\\E:", "\\\\?\\F:"}));
        QVERIFY(windows_record(*devices[0]).handles.empty());

        QCOMPARE(QString::fromStdString(devices[1]->name), QString("USB Mass Storage"));
        QVERIFY(devices[1]->volumes == std::vector<std::string>{"\\\\?\\G:"});

        QCOMPARE(log_of("m_enumerate_devices"),
                 (QStringList{"fatal 19", "fatal 21", "info USB dev: Kingston DataTraveler", "info USB dev: USB Mass Storage"}));
        const auto opens = calls("CreateFileA");
        QCOMPARE(QString::fromStdString(opens.front()),
                 QString::fromStdString("CreateFileA " + state().disks[0].interface_path + " 0x80000000 0x3 0x3 0x80"));
        QVERIFY(std::find(opens.begin(), opens.end(), "CreateFileA \\\\?\\E: 0xc0000000 0x3 0x3 0x80") != opens.end());
    }

    void failed_queries_skip_the_disk()
    {
        {
            auto guard = lock();
            sim_disk no_number = usb_stick(6);
            no_number.failing_controls[IOCTL_STORAGE_GET_DEVICE_NUMBER] = ERROR_GEN_FAILURE;
            sim_disk no_geometry = usb_stick(7);
            no_geometry.failing_controls[IOCTL_DISK_GET_DRIVE_GEOMETRY] = ERROR_CRC;
            sim_disk no_name = usb_stick(8);
            no_name.has_friendly_name = no_name.has_description = false;
            sim_disk no_property = usb_stick(9);
            no_property.failing_controls[IOCTL_STORAGE_QUERY_PROPERTY] = ERROR_GEN_FAILURE;
            sim_disk unopenable = usb_stick(10);
            unopenable.interface_opens = false;
            sim_disk no_info_element = usb_stick(11);
            no_info_element.has_info_element = false;
            state().disks.insert(state().disks.end(),
                                 {no_number, no_geometry, no_name, no_property, unopenable, no_info_element});
        }
        device_manager manager(fast);
        const auto devices = manager.get_devices();
        QCOMPARE(devices.size(), size_t(1)); // listed, but without a name to show
        QCOMPARE(QString::fromStdString(devices[0]->path), QString("\\\\.\\PhysicalDrive11"));
        QVERIFY(devices[0]->name.empty());
        QCOMPARE(log_of("m_enumerate_devices"), (QStringList{"fatal 31", "fatal 23", "info USB dev: "}));
    }

    void records_are_rebuilt_on_every_listing()
    {
        device_manager manager(fast);
        QVERIFY(manager.get_devices().empty());
        {
            auto guard = lock();
            state().disks.push_back(usb_stick(3));
        }
        const auto first = manager.get_devices();
        const auto second = manager.get_devices();
        QCOMPARE(first.size(), size_t(1));
        QVERIFY(first[0] != second[0]);
        QCOMPARE(first[0]->path, second[0]->path);
        QCOMPARE(first[0]->number, second[0]->number);
        QCOMPARE(first[0].use_count(), 1L);
    }

    void listener_signals_twice_per_count_change()
    {
        QThread thread;
        auto* listener = new listener_windows(fast);
        listener->moveToThread(&thread);
        connect(&thread, &QThread::started, listener, &listener_windows::start_listening);
        connect(&thread, &QThread::finished, listener, &QObject::deleteLater);
        QElapsedTimer clock;
        QList<qint64> times;
        connect(listener, &listener_windows::dev_changed, this, [&] { times << clock.elapsed(); });
        {
            auto guard = lock();
            state().usbstor_count = 2; // present at start: the first poll reports them
        }
        clock.start();
        thread.start();

        QTRY_COMPARE_WITH_TIMEOUT(times.size(), 2, 3000);
        QVERIFY2(times[1] - times[0] >= fast.settle_ms - 10, qPrintable(QString::number(times[1] - times[0])));
        QTest::qWait(10 * fast.poll_ms);
        QCOMPARE(times.size(), 2); // an unchanged count raises nothing

        {
            auto guard = lock();
            state().usbstor_query_fails = true;
        }
        QTest::qWait(5 * fast.poll_ms);
        QCOMPARE(times.size(), 2); // a failed count is not taken for zero devices
        {
            auto guard = lock();
            state().usbstor_query_fails = false;
            state().usbstor_count = 3;
        }
        QTRY_COMPARE_WITH_TIMEOUT(times.size(), 4, 3000);
        {
            auto guard = lock();
            state().usbstor_count = 2;
        }
        QTRY_COMPARE_WITH_TIMEOUT(times.size(), 6, 3000);

        thread.requestInterruption();
        thread.quit();
        QVERIFY(thread.wait(2000));
        QTest::qWait(50); // the deferred deletion of the listener
    }

    void manager_relays_device_changes()
    {
        device_manager manager(fast);
        QSignalSpy changes(&manager, &device_manager::devices_changed);
        {
            auto guard = lock();
            state().usbstor_count = 1;
        }
        QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 2, 3000);
    }

    void system_disk_and_log_only_are_left_alone_data()
    {
        QTest::addColumn<bool>("system_disk");
        QTest::addColumn<bool>("log_only");
        QTest::newRow("system disk") << true << false;
        QTest::newRow("log only") << false << true;
    }
    void system_disk_and_log_only_are_left_alone()
    {
        QFETCH(bool, system_disk);
        QFETCH(bool, log_only);
        {
            auto guard = lock();
            state().disks.push_back(usb_stick(4, "Stick"));
            state().volumes.push_back(volume('E', 4));
            if (system_disk)
                state().volumes[0].device_number = 4; // C: on the stick: Windows runs from it
        }
        device_manager manager(fast);
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        QCOMPARE(devices.size(), size_t(1));
        QFile(m_dir.path() + "/KELVRA Flash Tool.log").resize(0);

        manager.unmount_device(*devices[0], log_only);
        QCOMPARE(log_lines().size(), 1);
        QCOMPARE(log_of("unmount_device"),
                 QStringList{QString("info Name: Stick, Path: \\\\.\\PhysicalDrive4, Size: %1").arg(devices[0]->size)});
        QTest::qWait(fast.volume_check_ms + fast.prepare_wait_ms);
        // A refused system disk still ends the run (with no disk handle); log_only never does.
        QCOMPARE(finished.size(), system_disk ? 1 : 0);
        QVERIFY(windows_record(*devices[0]).handles.empty());
        auto guard = lock();
        QCOMPARE(volume_with_letter('E')->locks, 0);
        QCOMPARE(disk_with_number(4)->layout_deletions, 0);
    }

    void prepares_a_stick_with_one_drive_letter()
    {
        {
            auto guard = lock();
            state().disks.push_back(usb_stick(12, "Stick"));
            state().volumes.push_back(volume('E', 12));
            state().volumes.push_back(volume('G', 5)); // another stick's volume: looked at, never locked
        }
        device_manager manager(fast);
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        device& stick = *devices[0];
        {
            auto guard = lock();
            state().calls.clear();
        }
        QObject::connect(&manager, &device_manager::unmount_finished, this, [] {}); // queued arrival below

        manager.unmount_device(stick, false);
        // Prepared: the layout is gone and the record holds only the open disk.
        const auto prepare_calls = calls();
        const std::vector<std::string> expected_start = {
            "CreateFileA \\\\?\\C: 0xc0000000 0x3 0x3 0x80",
            "DeviceIoControl \\\\?\\C: 0x2d1080",
            "CloseHandle \\\\?\\C:",
            "CreateFileA \\\\?\\E: 0x10000000 0x3 0x3 0x0",
            "DeviceIoControl \\\\?\\E: 0x90018",
            "DeviceIoControl \\\\?\\E: 0x90020",
            "CreateFileA \\\\.\\PhysicalDrive12 0xc0000000 0x3 0x3 0x80",
            "DeviceIoControl \\\\.\\PhysicalDrive12 0x7c100",
            "DeviceIoControl \\\\.\\PhysicalDrive12 0x70140",
            "CloseHandle \\\\?\\E:"};
        QVERIFY(prepare_calls.size() >= expected_start.size());
        QVERIFY(std::equal(expected_start.begin(), expected_start.end(), prepare_calls.begin()));

        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 3000);
        // E: showed up again at once: locked, dismounted and kept behind the disk handle.
        QCOMPARE(windows_record(stick).handles.size(), size_t(2));
        QVERIFY(stick.volumes == std::vector<std::string>{"\\\\?\\E:"});
        QCOMPARE(open_handle_paths(), (std::vector<std::string>{"\\\\.\\PhysicalDrive12", "\\\\?\\E:"}));
        {
            auto guard = lock();
            QCOMPARE(disk_with_number(12)->layout_deletions, 1);
            QCOMPARE(disk_with_number(12)->property_updates, 1);
            QCOMPARE(volume_with_letter('E')->locks, 2);
            QCOMPARE(volume_with_letter('E')->dismounts, 2);
            QVERIFY(volume_with_letter('E')->locked_by != nullptr);
            QCOMPARE(volume_with_letter('G')->locks, 0);
        }
        QCOMPARE(log_of("unmount_device").mid(1),
                 (QStringList{"fatal Format:", "fatal \\\\.\\PhysicalDrive12", "debug Locking drive: ", "debug \\\\?\\E:"}));
        QCOMPARE(log_of("find_volumes"), (QStringList{"fatal Checking for drives after formating",
                                                      "debug Dismounting volumes: \\\\?\\E:", "fatal 0", "fatal FOUND"}));
        QTest::qWait(2 * fast.volume_check_ms);
        QCOMPARE(finished.size(), 1);
        close_record_handles(stick);
    }

    void volume_check_waits_for_a_returning_volume_or_gives_up()
    {
        {
            auto guard = lock();
            state().disks.push_back(usb_stick(12, "Stick"));
        }
        device_manager manager(fast);
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        QVERIFY(devices[0]->volumes.empty());

        // No volume comes back: the check gives up after its limit.
        QElapsedTimer clock;
        clock.start();
        manager.unmount_device(*devices[0], false);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 3000);
        QVERIFY(clock.elapsed() >= fast.prepare_wait_ms + fast.volume_check_ms - 20);
        QCOMPARE(log_of("find_volumes"), QStringList{"fatal Checking for drives after formating"});
        QCOMPARE(windows_record(*devices[0]).handles.size(), size_t(1));
        close_record_handles(*devices[0]);

        // A volume that shows up while the check runs is found on a later pass.
        devices = manager.get_devices();
        QTimer::singleShot(fast.prepare_wait_ms + 150, this, [] {
            auto guard = lock();
            state().volumes.push_back(volume('K', 12));
        });
        manager.unmount_device(*devices[0], false);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 3000);
        QVERIFY(devices[0]->volumes == std::vector<std::string>{"\\\\?\\K:"});
        QCOMPARE(windows_record(*devices[0]).handles.size(), size_t(2));
        close_record_handles(*devices[0]);
    }

    void vanished_disk_releases_its_volumes_and_ends_the_run()
    {
        {
            auto guard = lock();
            state().disks.push_back(usb_stick(12, "Stick"));
            state().volumes.push_back(volume('E', 12));
        }
        device_manager manager(fast);
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        {
            auto guard = lock();
            disk_with_number(12)->vanished = true;
        }
        manager.unmount_device(*devices[0], false);
        QVERIFY(log_of("unmount_device").contains("fatal HANDLE not valid"));
        QVERIFY(windows_record(*devices[0]).handles.empty());
        QCOMPARE(open_handles(), 0);
        QCOMPARE(finished.size(), 0); // reported from the event loop, not from inside the call
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 1000);
    }

    void wipe_failures_are_logged_and_the_run_goes_on()
    {
        {
            auto guard = lock();
            sim_disk stick = usb_stick(12, "Stick");
            stick.failing_controls[IOCTL_DISK_DELETE_DRIVE_LAYOUT] = ERROR_ACCESS_DENIED;
            stick.failing_controls[IOCTL_DISK_UPDATE_PROPERTIES] = ERROR_GEN_FAILURE;
            state().disks.push_back(stick);
        }
        device_manager manager(fast);
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        manager.unmount_device(*devices[0], false);
        const QStringList lines = log_of("unmount_device");
        QVERIFY(lines.contains("fatal Formating failed: 5"));
        QVERIFY(lines.contains("fatal Could not reenumerate disk: 31"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 3000);
        close_record_handles(*devices[0]);
    }
};

QTEST_GUILESS_MAIN(test_devices_windows)
#include "test_devices_windows.moc"
