#include "win32_fixtures.h"

#include "src/device/listener_windows.h"

#include <QScopeGuard>
#include <QTextCodec>

using namespace win32sim;

namespace {

int usbstor_polls()
{
    auto guard = lock();
    return state().usbstor_polls;
}

void set_usbstor(int count, bool query_fails = false)
{
    auto guard = lock();
    state().usbstor_count = count;
    state().usbstor_query_fails = query_fails;
}

// Until the listener has counted a few more times.
void wait_for_polls(int more)
{
    const int before = usbstor_polls();
    QTRY_VERIFY2_WITH_TIMEOUT(usbstor_polls() >= before + more, "more counts of USB storage devices", 60000);
}

} // namespace

class test_devices_windows : public win32_test {
    Q_OBJECT

private slots:
    // Listed: writable disks on the USB bus whose queries all answer, and one without a name to show.
    void lists_writable_usb_disks_only()
    {
        const auto failing = [](DWORD number, DWORD control, DWORD error) {
            sim_disk disk = usb_stick(number);
            disk.failing_controls[control] = error;
            return disk;
        };
        sim_disk locked = usb_stick(2);
        locked.write_protected = true;
        sim_disk card_reader = failing(3, IOCTL_DISK_IS_WRITABLE, ERROR_NOT_READY);
        card_reader.failing_controls[IOCTL_DISK_GET_DRIVE_GEOMETRY] = ERROR_NOT_READY;
        // The longest name the buffer holds.
        const std::string long_name = "Kingston DataTraveler" + std::string(1002, 'n');
        sim_disk stick = usb_stick(12, long_name);
        stick.cylinders = 3824;
        stick.location = "Port_#0003.Hub_#0001";
        sim_disk nameless = usb_stick(5);
        nameless.has_friendly_name = false;
        nameless.description = "Pami\xea\xe6 USB"; // "Pamięć USB" in the ANSI code page of a Polish Windows
        nameless.instance_id = "USBSTOR\\DISK&VEN_GENERIC&PROD_FLASH&REV_1.00\\7&2A8B7C0&0&000000&0"; // no serial
        sim_disk no_name = usb_stick(8);
        no_name.has_friendly_name = no_name.has_description = false;
        sim_disk unopenable = usb_stick(10);
        unopenable.interface_opens = false;
        sim_disk no_info_element = usb_stick(11);
        no_info_element.has_info_element = false;
        // H: is a stick Windows mounts as fixed.
        plug({internal_disk(1, BusTypeNvme), locked, card_reader, stick, nameless,
              failing(6, IOCTL_STORAGE_GET_DEVICE_NUMBER, ERROR_GEN_FAILURE),
              failing(7, IOCTL_DISK_GET_DRIVE_GEOMETRY, ERROR_CRC), no_name,
              failing(9, IOCTL_STORAGE_QUERY_PROPERTY, ERROR_GEN_FAILURE), unopenable, no_info_element},
             {volume('F', 12), volume('D', 0, DRIVE_CDROM), volume('E', 12), volume('G', 5), volume('H', 12, DRIVE_FIXED)});
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("windows-1250"));
        const auto restore = qScopeGuard([] { QTextCodec::setCodecForLocale(nullptr); });
        device_manager manager(quiet);
        const auto devices = manager.get_devices();
        QCOMPARE(devices.size(), size_t(3));

        const device& listed = *devices[0];
        QCOMPARE(QString::fromStdString(listed.path), QString("\\\\.\\PhysicalDrive12"));
        QCOMPARE(listed.name, long_name);
        QCOMPARE(listed.number, uint16_t(12));
        QCOMPARE(listed.sector_size, uint32_t(512));
        QCOMPARE(listed.size, uint64_t(3824) * 255 * 63 * 512);
        QVERIFY(listed.volumes == (std::vector<std::string>{"\\\\?\\E:", "\\\\?\\F:"}));
        QVERIFY(windows_record(*devices[0]).handles.empty());
        // Which stick, physically: where Windows tells it, and nothing made up where it does not.
        QCOMPARE(QString::fromStdString(listed.port), QString("Port_#0003.Hub_#0001"));
        QCOMPARE(QString::fromStdString(listed.serial), QString("4C530001231221116432"));
        QVERIFY(devices[1]->port.empty() && devices[1]->serial.empty());

        QCOMPARE(QString::fromStdString(devices[1]->name), QString("Pamięć USB"));
        QVERIFY(devices[1]->volumes == std::vector<std::string>{"\\\\?\\G:"});
        QCOMPARE(QString::fromStdString(devices[2]->path), QString("\\\\.\\PhysicalDrive11"));
        QVERIFY(devices[2]->name.empty());

        QCOMPARE(log_of("m_enumerate_devices"),
                 (QStringList{"fatal 19", "fatal 21", QString::fromStdString("info USB dev: " + long_name), "info USB dev: Pamięć USB",
                              "fatal 31", "fatal 23", "info USB dev: "}));
        const QStringList opens = qt_calls("CreateFileA");
        QCOMPARE(opens.front(), "CreateFileA " + QString::fromStdString(internal_disk(0, BusTypeSata).interface_path)
                                    + " 0x80000000 0x3 0x3 0x80");
        QVERIFY(opens.contains("CreateFileA \\\\?\\E: 0xc0000000 0x3 0x3 0x80"));
        // The disk is closed before its name is read; each root is opened right after its type was asked.
        QStringList seen;
        for (const QString& call : qt_calls())
            seen << call.section(' ', 0, 1);
        int at = -1;
        for (const QString& call : {"CloseHandle " + QString::fromStdString(stick.interface_path),
                                    "SetupDiGetDeviceRegistryPropertyA " + QString::fromStdString(stick.interface_path),
                                    QString("GetDriveTypeA E:\\"), QString("CreateFileA \\\\?\\E:"),
                                    QString("CloseHandle \\\\?\\E:"), QString("GetDriveTypeA F:\\"),
                                    QString("CreateFileA \\\\?\\F:"), QString("CloseHandle \\\\?\\F:")})
            QVERIFY2((at = seen.indexOf(call, at + 1)) >= 0, qPrintable(call + " in order in\n" + seen.join('\n')));

        // Every listing makes records of its own: none is kept behind.
        const auto again = manager.get_devices();
        QVERIFY(again[0] != devices[0]);
        QCOMPARE(again[0]->path, devices[0]->path);
        QCOMPARE(devices[0].use_count(), 1L);
    }

    void listener_signals_twice_per_change()
    {
        // A long first period, so that a count taken before it would show.
        device_options options = quiet;
        options.poll_ms = 300;
        QThread thread;
        auto* listener = new listener_windows(options);
        listener->moveToThread(&thread);
        connect(&thread, &QThread::started, listener, &listener_windows::start_listening);
        connect(&thread, &QThread::finished, listener, &QObject::deleteLater);
        QElapsedTimer clock;
        QList<qint64> times;
        connect(listener, &listener_windows::dev_changed, this, [&] { times << clock.elapsed(); });
        // Timed and counted when emitted, on the listener's thread: a busy receiver does not skew them.
        QMutex emitted_mutex;
        QList<qint64> emitted;
        int polls_at_first = -1;
        connect(listener, &listener_windows::dev_changed, listener, [&] {
            QMutexLocker locker(&emitted_mutex);
            emitted << clock.elapsed();
            if (polls_at_first < 0)
                polls_at_first = usbstor_polls();
        }, Qt::DirectConnection);
        set_usbstor(2); // present at start: the first poll reports them
        clock.start();
        thread.start();

        QTRY_COMPARE_WITH_TIMEOUT(times.size(), 2, 60000);
        {
            // Only after the first period, from its first count; the second a settle pause later.
            QMutexLocker locker(&emitted_mutex);
            QVERIFY2(emitted[0] >= options.poll_ms - 5, qPrintable(QString::number(emitted[0])));
            QCOMPARE(polls_at_first, 1);
            QVERIFY2(emitted[1] - emitted[0] >= options.settle_ms - 10,
                     qPrintable(QString::number(emitted[1] - emitted[0])));
        }
        // An unchanged count raises nothing, a stick in and out again between two counts neither, nor is
        // a failed count taken for zero devices.
        for (const bool fails : {false, true}) {
            auto guard = lock();
            set_usbstor(3);
            set_usbstor(2, fails);
            guard.unlock();
            wait_for_polls(3);
            QCOMPARE(times.size(), 2);
        }
        set_usbstor(3);
        QTRY_COMPARE_WITH_TIMEOUT(times.size(), 4, 60000);
        set_usbstor(2);
        QTRY_COMPARE_WITH_TIMEOUT(times.size(), 6, 60000);

        thread.requestInterruption();
        thread.quit();
        QVERIFY2(thread.wait(60000), "the listener's thread to end");
    }

    void manager_listens_with_no_disks_and_relays_changes()
    {
        device_manager manager({20, 80, 400, 50});
        QSignalSpy changes(&manager, &device_manager::devices_changed);
        QVERIFY(manager.get_devices().empty());
        wait_for_polls(3); // still counting
        QCOMPARE(changes.size(), 0);
        plug({usb_stick(3)});
        set_usbstor(1);
        QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 2, 60000);
        QCOMPARE(manager.get_devices().size(), size_t(1));
        {
            // Swapped within one look for a stick of another size: as many devices, another disk.
            auto guard = lock();
            state().disks.back().cylinders = 979;
        }
        QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 4, 60000);
    }
};

QTEST_GUILESS_MAIN(test_devices_windows)
#include "test_devices_windows.moc"
