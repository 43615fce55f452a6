#include "burn_run.h"
#include "captured_streams.h"
#include "image_builder.h"
#include "win32_fixtures.h"

#include "src/device/disk_access.h"

using namespace win32sim;

namespace {

QByteArray read_back(disk_reader& reader, uint64_t offset, int length)
{
    QByteArray out(length, '\0');
    return reader.read(offset, reinterpret_cast<unsigned char*>(out.data()), length) ? out : QByteArray();
}

} // namespace

// Disk-image files as targets, the read-back of a written target, and the early check whether a
// disk may be written, on Windows.
class test_disk_access_windows : public win32_test {
    Q_OBJECT

private slots:
    // The rules the other Windows tests rely on to catch what only a real machine would refuse.
    void the_simulated_windows_refuses_what_windows_refuses()
    {
        plug({usb_stick(12)}, {volume('E', 12)});
        const auto open = [](const char* path, DWORD access, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
            return CreateFileA(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        };
        const auto control = [](HANDLE handle, DWORD code) {
            DWORD returned = 0;
            return DeviceIoControl(handle, code, nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
        };
        HANDLE disk = open("\\\\.\\PhysicalDrive12", GENERIC_READ | GENERIC_WRITE);
        const auto write_into_volume = [disk] {
            alignas(4096) static unsigned char sector[512] = {1, 2, 3};
            LARGE_INTEGER position;
            position.QuadPart = 1048576;
            DWORD written = 0;
            return SetFilePointerEx(disk, position, nullptr, FILE_BEGIN)
                && WriteFile(disk, sector, sizeof sector, &written, nullptr);
        };
        QVERIFY(!write_into_volume()); // mounted
        HANDLE volume = open("\\\\?\\E:", GENERIC_READ | GENERIC_WRITE);
        HANDLE explorer = open("\\\\?\\E:", GENERIC_READ);
        QVERIFY(!control(volume, FSCTL_LOCK_VOLUME)); // not while another handle is open
        CloseHandle(explorer);
        QVERIFY(control(volume, FSCTL_LOCK_VOLUME) && control(volume, FSCTL_DISMOUNT_VOLUME));
        QVERIFY(write_into_volume());
        QCOMPARE(open("\\\\?\\E:", GENERIC_READ), INVALID_HANDLE_VALUE); // locked: no look gets in
        QVERIFY(CloseHandle(volume));
        explorer = open("\\\\?\\E:", GENERIC_READ); // unlocked: a look mounts it again
        QCOMPARE(explorer, volume);                // and gets a value that was closed
        QVERIFY(!write_into_volume());
        QCOMPARE(open("\\\\.\\PhysicalDrive12", GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
        QCOMPARE(GetLastError(), DWORD(ERROR_SHARING_VIOLATION)); // the disk is open for writing
        QVERIFY(CloseHandle(disk) && CloseHandle(explorer) && !CloseHandle(explorer));
        QCOMPARE(leftovers(), QStringList{"1 closes of no handle"});
        auto guard = lock();
        state().invalid_closes = 0;
    }

    void a_file_target_is_created_grown_written_and_read_back()
    {
        // Not ASCII: the path reaches Windows whole, through the wide API.
        const std::string path = "C:\\Users\\J\xc3\xb6rg\\VMs\\\xc3\x9c" "ber-Stick \xe6\x97\xa5\xe6\x9c\xac.img";
        std::string error;
        auto target = open_file_target(path, 3000000, error);
        QVERIFY2(target, error.c_str());
        QCOMPARE(target->size, uint64_t(3000320)); // grown to whole sectors
        QCOMPARE(target->name, std::string("\xc3\x9c" "ber-Stick \xe6\x97\xa5\xe6\x9c\xac.img"));
        QVERIFY(qt_calls("CreateFileW").contains(QString::fromStdString("CreateFileW " + path)));

        const quint64 config_offset = 4096;
        const QByteArray image = image_builder::disk_image(3000000, config_offset);
        const QByteArray configuration(2048, 'c');
        const std::string archive = (m_dir.path() + "/2.3.1.gz").toStdString();
        image_builder::write_file(QString::fromStdString(archive), image_builder::gzip(image, 1));
        QCOMPARE(burn(archive, target.get(), configuration).finished, 1);
        QVERIFY(windows_record(*target).handles.empty());
        const QByteArray expected = image_builder::configured(image, config_offset, configuration);
        const auto content = [&path] {
            auto guard = lock();
            return bytes(file_with_path(path)->content);
        };
        QCOMPARE(content().size(), 3000320);
        QVERIFY(content().left(expected.size()) == expected);

        const auto reader = open_disk_reader(path);
        QVERIFY(reader);
        QVERIFY(read_back(*reader, config_offset, 2048) == configuration);
        QVERIFY(read_back(*reader, 3000320 - 10, 20).isNull()); // nothing past its end

        // Opened again for a smaller image: not truncated, its ends wiped as a disk's are, the rest kept.
        auto again = open_file_target(path, 1000, error);
        QVERIFY(again);
        QCOMPARE(again->size, uint64_t(3000320));
        close_handles(*again);
        const QByteArray kept = content();
        QVERIFY(kept.left(1 << 20).count('\0') == 1 << 20 && kept.mid(1 << 20, 900000) == expected.mid(1 << 20, 900000));
        QVERIFY(kept.size() == 3000320 && kept.right(1 << 20).count('\0') == 1 << 20);
    }

    void targets_that_cannot_be_written_say_why()
    {
        const std::string path = (m_dir.path() + "/busy.img").toStdString();
        std::string error;
        // A virtual machine has the image open and shares nothing.
        HANDLE other = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        QVERIFY(other != INVALID_HANDLE_VALUE);
        QVERIFY(!open_file_target(path, 4096, error));
        QCOMPARE(error, std::string("cannot open (error 32)"));
        CloseHandle(other);
        {
            auto guard = lock();
            file_with_path(path)->read_only = true;
        }
        QVERIFY(!open_file_target(path, 4096, error));
        QCOMPARE(error, std::string("cannot open (error 5)"));

        plug({usb_stick(12)});
        QCOMPARE(disk_write_refusal("\\\\.\\PhysicalDrive12"), std::string());
        QCOMPARE(disk_write_refusal("\\\\.\\PhysicalDrive13"), std::string("not there (unplugged?)"));

        other = CreateFileA("\\\\.\\PhysicalDrive12", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        QVERIFY(other != INVALID_HANDLE_VALUE);
        QCOMPARE(disk_write_refusal("\\\\.\\PhysicalDrive12"), std::string("cannot open it (error 32)"));
        CloseHandle(other);

        QCOMPARE(process_disk_refusal(), std::string());
        {
            auto guard = lock();
            state().elevated = false;
        }
        QCOMPARE(disk_write_refusal("\\\\.\\PhysicalDrive12"), std::string("permission denied: run as administrator"));
        // Unelevated, the headless front end still lists (and says why the list may be empty), but a
        // run that opens disks stops first.
        for (const int what : {0, 1, 2}) { // --list, --station, --device
            cli_request request;
            request.list = what == 0;
            request.station = what == 1;
            request.devices = std::vector<std::string>(what == 2 ? 1 : 0, "\\\\.\\PhysicalDrive12");
            captured run;
            QCOMPARE(flash_session(request, m_dir.path().toStdString(), default_device_options(), run.streams).run(),
                     what == 0 ? 0 : 2);
            QCOMPARE(run.err(), QString(what == 0 ? "note: " : "error: ")
                         + "administrator rights are needed to open USB disks: run as administrator\n");
        }
    }

    void the_reader_reads_sectors_of_the_disk_and_nothing_past_it_data()
    {
        QTest::addColumn<uint>("sector");
        QTest::newRow("512-byte sectors") << 512u;
        QTest::newRow("4096-byte sectors") << 4096u;
    }
    void the_reader_reads_sectors_of_the_disk_and_nothing_past_it()
    {
        QFETCH(uint, sector);
        const QByteArray written = image_builder::random_bytes(2 << 20);
        sim_disk disk = usb_stick_of_sectors(12, sector);
        disk.content.assign(written.begin(), written.end());
        plug({disk});
        const uint64_t size = disk.size();
        const auto reader = open_disk_reader("\\\\.\\PhysicalDrive12");
        QVERIFY(reader);
        QVERIFY(read_back(*reader, 4096, 2048) == written.mid(4096, 2048));
        // Neither offset nor length whole sectors.
        QVERIFY(read_back(*reader, 1000001, 777) == written.mid(1000001, 777));
        QCOMPARE(read_back(*reader, size - 100, 100), QByteArray(100, '\0'));
        QVERIFY(read_back(*reader, size - 100, 101).isNull()); // past the end: refused, as Windows does
    }
};

QTEST_GUILESS_MAIN(test_disk_access_windows)
#include "test_disk_access_windows.moc"
