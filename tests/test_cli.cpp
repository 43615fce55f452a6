#include "cli_fixture.h"

#include "src/core/logger.h"

#include <QtTest>

#include <sys/mount.h>
#include <unistd.h>

using namespace cli_test;

namespace {

QByteArray saved_settings(const fixture& f)
{
    return image_builder::read_file(f.path("app/configuration.txt"));
}

} // namespace

class test_cli : public QObject {
    Q_OBJECT

    fixture f;

private slots:
    void initTestCase()
    {
        QDir().mkpath(f.path("app/downloads"));
        logger::init(f.path("app").toStdString());
        image_builder::write_file(f.path("twice.csv"), "port,worker\n2-3,labelA\n2-4,labelA\n");
        image_builder::write_file(f.path("series.csv"), "S3,rig2\n");
    }

    void init()
    {
        for (const char* name : {"configuration.txt", "results.csv", "station.csv"})
            QFile::remove(f.path("app/") + QString(name));
        for (const QString& name : QDir(f.dir.path()).entryList({"*.img"}, QDir::Files))
            QFile::remove(f.path(name));
    }

    void bad_usage_touches_nothing_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        const QString archive = f.archive();
        const QStringList target{"--image", archive, "--target", f.path("a.img")};
        const QStringList station{"--btc", btc, "--image", archive, "--station"};
        const auto with = [&](const QString& option, const QString& value) { return QStringList{"--btc", btc, option, value} + target; };
        QTest::newRow("no BTC") << target << "a BTC address is required (--btc)";
        QTest::newRow("bc1 address") << with("--btc", "bc1qxy2kgdygjrsqtzq2n0yrf2493p83kkfjhx0wlh") << "Invalid BTC Address (--btc)";
        QTest::newRow("worker too long") << with("--worker", "abcdefghijklmn(%d,100)") << "Invalid Worker name (--worker)";
        QTest::newRow("ssid") << with("--ssid", "#home") << "Invalid SSID (--ssid)";
        QTest::newRow("ssh key with comment") << with("--ssh-key", "ssh-rsa AAAAB3Nz me@host") << "Invalid SSH key (--ssh-key)";
        QTest::newRow("too large") << with("--wireless-key", QString(1800, 'k')) << "do not fit the 2048-byte configuration text";
        // A station names every stick: never the empty name, never one name for every stick.
        QTest::newRow("station without names") << station << "a station gives every stick a name of its own";
        QTest::newRow("station, plain name") << station + QStringList{"--worker", "rig3"} << "(rig3 has none)";
        QTest::newRow("a name listed twice") << station + QStringList{"--worker", "rig(%d)", "--names", f.path("twice.csv")}
                                             << "lines 2 and 3: labelA is given twice";
        QTest::newRow("a name of the series") << station + QStringList{"--worker", "rig(%d)", "--names", f.path("series.csv")}
                                              << "line 1: rig2 is also a name of the series rig(%d)";
    }
    void bad_usage_touches_nothing()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QVERIFY(f.says(arguments, 2, message));
        QVERIFY(!QFile::exists(f.path("a.img")));
        QCOMPARE(saved_settings(f), QByteArray());
        QCOMPARE(QDir(f.path("app/downloads")).entryList({"local-*"}, QDir::Files), QStringList());
    }

    void two_targets_in_parallel_are_numbered_verified_and_recorded()
    {
        // The station's former record opens the new one, its release named as the record names it.
        image_builder::write_file(f.path("app/station.csv"), "time,port,serial,size,tag,worker,result,seconds\n"
                                                             "2026-12-07T10:14:03+01:00,2-1.3,4C530001,16008609792,"
                                                             "kelvra-2.7.0.img,rig17,ok,41.2\n");
        const finished_run done = f.run(f.flash({"--worker", "rig(%d)", "--target", f.path("a.img"), "--target", f.path("b.img"), "--verify", "--json"}));
        QCOMPARE(done.code, 0);
        QCOMPARE(f.worker_on(f.path("a.img")) + f.worker_on(f.path("b.img")), QString("rig1rig2"));
        QVERIFY(f.holds_image(f.path("a.img")) && f.holds_image(f.path("b.img")));
        QVERIFY(saved_settings(f).contains("\"worker\": \"rig(%d,2)\""));
        const QJsonArray summary = QJsonDocument::fromJson(done.out.toUtf8()).array();
        QCOMPARE(summary.size(), 2);
        QCOMPARE(summary[1].toObject()["worker"].toString() + summary[1].toObject()["result"].toString(), QString("rig2ok"));

        QList<QStringList> lines = f.results(f.path("app"));
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines.takeFirst().join(','),
                 QString("2026-12-07T10:14:03+01:00,2-1.3,4C530001,16008609792,2.7.0,rig17,ok,41.2,"));
        std::sort(lines.begin(), lines.end(), [](const QStringList& a, const QStringList& b) { return a[8] < b[8]; });
        for (int i = 0; i < 2; ++i)
            QVERIFY2(lines[i][3].toLongLong() >= f.image.size() && lines[i].mid(4, 3).join(',') == QString("2.7.0,rig%1,ok").arg(i + 1)
                         && lines[i][8] == f.path(i ? "b.img" : "a.img"), qPrintable(lines[i].join(',')));
    }

    void verification_catches_a_changed_byte()
    {
        // One byte of what is read back was changed behind the writer's back.
        const auto corrupt = watched_reader::factory([](uint64_t at, unsigned char* data, size_t size) {
            if (at <= 3000000 && 3000000 < at + size)
                data[3000000 - at] ^= 0x01;
        });
        QVERIFY(f.ended(f.run(f.flash({"--worker", "w(%d)", "--target", f.path("a.img"), "--verify"}), device_options(), corrupt), 1,
                        "verification failed: the target differs from what was written"));
        // The number was reserved before writing: a failed drive leaves it used, never given twice.
        QVERIFY(saved_settings(f).contains("\"worker\": \"w(%d,1)\""));
        QVERIFY(f.results(f.path("app")).value(0).value(6).startsWith("failed: verification failed"));
    }

    void a_failing_target_fails_alone()
    {
        const QString small = f.path("small");
        QDir().mkpath(small);
        if (geteuid() != 0 || ::mount("tmpfs", small.toUtf8().constData(), "tmpfs", 0, "size=2m") != 0)
            QSKIP("mounting a small tmpfs needs root rights");
        const finished_run full = f.run(f.flash({"--worker", "r(%d)", "--target", small + "/full.img", "--target", f.path("b.img")}));
        ::umount2(small.toUtf8().constData(), MNT_DETACH);
        QVERIFY(f.ended(full, 1, "no space left on " + small + "/full.img"));
        QCOMPARE(f.worker_on(f.path("b.img")), QString("r2"));
        QVERIFY(saved_settings(f).contains("\"worker\": \"r(%d,2)\""));
    }

    void a_users_archive_is_only_read()
    {
        QByteArray archive = image_builder::gzip(f.image);
        archive.truncate(archive.size() / 2);
        QDir().mkpath(f.path("mine"));
        image_builder::write_file(f.path("mine/cut.gz"), archive);
        image_builder::write_file(f.path("a.img"), f.image); // an older image, wiped before the first write
        const finished_run damaged = f.run({"--btc", btc, "--image", f.path("mine/cut.gz"), "--target", f.path("a.img")});
        QVERIFY(f.ended(damaged, 1, "the archive is damaged or incomplete (it was left as it is)"));
        QCOMPARE(image_builder::read_file(f.path("mine/cut.gz")), archive);
        // The target followed the image until the damage showed: its first block never came, and
        // blocks written behind it are not called "not written".
        const QRegularExpression reason("a\\.img\\s+FAILED +- +(0\\.0 .*\\s+why: not|[1-9][0-9.]* .*\\s+why: partly) written: the image");
        QVERIFY2(damaged.out.contains(reason), qPrintable(damaged.out));
        QCOMPARE(image_builder::read_file(f.path("a.img")).left(4096), QByteArray(4096, '\0'));

        QVERIFY(f.says({"--btc", btc, "--image", f.path("mine/absent.gz"), "--target", f.path("a.img")}, 2,
                       "cannot read --image " + f.path("mine/absent.gz") + ": No such file"));

        // The user's own raw image beside the archive is neither flashed nor touched, and the run
        // makes nothing beside the archive.
        image_builder::write_file(f.path("mine/release.gz"), image_builder::read_file(f.archive()));
        image_builder::write_file(f.path("mine/release"), "the user's own file");
        QCOMPARE(f.run({"--btc", btc, "--image", f.path("mine/release.gz"), "--target", f.path("a.img"), "--verify"}).code, 0);
        QVERIFY(f.holds_image(f.path("a.img")));
        QCOMPARE(image_builder::read_file(f.path("mine/release")), QByteArray("the user's own file"));
        QCOMPARE(QDir(f.path("mine")).entryList(QDir::Files), (QStringList{"cut.gz", "release", "release.gz"}));
        QDir(f.path("mine")).removeRecursively();
    }

    void the_folders_own_files_are_never_targets()
    {
        // Made once: the image cache then holds an image, its record and the lock beside them.
        QCOMPARE(f.run(f.flash({"--worker", "own(%d)", "--target", f.path("a.img")})).code, 0);
        const QByteArray settings = saved_settings(f);
        const QByteArray record = image_builder::read_file(f.path("app/results.csv"));
        const QStringList cached = QDir(f.path("app/downloads")).entryList(QDir::Files | QDir::Hidden);
        QVERIFY(!cached.isEmpty());
        QStringList own{f.path("app/configuration.txt"), f.path("app/KELVRA Flash Tool.log"), f.path("app/results.csv"),
                        f.path("app/station.csv"), f.path("app/downloads/new.img"), f.path("app/../app/downloads/x.img")};
        for (const QString& name : cached)
            own << f.path("app/downloads/" + name);
        for (const QString& target : own)
            QVERIFY2(f.says(f.flash({"--target", target}), 2, "holds this program's own files"), qPrintable(target));
        QCOMPARE(saved_settings(f), settings);
        QCOMPARE(image_builder::read_file(f.path("app/results.csv")), record);
        QCOMPARE(QDir(f.path("app/downloads")).entryList(QDir::Files | QDir::Hidden), cached);
    }

    void devices_need_confirmation_and_size()
    {
        usb_tree system;
        fake_system::disk_spec stick = fixture::stick("sdb", 1, "4C53 0001\t");
        stick.node_bytes = 4096;
        stick.port = "2-1.4"; // behind a hub
        system.add_disk(stick);
        fake_system::disk_spec small = fixture::stick("sdc", 2, "");
        small.sectors = 3906250; // exactly 2,000,000,000 bytes
        system.add_disk(small);
        const device_options options = system.options();

        const finished_run listing = f.run({"--list"}, options);
        // Path, port, serial (what a terminal or a CSV file cannot hold taken out), name, size.
        QVERIFY2(listing.out.contains(system.node("sdb") + "\t2-1.4\t4C530001\tSanDisk Cruzer Blade\t4096.0 MB\n"),
                 qPrintable(listing.out));
        QVERIFY(listing.out.contains(system.node("sdc") + "\t2-2\t-\tSanDisk Cruzer Blade\t2000.0 MB\t(too small)\n"));
        const QJsonArray disks = QJsonDocument::fromJson(f.run({"--list", "--json"}, options).out.toUtf8()).array();
        QCOMPARE(disks.size(), 2);
        QCOMPARE(disks[0].toObject(), (QJsonObject{{"path", system.node("sdb")}, {"port", "2-1.4"}, {"serial", "4C530001"},
                                                   {"name", "SanDisk Cruzer Blade"}, {"size", 4096000000LL},
                                                   {"system_disk", false}, {"too_small", false}}));

        QVERIFY(f.says(f.flash({"--device", system.node("sdb")}), 2, "not confirmed", options));
        QVERIFY(f.says(f.flash({"--device", system.node("sdc"), "--yes"}), 2, "too small", options));
        QCOMPARE(f.run(f.flash({"--device", "/dev/sda", "--yes"}), options).code, 2);
        QCOMPARE(image_builder::read_file(system.node("sdb")), QByteArray(4096, '\xab'));
    }

};

QTEST_GUILESS_MAIN(test_cli)
#include "test_cli.moc"
