#include "log_reader.h"
#include "win32_fixtures.h"

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

int usbstor_polls()
{
    auto guard = lock();
    return state().usbstor_polls;
}

} // namespace

class test_devices_windows : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

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
            stick.location = "Port_#0003.Hub_#0001";
            m.disks.push_back(stick);
            sim_disk nameless = usb_stick(5);
            nameless.has_friendly_name = false;
            nameless.description = "Pami\xea\xe6 USB"; // "Pamięć USB" in the ANSI code page of a Polish Windows
            nameless.instance_id = "USBSTOR\\DISK&VEN_GENERIC&PROD_FLASH&REV_1.00\\7&2A8B7C0&0&000000&0"; // no serial
            m.disks.push_back(nameless);
            m.volumes.push_back(volume('F', 12));
            m.volumes.push_back(volume('D', 0, DRIVE_CDROM));
            m.volumes.push_back(volume('E', 12));
            m.volumes.push_back(volume('G', 5));
            m.volumes.push_back(volume('H', 12, DRIVE_FIXED)); // a stick Windows mounts as fixed
        }
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("windows-1250"));
        const auto restore = qScopeGuard([] { QTextCodec::setCodecForLocale(nullptr); });
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
        // Which stick, physically: where Windows tells it, and nothing made up where it does not.
        QCOMPARE(QString::fromStdString(stick.port), QString("Port_#0003.Hub_#0001"));
        QCOMPARE(QString::fromStdString(stick.serial), QString("4C530001231221116432"));
        QVERIFY(devices[1]->port.empty() && devices[1]->serial.empty());

        QCOMPARE(QString::fromStdString(devices[1]->name), QString("Pamięć USB"));
        QVERIFY(devices[1]->volumes == std::vector<std::string>{"\\\\?\\G:"});

        QCOMPARE(log_of("m_enumerate_devices"),
                 (QStringList{"fatal 19", "fatal 21", "info USB dev: Kingston DataTraveler", "info USB dev: Pamięć USB"}));
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
        // A long first period, so that a count taken before it would show.
        device_options options = fast;
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
        {
            auto guard = lock();
            state().usbstor_count = 2; // present at start: the first poll reports them
        }
        clock.start();
        thread.start();

        QTRY_COMPARE_WITH_TIMEOUT(times.size(), 2, 5000);
        {
            // Only after the first period, from its first count; the second a settle pause later.
            QMutexLocker locker(&emitted_mutex);
            QVERIFY2(emitted[0] >= options.poll_ms - 5, qPrintable(QString::number(emitted[0])));
            QCOMPARE(polls_at_first, 1);
            QVERIFY2(emitted[1] - emitted[0] >= options.settle_ms - 10,
                     qPrintable(QString::number(emitted[1] - emitted[0])));
        }
        QTest::qWait(4 * options.poll_ms);
        QCOMPARE(times.size(), 2); // an unchanged count raises nothing

        // In and out again between two counts: the count is the same, nothing is raised.
        for (const bool fails : {false, true}) {
            const int before = usbstor_polls();
            {
                auto guard = lock();
                state().usbstor_count = 3;
                state().usbstor_count = 2;
                state().usbstor_query_fails = fails;
            }
            QTRY_VERIFY_WITH_TIMEOUT(usbstor_polls() >= before + 3, 5000);
            QCOMPARE(times.size(), 2); // nor is a failed count taken for zero devices
        }
        {
            auto guard = lock();
            state().usbstor_query_fails = false;
            state().usbstor_count = 3;
        }
        QTRY_COMPARE_WITH_TIMEOUT(times.size(), 4, 5000);
        {
            auto guard = lock();
            state().usbstor_count = 2;
        }
        QTRY_COMPARE_WITH_TIMEOUT(times.size(), 6, 5000);

        thread.requestInterruption();
        thread.quit();
        QVERIFY(thread.wait(2000));
        QTest::qWait(50); // the deferred deletion of the listener
    }

    void manager_listens_with_no_disks_and_relays_changes()
    {
        device_manager manager(fast);
        QSignalSpy changes(&manager, &device_manager::devices_changed);
        QVERIFY(manager.get_devices().empty());
        const int before = usbstor_polls();
        QTRY_VERIFY_WITH_TIMEOUT(usbstor_polls() >= before + 3, 3000); // still counting
        QCOMPARE(changes.size(), 0);
        {
            auto guard = lock();
            state().usbstor_count = 1;
            state().disks.push_back(usb_stick(3));
        }
        QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 2, 3000);
        QCOMPARE(manager.get_devices().size(), size_t(1));
    }
};

QTEST_GUILESS_MAIN(test_devices_windows)
#include "test_devices_windows.moc"
