#include "captured_streams.h"
#include "fake_system.h"
#include "image_builder.h"

#include "src/cli/cli_options.h"
#include "src/cli/flash_session.h"
#include "src/core/logger.h"

#include <QtTest>

#include <csignal>
#include <sys/mount.h>
#include <unistd.h>

namespace {

const char* const btc = "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2";
const quint64 offset = 1048576;

// Captures what a session prints.
// Reads like the real reader, but one byte of what it returns was changed behind the writer's back.
class corrupting_reader : public disk_reader {
public:
    explicit corrupting_reader(std::unique_ptr<disk_reader> real) : m_real(std::move(real)) {}
    bool read(uint64_t at, unsigned char* data, size_t size) override
    {
        if (!m_real->read(at, data, size))
            return false;
        if (at <= 3000000 && 3000000 < at + size)
            data[3000000 - at] ^= 0x01;
        return true;
    }

private:
    std::unique_ptr<disk_reader> m_real;
};

} // namespace

class test_cli : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_image;

    QString path(const QString& name) const { return m_dir.path() + "/" + name; }

    cli_request request(const QStringList& arguments)
    {
        cli_request parsed;
        std::string error;
        if (!parse_cli(arguments, parsed, error))
            qWarning() << QString::fromStdString(error);
        return parsed;
    }

    int run(const QStringList& arguments, captured& io, flash_session::reader_factory readers = open_disk_reader,
            device_options options = device_options())
    {
        flash_session session(request(arguments), path("app").toStdString(), options, io.streams, readers);
        return session.run();
    }

    QByteArray text_on(const QString& target) const
    {
        return image_builder::read_file(target).mid(static_cast<int>(offset), 2048);
    }

private slots:
    void initTestCase()
    {
        QDir().mkpath(path("app/downloads"));
        logger::init(path("app").toStdString());
        m_image = image_builder::disk_image(5 * 1024 * 1024 + 1000, offset, 3);
        image_builder::write_file(path("release.gz"), image_builder::gzip(m_image));
    }

    void init()
    {
        QFile::remove(path("app/configuration.txt"));
        QFile::remove(path("release"));
        for (const QString& name : QDir(m_dir.path()).entryList({"*.img"}, QDir::Files))
            QFile::remove(path(name));
    }

    void usage_errors()
    {
        cli_request parsed;
        std::string error;
        QVERIFY(!parse_cli({"--btc", btc}, parsed, error));
        QVERIFY(QString::fromStdString(error).contains("--target"));
        QVERIFY(!parse_cli({"--target", "x.img", "--image", "archive.zip"}, parsed, error));
        QVERIFY(!parse_cli({"--target", "x.img", "--colour"}, parsed, error));
        QVERIFY(!parse_cli({"--target", "x.img", "stray"}, parsed, error));
        QVERIFY(parse_cli({"--list"}, parsed, error));
    }

    void bad_settings_touch_nothing_data()
    {
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<QString>("message");
        QTest::newRow("no BTC") << QStringList{} << "a BTC address is required (--btc)";
        QTest::newRow("bc1 address") << QStringList{"--btc", "bc1qxy2kgdygjrsqtzq2n0yrf2493p83kkfjhx0wlh"}
                                     << "Invalid BTC Address (--btc)";
        QTest::newRow("worker too long") << QStringList{"--btc", btc, "--worker", "abcdefghijklmn(%d,100)"}
                                         << "Invalid Worker name (--worker)";
        QTest::newRow("ssid") << QStringList{"--btc", btc, "--ssid", "#home"} << "Invalid SSID (--ssid)";
        QTest::newRow("ssh key with comment") << QStringList{"--btc", btc, "--ssh-key", "ssh-rsa AAAAB3Nz me@host"}
                                              << "Invalid SSH key (--ssh-key)";
        QTest::newRow("too large") << QStringList{"--btc", btc, "--wireless-key", QString(1800, 'k')}
                                   << "do not fit the 2048-byte configuration text";
    }
    void bad_settings_touch_nothing()
    {
        QFETCH(QStringList, settings);
        QFETCH(QString, message);
        captured io;
        QCOMPARE(run(settings + QStringList{"--image", path("release.gz"), "--target", path("a.img")}, io), 2);
        QVERIFY2(io.err().contains(message), qPrintable(io.err()));
        QVERIFY(!QFile::exists(path("a.img")));
        QCOMPARE(QFileInfo(path("app/configuration.txt")).size(), qint64(0));
        QVERIFY(!QFile::exists(path("release")));
    }

    void two_targets_in_parallel_are_numbered_and_verified()
    {
        captured io;
        QCOMPARE(run({"--btc", btc, "--worker", "rig(%d)", "--image", path("release.gz"), "--target", path("a.img"),
                      "--target", path("b.img"), "--verify"},
                     io),
                 0);
        QVERIFY(text_on(path("a.img")).contains("\"worker\": \"rig1\""));
        QVERIFY(text_on(path("b.img")).contains("\"worker\": \"rig2\""));
        const QByteArray a = image_builder::read_file(path("a.img"));
        QVERIFY(a.left(m_image.size()) == image_builder::configured(m_image, offset, text_on(path("a.img"))));
        QVERIFY(image_builder::read_file(path("app/configuration.txt")).contains("\"worker\": \"rig(%d,2)\""));
        QVERIFY(io.out().contains(path("a.img")) && io.out().contains(" ok "));
    }

    void verification_catches_a_changed_byte()
    {
        captured io;
        const auto corrupt = [](const std::string& target) -> std::unique_ptr<disk_reader> {
            return std::make_unique<corrupting_reader>(open_disk_reader(target));
        };
        QCOMPARE(run({"--btc", btc, "--worker", "w(%d)", "--image", path("release.gz"), "--target", path("a.img"),
                      "--verify"},
                     io, corrupt),
                 1);
        QVERIFY2(io.out().contains("verification failed: the target differs from what was written"), qPrintable(io.out()));
        // The number was reserved before writing: a failed drive leaves it used, never given twice.
        QVERIFY(image_builder::read_file(path("app/configuration.txt")).contains("\"worker\": \"w(%d,1)\""));
    }

    void a_failing_target_fails_alone()
    {
        const QString small = path("small");
        QDir().mkpath(small);
        if (geteuid() != 0 || ::mount("tmpfs", small.toUtf8().constData(), "tmpfs", 0, "size=2m") != 0)
            QSKIP("mounting a small tmpfs needs root rights");
        captured io;
        const int code = run({"--btc", btc, "--worker", "r(%d)", "--image", path("release.gz"), "--target",
                              small + "/full.img", "--target", path("b.img")},
                             io);
        ::umount2(small.toUtf8().constData(), MNT_DETACH);
        QCOMPARE(code, 1);
        QVERIFY2(io.out().contains("no space left on " + small + "/full.img"), qPrintable(io.out()));
        QVERIFY(text_on(path("b.img")).contains("\"worker\": \"r2\""));
        QVERIFY(image_builder::read_file(path("app/configuration.txt")).contains("\"worker\": \"r(%d,2)\""));
    }

    void a_users_archive_is_only_read()
    {
        QByteArray archive = image_builder::gzip(m_image);
        archive.truncate(archive.size() / 2);
        QDir().mkpath(path("mine"));
        image_builder::write_file(path("mine/cut.gz"), archive);
        image_builder::write_file(path("a.img"), m_image); // an older image, wiped before the first write
        captured damaged;
        QCOMPARE(run({"--btc", btc, "--image", path("mine/cut.gz"), "--target", path("a.img")}, damaged), 1);
        QVERIFY2(damaged.err().contains("the archive is damaged or incomplete (it was left as it is)"),
                 qPrintable(damaged.err()));
        QCOMPARE(image_builder::read_file(path("mine/cut.gz")), archive);
        // The target followed the image until the damage showed: its first block never came, and
        // blocks written behind it are not called "not written".
        const QRegularExpression reason("a\\.img\\s+FAILED +- +(0\\.0 .*\\s+why: not|[1-9][0-9.]* .*\\s+why: partly) written: the image");
        QVERIFY2(damaged.out().contains(reason), qPrintable(damaged.out()));
        const QByteArray head = image_builder::read_file(path("a.img")).left(4096);
        QCOMPARE(head.count('\0'), head.size());

        captured missing;
        QCOMPARE(run({"--btc", btc, "--image", path("mine/absent.gz"), "--target", path("a.img")}, missing), 2);
        QVERIFY2(missing.err().contains("cannot read --image " + path("mine/absent.gz") + ": No such file"),
                 qPrintable(missing.err()));

        // The user's own raw image beside the archive is neither flashed nor touched, and the run
        // makes nothing beside the archive.
        image_builder::write_file(path("mine/release.gz"), image_builder::read_file(path("release.gz")));
        image_builder::write_file(path("mine/release"), "the user's own file");
        captured good;
        QCOMPARE(run({"--btc", btc, "--image", path("mine/release.gz"), "--target", path("a.img"), "--verify"}, good),
                 0);
        QVERIFY(image_builder::read_file(path("a.img")).left(m_image.size())
                == image_builder::configured(m_image, offset, text_on(path("a.img"))));
        QCOMPARE(image_builder::read_file(path("mine/release")), QByteArray("the user's own file"));
        QCOMPARE(QDir(path("mine")).entryList(QDir::Files), (QStringList{"cut.gz", "release", "release.gz"}));
        QDir(path("mine")).removeRecursively();
    }

    void the_folders_own_files_are_never_targets()
    {
        // Made once: the image cache then holds an image, its record and the lock beside them.
        captured first;
        QCOMPARE(run({"--btc", btc, "--worker", "own(%d)", "--image", path("release.gz"), "--target", path("a.img")},
                     first),
                 0);
        const QByteArray settings = image_builder::read_file(path("app/configuration.txt"));
        const QStringList cached = QDir(path("app/downloads")).entryList(QDir::Files | QDir::Hidden);
        QVERIFY(!cached.isEmpty());
        QStringList own{path("app/configuration.txt"), path("app/KELVRA Flash Tool.log"), path("app/station.csv"),
                        path("app/downloads/new.img"), path("app/../app/downloads/x.img")};
        for (const QString& name : cached)
            own << path("app/downloads/" + name);
        for (const QString& target : own) {
            captured io;
            QCOMPARE(run({"--btc", btc, "--image", path("release.gz"), "--target", target}, io), 2);
            QVERIFY2(io.err().contains("holds this program's own files"), qPrintable(target + ": " + io.err()));
        }
        QCOMPARE(image_builder::read_file(path("app/configuration.txt")), settings);
        QCOMPARE(QDir(path("app/downloads")).entryList(QDir::Files | QDir::Hidden), cached);
        QVERIFY(!QFile::exists(path("app/station.csv")));
    }

    void devices_need_confirmation_and_size()
    {
        QTemporaryDir root;
        fake_system system(root.path());
        fake_system::disk_spec stick;
        stick.sectors = 8000000; // 4.096 GB
        stick.node_bytes = 4096;
        stick.port = "2-1.4"; // behind a hub
        stick.serial = "4C53 0001\t";
        system.add_disk(stick);
        fake_system::disk_spec small = stick;
        small.name = "sdc";
        small.dev = "8:32";
        small.port = "2-1";
        small.serial.clear();
        small.sectors = 3906250; // exactly 2,000,000,000 bytes
        system.add_disk(small);
        const device_options options = system.options();

        captured listing;
        QCOMPARE(run({"--list"}, listing, open_disk_reader, options), 0);
        // Path, port, serial (what a terminal or a CSV file cannot hold taken out), name, size.
        QVERIFY2(listing.out().contains(system.node("sdb") + "\t2-1.4\t4C530001\tSanDisk Cruzer Blade\t4096.0 MB\n"),
                 qPrintable(listing.out()));
        QVERIFY(listing.out().contains(system.node("sdc") + "\t2-1\t-\tSanDisk Cruzer Blade\t2000.0 MB\t(too small)\n"));

        captured unconfirmed;
        QCOMPARE(run({"--btc", btc, "--image", path("release.gz"), "--device", system.node("sdb")}, unconfirmed,
                     open_disk_reader, options),
                 2);
        QVERIFY(unconfirmed.err().contains("not confirmed"));
        captured too_small;
        QCOMPARE(run({"--btc", btc, "--image", path("release.gz"), "--device", system.node("sdc"), "--yes"}, too_small,
                     open_disk_reader, options),
                 2);
        QVERIFY(too_small.err().contains("too small"));
        captured unknown;
        QCOMPARE(run({"--btc", btc, "--image", path("release.gz"), "--device", "/dev/sda", "--yes"}, unknown,
                     open_disk_reader, options),
                 2);
        QCOMPARE(image_builder::read_file(system.node("sdb")), QByteArray(4096, '\xab'));
    }

    void interrupt_mid_write_ends_cleanly()
    {
        // A large, mostly empty image: quick to inflate, long enough to write that Ctrl-C lands mid-write.
        QByteArray big(512 * 1024 * 1024, '\0');
        for (int i = 0; i < 8; ++i)
            big[i * 4096 + 17] = 1;
        for (int i = 0; i < 8; ++i)
            big[big.size() - 1 - i] = static_cast<char>((offset >> (8 * i)) & 0xff);
        image_builder::write_file(path("big.gz"), image_builder::gzip(big, 1));
        big.clear();

        image_builder::write_file(path("big.img"), m_image); // an older image: its first block must not survive
        QProcess cli;
        cli.setProcessChannelMode(QProcess::MergedChannels);
        cli.start(KELVRA_CLI, {"--folder", path("cli-app"), "--btc", btc, "--image", path("big.gz"), "--target", path("big.img")});
        QVERIFY(cli.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(image_builder::read_file(path("cli-app/KELVRA Flash Tool.log")).contains("Burning started"),
                                 60000);
        ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
        QVERIFY(cli.waitForFinished(60000));
        QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
        QCOMPARE(cli.exitCode(), 1);
        QVERIFY(image_builder::read_file(path("cli-app/KELVRA Flash Tool.log")).contains("Burning canceled"));
        QVERIFY(QString::fromUtf8(cli.readAll()).contains("canceled"));
        QCOMPARE(image_builder::read_file(path("big.img")).left(4096), QByteArray(4096, '\0'));
        QFile::remove(path("big.gz"));
        QFile::remove(path("big"));
        QFile::remove(path("big.img"));
    }
};

QTEST_GUILESS_MAIN(test_cli)
#include "test_cli.moc"
