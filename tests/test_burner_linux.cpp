#include "burn_run.h"
#include "fake_system.h"
#include "image_builder.h"

#include "src/core/logger.h"
#include "src/device/device_linux.h"
#include "src/device/device_manager.h"
#include "src/device/disk_access.h"
#include "src/image/image_manipulator.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class test_burner_linux : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    // A folder of its own for a case, with the image's archive in it; the archive's path.
    std::string archive(const QString& folder, const QString& name, const QByteArray& image, int level = 6)
    {
        QDir(m_dir.path() + "/" + folder).removeRecursively();
        QDir().mkpath(m_dir.path() + "/" + folder);
        const QString path = m_dir.path() + "/" + folder + "/" + name;
        image_builder::write_file(path, image_builder::gzip(image, level));
        return path.toStdString();
    }

    std::shared_ptr<device> file_target(const QString& path)
    {
        std::string error;
        auto target = open_file_target(path.toStdString(), 0, error);
        if (!target)
            qWarning("%s: %s", qPrintable(path), error.c_str());
        return target;
    }

    // Lists the fake stick and prepares it through the real Linux code; none unless it is held open.
    std::shared_ptr<device> prepared_stick(device_manager& manager)
    {
        QSignalSpy ready(&manager, &device_manager::unmount_finished);
        auto devices = manager.get_devices();
        if (devices.size() != 1)
            return nullptr;
        manager.unmount_device(*devices[0], false);
        return ready.wait(60000) && linux_record(*devices[0]).handles.size() == 1 ? devices[0] : nullptr;
    }

private slots:
    void initTestCase() { logger::init(m_dir.path().toStdString()); }

    void archive_to_stick_end_to_end()
    {
        const qint64 image_size = 3 * 1024 * 1024 + 5 * 512 + 100; // not a whole number of sectors
        const quint64 offset = 1192960;
        const QByteArray image = image_builder::disk_image(image_size, offset, 42);
        const std::string gz = archive("downloads", "2.3.1.gz", image);

        QTemporaryDir root;
        fake_system system(root.path());
        fake_system::disk_spec stick;
        stick.sectors = 16384; // 8 MiB
        system.add_disk(stick);
        device_manager manager(system.options());
        const auto disk = prepared_stick(manager);
        QVERIFY2(disk, "the stick, listed, prepared and held open");

        // Numbered texts are the configurator's and the headless runs' cases; here the bytes around the image.
        const QByteArray configuration = QByteArray("{\"worker\": \"rig1\"}").leftJustified(2048, '\n');
        const burn_run run = burn(gz, disk.get(), configuration);
        QCOMPARE(run.errors, QStringList());
        QCOMPARE(run.finished, 1);
        QVERIFY(run.inflate_reports > 0);
        QVERIFY(linux_record(*disk).handles.empty());

        const QByteArray written = image_builder::read_file(system.node("sdb"));
        QCOMPARE(written.size(), 8 * 1024 * 1024);
        const QByteArray expected = image_builder::configured(image, offset, configuration);
        QVERIFY(written.left(expected.size()) == expected);
        // Behind the image: zeros up to the sector end, the wiped last MiB, the old content between.
        const int padded = static_cast<int>((image_size + 511) / 512 * 512);
        QVERIFY(written.mid(expected.size(), padded - expected.size()) == QByteArray(padded - expected.size(), '\0'));
        QVERIFY(written.right(1 << 20) == QByteArray(1 << 20, '\0'));
        QCOMPARE(written.at(padded), '\xab');
    }

    void the_image_a_run_made_is_written_after_its_archive_went()
    {
        // Another run cleared the archive away as an older release after this run had inflated it.
        const QByteArray image = image_builder::disk_image(2 * 1024 * 1024, 4096, 12);
        image_source source = image_cache::for_download(archive("went", "3.0.0.gz", image));
        {
            image_manipulator manipulator;
            FILE* made = manipulator.decompress_image(source);
            QVERIFY(made);
            std::fclose(made);
        }
        QVERIFY(QFile::remove(QString::fromStdString(source.archive)));
        source.made_by_this_run = true;

        const QString folder = m_dir.path() + "/went";
        const auto disk = file_target(folder + "/stick.img");
        QVERIFY(disk);
        const burn_run run = burn(source.archive, disk.get(), QByteArray(2048, '\n'),
                                  [&](image_burner& burner) { burner.set_image_source(source); });
        QCOMPARE(run.finished, 1);
        QVERIFY(image_builder::read_file(folder + "/stick.img").left(image.size())
                == image_builder::configured(image, 4096, QByteArray(2048, '\n')));

        // One file is one drive: a second run cannot open it while the first has it.
        const auto first = file_target(folder + "/busy.img");
        QVERIFY(first);
        std::string error;
        QVERIFY(!open_file_target((folder + "/busy.img").toStdString(), 0, error));
        QCOMPARE(QString::fromStdString(error), QString("in use by another run"));
        for (int fd : linux_record(*first).handles)
            ::close(fd);
    }

    void a_cached_image_changed_behind_the_record_is_not_written()
    {
        const quint64 offset = 4096;
        const QByteArray image = image_builder::disk_image(3 * 1024 * 1024, offset, 13);
        const std::string gz = archive("rot", "3.1.0.gz", image);
        {
            image_manipulator manipulator;
            FILE* made = manipulator.decompress_image(gz);
            QVERIFY(made);
            // Another run's text in the configuration area is expected there ...
            std::fseek(made, static_cast<long>(offset), SEEK_SET);
            std::fwrite("{\"other\": 1}", 1, 12, made);
            // ... one changed byte far behind it is not: same size, same record.
            std::fseek(made, 2500000, SEEK_SET);
            std::fputc(image.at(2500000) ^ 0x20, made);
            std::fclose(made);
        }
        const QString folder = m_dir.path() + "/rot";
        const auto disk = file_target(folder + "/stick.img");
        QVERIFY(disk);
        const burn_run run = burn(gz, disk.get(), QByteArray(2048, '\n'));
        QCOMPARE(run.finished, 0);
        QCOMPARE(run.errors, QStringList{"Image is damaged, download it again"});
        // No partition table on the stick, and the next run makes the image again.
        QVERIFY(image_builder::read_file(folder + "/stick.img").left(512) == QByteArray(512, '\0'));
        QVERIFY(!QFile::exists(folder + "/3.1.0") && !QFile::exists(folder + "/3.1.0.record"));

        const auto again = file_target(folder + "/again.img");
        QCOMPARE(burn(gz, again.get(), QByteArray(2048, '\n')).finished, 1);
        QVERIFY(image_builder::read_file(folder + "/again.img").left(image.size())
                == image_builder::configured(image, offset, QByteArray(2048, '\n')));
    }

    // Every write fails: a full target (no space left) or one that went away (here a pipe, which
    // refuses positioned writes as a pulled stick refuses all). The window says the same for both;
    // the headless run tells a full target apart.
    void failing_writes_mean_the_stick_is_gone_data()
    {
        QTest::addColumn<bool>("full");
        QTest::newRow("full") << true;
        QTest::newRow("gone") << false;
    }
    void failing_writes_mean_the_stick_is_gone()
    {
        QFETCH(bool, full);
        const std::string gz = archive("full", "2.4.0.gz", image_builder::disk_image(2 * 1024 * 1024, 4096));
        QTemporaryDir root;
        fake_system system(root.path());
        fake_system::disk_spec stick;
        stick.node_bytes = 0;
        system.add_disk(stick);
        if (full)
            QVERIFY(QFile::link("/dev/full", system.node("sdb")));
        else
            QCOMPARE(::mkfifo(system.node("sdb").toUtf8().constData(), 0600), 0);

        device_manager manager(system.options());
        const auto disk = prepared_stick(manager);
        QVERIFY2(disk, "the stick, listed, prepared and held open");
        const burn_run run = burn(gz, disk.get(), QByteArray(2048, '\n'));
        QCOMPARE(run.gone, 1);
        QCOMPARE(run.full, full ? 1 : 0);
        QCOMPARE(run.errors, QStringList{"Device disconected!"});
        QVERIFY(linux_record(*disk).handles.empty());
    }
};

QTEST_GUILESS_MAIN(test_burner_linux)
#include "test_burner_linux.moc"
