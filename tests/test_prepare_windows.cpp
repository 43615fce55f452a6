#include "burn_run.h"
#include "image_builder.h"
#include "win32_fixtures.h"

using namespace win32sim;

namespace {

// The name every run takes before it touches disk 12.
const QString run_lock = "Global\\kelvra-flash-tool-PhysicalDrive12";

// A manager on the machine as it is, and the disk it lists first.
struct preparation {
    explicit preparation(const device_options& options = quiet) : manager(options) {}
    device_manager manager;
    QSignalSpy finished{&manager, &device_manager::unmount_finished};
    std::vector<std::shared_ptr<device>> devices = manager.get_devices();
    device& stick() { return *devices.at(0); }
    void prepare() { manager.unmount_device(stick(), false); }
    bool ended() { return QTest::qWaitFor([this] { return finished.size() > 0; }, 60000); }
};

} // namespace

// Preparing a stick for writing: the system disk refused, volumes locked and dismounted, the
// layout wiped, the disk held open, and the volumes that come back locked before the burner writes.
class test_prepare_windows : public win32_test {
    Q_OBJECT

private slots:
    void system_disk_and_log_only_are_left_alone_data()
    {
        QTest::addColumn<bool>("system_disk");
        QTest::newRow("system disk") << true;
        QTest::newRow("log only") << false;
    }
    void system_disk_and_log_only_are_left_alone()
    {
        QFETCH(bool, system_disk);
        plug({usb_stick(4, "Stick")}, {volume('E', 4)});
        if (system_disk) {
            auto guard = lock();
            volume_with_letter('C')->device_number = 4; // Windows runs from the stick
        }
        preparation run;
        QCOMPARE(run.devices.size(), size_t(1));
        QFile(log_path()).resize(0);
        run.manager.unmount_device(run.stick(), !system_disk);
        QCOMPARE(log().count('\n'), 1);
        QCOMPARE(log_of("unmount_device"),
                 QStringList{QString("info Name: Stick, Path: \\\\.\\PhysicalDrive4, Size: %1").arg(run.stick().size)});
        // A refused system disk still ends the run (with no disk handle); log_only never does.
        QTRY_COMPARE_WITH_TIMEOUT(run.finished.size(), system_disk ? 1 : 0, 60000);
        QVERIFY(windows_record(run.stick()).handles.empty());
        auto guard = lock();
        QCOMPARE(volume_with_letter('E')->locks, 0);
        QCOMPARE(disk_with_number(4)->layout_deletions, 0);
    }

    void prepares_a_stick_with_one_drive_letter_data()
    {
        QTest::addColumn<bool>("held");
        QTest::newRow("volume left alone") << false;
        // Explorer and virus scanners open a volume the moment it appears. While such a handle is
        // open Windows refuses the lock; the volume check must get the lock once it is let go, or
        // the volume stays mounted for anyone who looks and Windows refuses the burner's writes.
        QTest::newRow("volume held by another program for a while") << true;
    }
    void prepares_a_stick_with_one_drive_letter()
    {
        QFETCH(bool, held);
        const quint64 config_offset = 4096;
        const QByteArray image = image_builder::disk_image(3000320, config_offset);
        const std::string archive = (m_dir.path() + "/2.3.1.gz").toStdString();
        image_builder::write_file(QString::fromStdString(archive), image_builder::gzip(image, 1));
        // G: is another stick's volume: looked at, never locked. D: is a card reader's empty slot:
        // its failed open is the last error when E: is dealt with.
        sim_volume empty_slot = volume('D', 6), superfloppy = volume('E', 12);
        empty_slot.opens = false;
        superfloppy.returns_after_wipe = true;
        plug({usb_stick(12, "Stick")}, {superfloppy, volume('G', 5), empty_slot});
        device_options options = quiet;
        options.volume_check_ms = 60000; // ends as soon as the volume is dealt with
        preparation run(options);
        device& stick = run.stick();
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
        const auto explorer_looks = [] {
            return CreateFileA("\\\\?\\E:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        };
        HANDLE explorer = INVALID_HANDLE_VALUE;
        if (held)
            QTimer::singleShot(0, this, [&] { explorer = explorer_looks(); });
        run.prepare();
        QCOMPARE(handles_while_waiting, size_t(1));
        QCOMPARE(volumes_while_waiting, size_t(0));
        QCOMPARE(open_while_waiting, (std::vector<std::string>{run_lock.toStdString(), "\\\\.\\PhysicalDrive12"}));
        // E: is locked and dismounted before the layout goes, and let go only after the re-read.
        const QStringList calls = qt_calls();
        const int wipe = calls.indexOf("DeviceIoControl \\\\.\\PhysicalDrive12 0x7c100");
        const int locked = calls.indexOf("DeviceIoControl \\\\?\\E: 0x90018");
        const int dismount = calls.indexOf("DeviceIoControl \\\\?\\E: 0x90020");
        QVERIFY2(0 <= locked && locked < dismount && dismount < wipe, qPrintable(calls.join('\n')));
        QVERIFY(calls.indexOf("DeviceIoControl \\\\.\\PhysicalDrive12 0x70140") < calls.indexOf("CloseHandle \\\\?\\E:"));
        if (held) {
            QVERIFY(explorer != INVALID_HANDLE_VALUE);
            // Let go once the check has tried its first lock (the second on E:, after the one before
            // the wipe).
            QTRY_VERIFY_WITH_TIMEOUT(qt_calls("DeviceIoControl").filter("\\\\?\\E: 0x90018").size() >= 2, 60000);
            CloseHandle(explorer);
        }

        QVERIFY2(run.ended(), "the end of the volume check");
        // E: showed up again once the wiped disk was re-read: locked, dismounted and kept behind the
        // disk handle.
        QCOMPARE(windows_record(stick).handles.size(), size_t(2));
        QVERIFY(stick.volumes == std::vector<std::string>{"\\\\?\\E:"});
        QStringList open = leftovers();
        open.sort();
        QCOMPARE(open, (QStringList{run_lock, "\\\\.\\PhysicalDrive12", "\\\\?\\E:"}));
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
        // A listing meanwhile (a device change) still finds the held disk; its locked volume refuses
        // the look, as it refuses Explorer's. Had the lock failed, the dismount would end at a look.
        const auto relisted = run.manager.get_devices();
        QCOMPARE(relisted.size(), size_t(1));
        QVERIFY(relisted[0]->volumes.empty());
        QCOMPARE(explorer_looks(), INVALID_HANDLE_VALUE);
        QCOMPARE(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

        // Nor may another run (of this process or another: the lock goes by name) wipe the stick this
        // one writes; that run ends.
        run.manager.unmount_device(*relisted[0], false);
        QVERIFY2(QTest::qWaitFor([&] { return run.finished.size() >= 2; }, 60000), "the end of the second preparation");
        QCOMPARE(run.finished.size(), 2); // one end each: the first check reported once
        QCOMPARE(relisted[0]->refusal, std::string("in use by another run of this program"));
        QCOMPARE(qt_calls("DeviceIoControl").filter("PhysicalDrive12 0x7c100").size(), 1); // not wiped again

        QCOMPARE(burn(archive, &stick, QByteArray(2048, 'c')).finished, 1);
        QVERIFY(disk_content(12).left(3000320) == image_builder::configured(image, config_offset, QByteArray(2048, 'c')));
        auto guard = lock();
        QVERIFY(volume_with_letter('E')->locked_by == nullptr); // the burner let go of it
    }

    void a_stick_without_drive_letters_is_wiped_and_waited_for()
    {
        plug({usb_stick(12, "Stick")});
        device_options options = quiet;
        options.prepare_wait_ms = 600;
        preparation run(options);
        QVERIFY(run.stick().volumes.empty());

        // Something posts work all the time (a busy window, a flood of device notices): the wait
        // still ends on time, and the events are handled meanwhile, not held back.
        QTimer busy;
        int ticks = 0;
        connect(&busy, &QTimer::timeout, this, [&] { ++ticks; });
        busy.start(0);
        QElapsedTimer clock;
        clock.start();
        run.prepare();
        const qint64 waited = clock.elapsed();
        busy.stop();
        QVERIFY2(waited >= options.prepare_wait_ms * 9 / 10, qPrintable(QString::number(waited)));
        QVERIFY(ticks > 10);
        // No volume comes back: the check gives up after its limit.
        QVERIFY2(run.ended(), "the end of the volume check");
        QVERIFY(clock.elapsed() >= options.prepare_wait_ms + options.volume_check_ms - 20);
        QCOMPARE(log_of("find_volumes"), QStringList{"fatal Checking for drives after formating"});
        // Nothing to lock, but the disk is still wiped and held open for writing.
        QVERIFY(qt_calls("DeviceIoControl").filter("0x90018").isEmpty());
        QCOMPARE(qt_calls("DeviceIoControl").filter("PhysicalDrive12 0x7c100").size(), 1);
        QCOMPARE(leftovers(), (QStringList{run_lock, "\\\\.\\PhysicalDrive12"}));
        close_handles(run.stick());

        // A volume that shows up while the check runs, after its first look, is found on a later pass.
        device_options patient = quiet;
        patient.volume_check_ms = 60000;
        preparation later(patient);
        const int looks = qt_calls("GetDriveTypeA").size();
        later.prepare();
        QTRY_VERIFY2_WITH_TIMEOUT(qt_calls("GetDriveTypeA").size() > looks, "the check's first look", 60000);
        plug({}, {volume('K', 12)});
        QVERIFY2(later.ended(), "the end of the volume check");
        QVERIFY(later.stick().volumes == std::vector<std::string>{"\\\\?\\K:"});
        QCOMPARE(windows_record(later.stick()).handles.size(), size_t(2));
        close_handles(later.stick());
    }

    void failures_are_logged_data()
    {
        QTest::addColumn<bool>("vanished");
        QTest::addColumn<QStringList>("logged");
        QTest::newRow("vanished disk") << true << QStringList{"fatal HANDLE not valid"};
        QTest::newRow("failed wipe") << false
                                     << QStringList{"fatal Formating failed: 5", "fatal Could not reenumerate disk: 31"};
    }
    // A vanished disk releases its volumes and ends the run; after a failed wipe the run goes on.
    void failures_are_logged()
    {
        QFETCH(bool, vanished);
        QFETCH(QStringList, logged);
        sim_disk disk = usb_stick(12, "Stick");
        disk.failing_controls[IOCTL_DISK_DELETE_DRIVE_LAYOUT] = ERROR_ACCESS_DENIED;
        disk.failing_controls[IOCTL_DISK_UPDATE_PROPERTIES] = ERROR_GEN_FAILURE;
        plug({disk});
        if (vanished)
            plug({}, {volume('E', 12)}); // released again
        preparation run;
        {
            auto guard = lock();
            disk_with_number(12)->vanished = vanished;
        }
        run.prepare();
        for (const QString& line : logged)
            QVERIFY2(log_of("unmount_device").contains(line), qPrintable(line));
        QCOMPARE(windows_record(run.stick()).handles.size(), size_t(vanished ? 0 : 1));
        QCOMPARE(run.finished.size(), 0); // reported from the event loop, not from inside the call
        QVERIFY2(run.ended(), "the end of the preparation");
        close_handles(run.stick());
    }
};

QTEST_GUILESS_MAIN(test_prepare_windows)
#include "test_prepare_windows.moc"
