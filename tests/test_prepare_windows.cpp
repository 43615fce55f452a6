#include "image_builder.h"
#include "log_reader.h"
#include "win32_fixtures.h"

#include "src/core/logger.h"
#include "src/device/device_manager.h"
#include "src/device/device_windows.h"
#include "src/image/image_burner.h"

#include <QtTest>

#include <algorithm>
#include <memory>

using namespace win32sim;

namespace {

const device_options fast = {20, 80, 400, 50};
const std::string run_lock = "Global\\kelvra-flash-tool-PhysicalDrive12";

} // namespace

// Preparing a stick for writing: the system disk refused, volumes locked and dismounted, the
// layout wiped, the disk held open, and the volumes that come back locked before the burner writes.
class test_prepare_windows : public QObject {
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

private slots:
    void initTestCase() { logger::init(m_dir.path().toStdString()); }

    void init()
    {
        QFile(m_dir.path() + "/KELVRA Flash Tool.log").resize(0);
        windows_machine();
    }

    void cleanup()
    {
        QStringList left;
        QVERIFY2(machine_is_clean(left), qPrintable(left.join(", ")));
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
            state().volumes.back().returns_after_wipe = true;
            state().volumes.push_back(volume('G', 5)); // another stick's volume: looked at, never locked
            // A card reader's empty slot: its failed open is the last error when E: is dealt with.
            state().volumes.push_back(volume('D', 6));
            state().volumes.back().opens = false;
        }
        device_manager manager(fast);
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        device& stick = *devices[0];
        {
            auto guard = lock();
            state().calls.clear();
        }
        // While the wait runs, before the volume check starts: the record holds the disk alone.
        size_t handles_while_waiting = 0, volumes_while_waiting = 1;
        std::vector<std::string> open_while_waiting;
        QTimer::singleShot(0, this, [&] {
            handles_while_waiting = windows_record(stick).handles.size();
            volumes_while_waiting = stick.volumes.size();
            open_while_waiting = open_handle_paths();
        });
        manager.unmount_device(stick, false);
        QCOMPARE(handles_while_waiting, size_t(1));
        QCOMPARE(volumes_while_waiting, size_t(0));
        QCOMPARE(open_while_waiting, (std::vector<std::string>{run_lock, "\\\\.\\PhysicalDrive12"}));
        // Prepared: the layout is gone and the record holds only the open disk.
        const auto prepare_calls = calls();
        const std::vector<std::string> expected_start = {
            "CreateFileA \\\\?\\C: 0xc0000000 0x3 0x3 0x80",
            "DeviceIoControl \\\\?\\C: 0x2d1080",
            "CloseHandle \\\\?\\C:",
            "CreateMutexW " + run_lock,
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
        // E: showed up again once the wiped disk was re-read: locked, dismounted and kept behind the
        // disk handle.
        QCOMPARE(windows_record(stick).handles.size(), size_t(2));
        QVERIFY(stick.volumes == std::vector<std::string>{"\\\\?\\E:"});
        auto open = open_handle_paths();
        std::sort(open.begin(), open.end());
        QCOMPARE(open, (std::vector<std::string>{run_lock, "\\\\.\\PhysicalDrive12", "\\\\?\\E:"}));
        {
            auto guard = lock();
            QCOMPARE(disk_with_number(12)->layout_deletions, 1);
            QCOMPARE(disk_with_number(12)->property_updates, 1);
            const sim_volume& returned = *volume_with_letter('E');
            QCOMPARE(returned.locks, 1);
            QCOMPARE(returned.dismounts, 1);
            QVERIFY(returned.locked_by == windows_record(stick).handles[1]);
            QCOMPARE(volume_with_letter('G')->locks, 0);
        }
        QCOMPARE(log_of("unmount_device").mid(1),
                 (QStringList{"fatal Format:", "fatal \\\\.\\PhysicalDrive12", "debug Locking drive: ", "debug \\\\?\\E:"}));
        QCOMPARE(log_of("find_volumes"), (QStringList{"fatal Checking for drives after formating",
                                                      "debug Dismounting volumes: \\\\?\\E:", "fatal 0", "fatal FOUND"}));
        QTest::qWait(2 * fast.volume_check_ms);
        QCOMPARE(finished.size(), 1);
        // A listing meanwhile (a device change) still finds the held disk; its locked volume refuses
        // the look.
        const auto relisted = manager.get_devices();
        QCOMPARE(relisted.size(), size_t(1));
        QVERIFY(relisted[0]->volumes.empty());
        // Nor may another run (of this process or another: the lock goes by name) wipe the stick this
        // one writes; that run ends.
        manager.unmount_device(*relisted[0], false);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 60000);
        QCOMPARE(relisted[0]->refusal, std::string("in use by another run of this program"));
        QCOMPARE(qt_calls("DeviceIoControl").filter("PhysicalDrive12 0x7c100").size(), 1); // not wiped again
        manager.release_device(stick); // and lets the lock go: nothing is left open
    }

    void a_stick_without_drive_letters_is_wiped_and_waited_for()
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
        // Nothing to lock, but the disk is still wiped and held open for writing.
        QVERIFY(qt_calls("DeviceIoControl").filter("0x90018").isEmpty());
        QVERIFY(qt_calls("CreateFileA").contains("CreateFileA \\\\.\\PhysicalDrive12 0xc0000000 0x3 0x3 0x80"));
        {
            auto guard = lock();
            QCOMPARE(disk_with_number(12)->layout_deletions, 1);
        }
        QCOMPARE(windows_record(*devices[0]).handles.size(), size_t(1));
        manager.release_device(*devices[0]);

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
        manager.release_device(*devices[0]);
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
        manager.release_device(*devices[0]);
    }

    void the_wait_ends_on_time_while_events_keep_coming()
    {
        {
            auto guard = lock();
            state().disks.push_back(usb_stick(12, "Stick"));
        }
        device_options options = fast;
        options.prepare_wait_ms = 600;
        device_manager manager(options);
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        // Something posts work all the time (a busy window, a flood of device notices).
        QTimer busy;
        int ticks = 0;
        connect(&busy, &QTimer::timeout, this, [&] { ++ticks; });
        busy.start(0);
        QElapsedTimer clock;
        clock.start();
        manager.unmount_device(*devices[0], false);
        const qint64 waited = clock.elapsed();
        busy.stop();
        QVERIFY2(waited >= options.prepare_wait_ms * 9 / 10, qPrintable(QString::number(waited)));
        QVERIFY2(waited < options.prepare_wait_ms + 2000, qPrintable(QString::number(waited)));
        QVERIFY(ticks > 10); // the events were handled meanwhile, not held back
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
        manager.release_device(*devices[0]);
    }

    // Explorer and virus scanners open a volume the moment it appears. While such a handle is open
    // Windows refuses the lock; the volume check must get the lock once it is let go, or the volume
    // stays mounted for anyone who looks and Windows refuses the burner's writes into it.
    void a_returning_volume_held_by_another_program_is_locked_once_let_go()
    {
        const quint64 config_offset = 4096;
        const QByteArray image = image_builder::disk_image(3000320, config_offset);
        const QString archive = m_dir.path() + "/2.3.1.gz";
        image_builder::write_file(archive, image_builder::gzip(image, 1));
        {
            auto guard = lock();
            state().disks.push_back(usb_stick(12, "Stick"));
            state().volumes.push_back(volume('E', 12));
            state().volumes.back().returns_after_wipe = true;
        }
        device_options options = fast;
        options.volume_check_ms = 10000; // ends as soon as the volume is dealt with
        device_manager manager(options);
        QSignalSpy finished(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        device& stick = *devices[0];

        const auto explorer_looks = [] {
            return CreateFileA("\\\\?\\E:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        };
        HANDLE explorer = INVALID_HANDLE_VALUE;
        QTimer::singleShot(0, this, [&] { explorer = explorer_looks(); }); // while the wait runs
        manager.unmount_device(stick, false);
        QVERIFY(explorer != INVALID_HANDLE_VALUE);
        // Let go once the check has tried its first lock (the second on E:, after the one before
        // the wipe).
        QTRY_VERIFY_WITH_TIMEOUT(qt_calls("DeviceIoControl").filter("\\\\?\\E: 0x90018").size() >= 2, 5000);
        CloseHandle(explorer);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 15000);
        // Explorer looks again. Had the lock failed, the dismount would end at this look.
        explorer = explorer_looks();
        const DWORD refused_with = GetLastError();
        if (explorer != INVALID_HANDLE_VALUE)
            CloseHandle(explorer);

        const std::string archive_path = archive.toStdString();
        image_burner burner(archive_path, &stick, QByteArray(2048, 'c'));
        QSignalSpy written(&burner, &image_burner::finished);
        burner.burn_image();
        QCOMPARE(written.size(), 1);
        QCOMPARE(explorer, INVALID_HANDLE_VALUE);
        QCOMPARE(refused_with, DWORD(ERROR_ACCESS_DENIED));
        QCOMPARE(log_of("find_volumes").mid(1),
                 (QStringList{"debug Dismounting volumes: \\\\?\\E:", "fatal 0", "fatal FOUND"}));
        auto guard = lock();
        const auto& content = disk_with_number(12)->content;
        QVERIFY(QByteArray(reinterpret_cast<const char*>(content.data()), 3000320)
                == image_builder::configured(image, config_offset, QByteArray(2048, 'c')));
        QVERIFY(volume_with_letter('E')->locked_by == nullptr); // the burner let go of it
    }
};

QTEST_GUILESS_MAIN(test_prepare_windows)
#include "test_prepare_windows.moc"
