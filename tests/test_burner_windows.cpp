#include "burn_run.h"
#include "image_builder.h"
#include "win32_fixtures.h"

#include "src/config/image_configurator.h"

using namespace win32sim;

namespace {

const quint64 config_offset = 4096;

QByteArray configuration_text()
{
    settings values;
    values.btc = "bc1qtest";
    values.worker = "rig7";
    return QByteArray::fromStdString(settings_document(values).toStdString()).leftJustified(2048, '\n');
}

} // namespace

class test_burner_windows : public win32_test {
    Q_OBJECT

    std::string m_archive;
    std::shared_ptr<device_windows> m_disk;
    QByteArray m_configuration = configuration_text();

    // A prepared stick: the record holds the open disk handle, as the preparation leaves it, and
    // with a returned volume also that volume's handle, locked and dismounted by the volume check.
    void prepare(const QByteArray& image, DWORD sector = 512, bool returned_volume = false)
    {
        plug({usb_stick_of_sectors(12, sector)});
        if (returned_volume)
            plug({}, {volume('E', 12)});
        m_archive = (m_dir.path() + "/2.3.1.gz").toStdString();
        image_builder::write_file(m_dir.path() + "/2.3.1.gz", image_builder::gzip(image, 1));
        m_disk = std::make_shared<device_windows>();
        m_disk->path = "\\\\.\\PhysicalDrive12";
        m_disk->sector_size = sector;
        m_disk->volumes = {"\\\\?\\E:"};
        const auto open = [](const char* path) {
            return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        };
        m_disk->handles.push_back(open(m_disk->path.c_str()));
        if (returned_volume) {
            HANDLE volume = open("\\\\?\\E:");
            DWORD returned = 0;
            DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
            DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
            m_disk->handles.push_back(volume);
        }
        auto guard = lock();
        state().calls.clear();
    }

    burn_run burn_prepared(const std::function<void(image_burner&)>& set_up = {})
    {
        return burn(m_archive, m_disk.get(), m_configuration, set_up);
    }

    void verify_released()
    {
        QVERIFY(m_disk->handles.empty());
        QVERIFY(m_disk->volumes.empty());
    }

private slots:
    void writes_every_block_and_the_first_one_last()
    {
        const QByteArray image = image_builder::disk_image(3000320, config_offset);
        prepare(image, 512, true); // E: came back: Windows takes writes into it only while it is locked
        const burn_run run = burn_prepared();
        QCOMPARE(qt_calls("WriteFile"), (QStringList{"WriteFile \\\\.\\PhysicalDrive12 0xfa200 0xfa200",
                                                     "WriteFile \\\\.\\PhysicalDrive12 0x1f4400 0xe8400",
                                                     "WriteFile \\\\.\\PhysicalDrive12 0x0 0xfa200"}));
        QCOMPARE(run.progress, (QStringList{"1024512/3000320", "1975808/3000320", "3000320/3000320"}));
        QCOMPARE(run.finished, 1);
        QCOMPARE(run.errors, QStringList());
        QVERIFY(disk_content(12) == image_builder::configured(image, config_offset, m_configuration));

        // Flushed before it counts as done, then Windows is told to re-read the disk.
        const QStringList calls = qt_calls();
        QCOMPARE(calls.mid(calls.indexOf("WriteFile \\\\.\\PhysicalDrive12 0x0 0xfa200")),
                 (QStringList{"WriteFile \\\\.\\PhysicalDrive12 0x0 0xfa200", "FlushFileBuffers \\\\.\\PhysicalDrive12",
                              "DeviceIoControl \\\\.\\PhysicalDrive12 0x70140", "CloseHandle \\\\.\\PhysicalDrive12",
                              "CloseHandle \\\\?\\E:"}));
        // Every line of the run names the Windows unit, the preparation's too.
        for (const char* line : {"\\[info\\] \\[src/image/image_burner_windows:\\d+\\] \\[burn_image\\] Burning finished",
                                 "\\[src/image/image_burner_windows:\\d+\\] \\[m_prepare_image\\] Prepare image",
                                 "\\[src/image/image_burner_windows:\\d+\\] \\[m_prepare_image\\] Image decompressed",
                                 "\\[src/image/image_burner_windows:\\d+\\] \\[m_prepare_image\\] Image offset: 4096\n"})
            QVERIFY2(QRegularExpression(line).match(QString::fromUtf8(log())).hasMatch(), line);
        verify_released();
        auto guard = lock();
        QVERIFY(volume_with_letter('E')->locked_by == nullptr);
    }

    void image_sizes_at_block_and_sector_edges_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("writes");
        QTest::addColumn<uint>("sector");
        QTest::newRow("last sector partial") << qint64(2000000) << 2 << 512u;
        QTest::newRow("smaller than a sector") << qint64(300 + 2048 + 8) << 1 << 512u;
        // Blocks of 251 sectors of 4096 bytes, the last one padded to a whole sector.
        QTest::newRow("4096-byte sectors") << qint64(3000320) << 3 << 4096u;
        QTest::newRow("4096-byte sectors, two whole blocks") << qint64(2 * 1028096) << 2 << 4096u;
    }
    void image_sizes_at_block_and_sector_edges()
    {
        QFETCH(qint64, size);
        QFETCH(int, writes);
        QFETCH(uint, sector);
        const quint64 offset = size > 10000 ? config_offset : 300;
        const QByteArray image = image_builder::disk_image(size, offset);
        prepare(image, sector);
        QCOMPARE(burn_prepared().finished, 1);
        QCOMPARE(qt_calls("WriteFile").size(), writes);
        // Every byte of the image is on the disk; a partial last sector is padded with zeros.
        const QByteArray expected = image_builder::configured(image, offset, m_configuration);
        const QByteArray content = disk_content(12);
        QCOMPARE(content.size(), int((size + sector - 1) / sector * sector));
        QVERIFY(content.left(expected.size()) == expected);
        QVERIFY(content.mid(expected.size()) == QByteArray(content.size() - expected.size(), '\0'));
        verify_released();
    }

    void write_or_flush_failure_means_the_stick_is_gone_data()
    {
        QTest::addColumn<qint64>("fail_writes_at");
        QTest::addColumn<int>("progress");
        QTest::addColumn<uint>("write_error");
        QTest::newRow("first write") << qint64(1500000) << 0 << uint(ERROR_DEVICE_NOT_CONNECTED);
        QTest::newRow("after progress") << qint64(2049025) << 1 << uint(ERROR_DEVICE_NOT_CONNECTED);
        QTest::newRow("flush") << qint64(-1) << 2 << uint(ERROR_DEVICE_NOT_CONNECTED); // every write went through
        QTest::newRow("full disk-image target") << qint64(2049025) << 1 << uint(ERROR_DISK_FULL);
    }
    void write_or_flush_failure_means_the_stick_is_gone()
    {
        QFETCH(qint64, fail_writes_at);
        QFETCH(int, progress);
        QFETCH(uint, write_error);
        const uint flush_error = fail_writes_at < 0 ? write_error : 0;
        const QByteArray image = image_builder::disk_image(3000320, config_offset);
        prepare(image);
        {
            auto guard = lock();
            disk_with_number(12)->fail_writes_at = fail_writes_at;
            disk_with_number(12)->write_error = write_error;
            disk_with_number(12)->flush_error = flush_error;
        }
        const burn_run run = burn_prepared();
        QCOMPARE(run.gone, 1);
        QCOMPARE(run.full, write_error == ERROR_DISK_FULL ? 1 : 0);
        QCOMPARE(run.errors, QStringList{"Device disconected!"});
        QCOMPARE(run.finished, 0);
        QCOMPARE(run.progress.size(), progress);
        QVERIFY(qt_calls("DeviceIoControl").isEmpty()); // no properties update
        // A failed write never gets to the held-back first block: no partition table on the stick.
        const QByteArray content = disk_content(12);
        if (!flush_error)
            QVERIFY(content.left(1024512) == QByteArray(std::min(content.size(), 1024512), '\0'));
        if (progress == 1)
            QVERIFY(content.mid(1024512, 1024512) == image.mid(1024512, 1024512));
        QVERIFY(log().contains("] [burn_image] Burning interupted 'Device disconected'\n"));
        verify_released();
    }

    void image_unreadable_in_the_middle_of_writing()
    {
        prepare(image_builder::disk_image(3000320, config_offset));
        // The inflated image loses its tail (a full disk, another tool) after the first write.
        const QString inflated = m_dir.path() + "/2.3.1";
        const burn_run run = burn_prepared([&](image_burner& burner) {
            burner.set_block_observer([&](uint64_t, const unsigned char*, size_t) { QFile(inflated).resize(1500000); });
        });
        QCOMPARE(run.errors, QStringList{"Image is damaged, download it again"});
        QCOMPARE(run.finished + run.gone, 0);
        QCOMPARE(qt_calls("WriteFile").size(), 1);
        QVERIFY(disk_content(12).left(1024512) == QByteArray(1024512, '\0')); // no partition table
        QVERIFY(log().contains("] [burn_image] Cannot open image\n"));
        verify_released();
    }

    void a_stop_is_a_stop_until_the_first_block_is_flushed_data()
    {
        QTest::addColumn<qint64>("stop_at"); // the write after which the stop comes
        QTest::addColumn<int>("writes");     // the third one is the held-back first block
        QTest::newRow("while writing") << qint64(0xfa200) << 1;
        QTest::newRow("while the first block is due") << qint64(0x1f4400) << 2;
        QTest::newRow("while the first block is written and flushed") << qint64(0) << 3;
    }
    void a_stop_is_a_stop_until_the_first_block_is_flushed()
    {
        QFETCH(qint64, stop_at);
        QFETCH(int, writes);
        prepare(image_builder::disk_image(3000320, config_offset));
        const burn_run run = burn_prepared([&](image_burner& burner) {
            burner.set_block_observer([&burner, stop_at](uint64_t at, const unsigned char*, size_t) {
                if (at == uint64_t(stop_at))
                    burner.cancel();
            });
        });
        QCOMPARE(run.canceled, 1);
        QCOMPARE(run.finished, 0);
        QCOMPARE(qt_calls("WriteFile").size(), writes);
        QVERIFY(qt_calls("DeviceIoControl").contains("DeviceIoControl \\\\.\\PhysicalDrive12 0x70140"));
        QVERIFY(log().contains("] [burn_image] Burning canceled\n"));
        verify_released();
    }

    void nothing_to_write_or_nowhere_to_write_data()
    {
        QTest::addColumn<QByteArray>("trailer");
        QTest::addColumn<bool>("null_handle");
        QTest::addColumn<bool>("no_handles");
        QTest::addColumn<QString>("message");
        QTest::newRow("no config offset") << QByteArray(8, '\xff') << false << false << "Image is damaged, download it again";
        QTest::newRow("offset past the end") << QByteArray::fromHex("00000000ffff0000") << false << false
                                             << "Image is damaged, download it again";
        QTest::newRow("null disk handle") << QByteArray() << true << false << "Cannot open device!";
        QTest::newRow("failed open as disk handle") << QByteArray() << true << false << "Cannot open device!";
        QTest::newRow("no handles") << QByteArray() << false << true << "Cannot open device!";
        QTest::newRow("stopped before the start") << QByteArray() << false << false << "Cannot open device!";
    }
    void nothing_to_write_or_nowhere_to_write()
    {
        QFETCH(QByteArray, trailer);
        QFETCH(bool, null_handle);
        QFETCH(bool, no_handles);
        QFETCH(QString, message);
        QByteArray image = image_builder::disk_image(1 << 20, config_offset);
        if (!trailer.isEmpty())
            image.replace(image.size() - 8, 8, trailer);
        prepare(image);
        if (null_handle || no_handles)
            CloseHandle(m_disk->handles[0]);
        if (null_handle)
            m_disk->handles[0] = QTest::currentDataTag() == QString("null disk handle") ? nullptr : INVALID_HANDLE_VALUE;
        if (no_handles)
            m_disk->handles.clear();
        const bool stopped = QTest::currentDataTag() == QString("stopped before the start");

        const burn_run run = burn_prepared([stopped](image_burner& burner) {
            if (stopped)
                burner.cancel();
        });
        QCOMPARE(run.errors, QStringList{message});
        QCOMPARE(run.finished, 0);
        QCOMPARE(run.canceled, null_handle ? 1 : 0);
        QVERIFY(qt_calls("WriteFile").isEmpty());
        if (!trailer.isEmpty())
            QVERIFY(log().contains("] [burn_image] Cannot open image\n"));
        if (null_handle)
            QVERIFY(log().contains("] [burn_image] Cannot open device '\\\\.\\PhysicalDrive12'\n"));
        if (stopped) { // refused before anything: the record is left as it was
            QVERIFY(!log().contains("Prepare image"));
            QCOMPARE(m_disk->handles.size(), size_t(1));
            close_handles(*m_disk);
        }
        if (no_handles || stopped)
            m_disk->volumes.clear();
        verify_released();
    }
};

QTEST_GUILESS_MAIN(test_burner_windows)
#include "test_burner_windows.moc"
