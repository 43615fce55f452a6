#include "captured_streams.h"
#include "fake_system.h"
#include "image_builder.h"

#include "src/cli/cli_options.h"
#include "src/cli/flash_session.h"
#include "src/core/logger.h"
#include "src/image/folder_lock.h"

#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <cstdio>
#include <memory>
#include <set>

// What a headless run promises: a stop stops, a worker number is given once, a drive is the
// drive it names, and a refusal comes early and says why.
namespace {

const char* const btc = "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2";
const quint64 offset = 1048576;

// A reader that asks its session to stop after a few blocks, as Ctrl-C during --verify would.
class stopping_reader : public disk_reader {
public:
    stopping_reader(std::unique_ptr<disk_reader> real, flash_session* session) : m_real(std::move(real)), m_session(session) {}
    bool read(uint64_t at, unsigned char* data, size_t size) override
    {
        if (++m_reads == 3)
            m_session->cancel();
        return m_real->read(at, data, size);
    }

private:
    std::unique_ptr<disk_reader> m_real;
    flash_session* m_session;
    int m_reads = 0;
};

} // namespace

class test_cli_runs : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_image;

    QString path(const QString& name) const { return m_dir.path() + "/" + name; }
    QByteArray text_on(const QString& target) const
    {
        return image_builder::read_file(target).mid(static_cast<int>(offset), 2048);
    }

    int run(const QStringList& arguments, captured& io, const device_options& options = device_options())
    {
        cli_request request;
        std::string error;
        if (!parse_cli(arguments, request, error))
            qWarning() << QString::fromStdString(error);
        flash_session session(request, path("app").toStdString(), options, io.streams);
        return session.run();
    }

    QProcess* start(QProcess& cli, const QStringList& arguments, const QProcessEnvironment& environment)
    {
        cli.setProcessChannelMode(QProcess::MergedChannels);
        cli.setProcessEnvironment(environment);
        cli.start(KELVRA_CLI, arguments);
        return &cli;
    }

    fake_system::disk_spec big_stick() const
    {
        fake_system::disk_spec stick;
        stick.sectors = 8000000; // 4.096 GB
        stick.node_bytes = 4096;
        return stick;
    }

private slots:
    void initTestCase()
    {
        QDir().mkpath(path("app/downloads"));
        logger::init(path("app").toStdString());
        m_image = image_builder::disk_image(5 * 1024 * 1024 + 1000, offset, 3);
        image_builder::write_file(path("release.gz"), image_builder::gzip(m_image));
    }

    void init() { QFile::remove(path("app/configuration.txt")); }

    void a_stop_while_waiting_for_the_folder()
    {
        folder_lock other_run(path("app/downloads").toStdString());
        QVERIFY(other_run.try_lock() == folder_lock::state::locked);
        QProcess cli;
        start(cli, {"--folder", path("app"), "--btc", btc, "--worker", "w(%d)", "--image", path("release.gz"),
                    "--target", path("waiting.img")},
              QProcessEnvironment::systemEnvironment());
        QTRY_VERIFY_WITH_TIMEOUT(cli.peek(4096).contains("waiting for another run using " + path("app").toUtf8()), 30000);
        QElapsedTimer stopped;
        stopped.start();
        ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
        QVERIFY(cli.waitForFinished(20000));
        QVERIFY2(stopped.elapsed() < 5000, qPrintable(QString::number(stopped.elapsed())));
        QCOMPARE(cli.exitCode(), 1);
        QVERIFY(!QFile::exists(path("waiting.img")));
    }

    void a_stop_during_inflation_leaves_no_partition_table()
    {
        // 3 GiB of image from a small archive: many members of zeros.
        QByteArray member = image_builder::gzip(QByteArray(64 << 20, '\0'), 9);
        QFile archive(path("huge.gz"));
        QVERIFY(archive.open(QIODevice::WriteOnly));
        for (int i = 0; i < 48; ++i)
            archive.write(member);
        archive.close();
        QTemporaryDir root;
        fake_system system(root.path());
        system.add_disk(big_stick());

        QProcess cli;
        start(cli, {"--folder", path("cli-app"), "--btc", btc, "--image", path("huge.gz"), "--device",
                    system.node("sdb"), "--yes"},
              system.environment());
        QTRY_VERIFY_WITH_TIMEOUT(image_builder::read_file(path("cli-app/KELVRA Flash Tool.log")).contains("Inflating: "),
                                 30000);
        QElapsedTimer stopped;
        stopped.start();
        ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
        QVERIFY(cli.waitForFinished(30000));
        const QByteArray output = cli.readAll();
        QVERIFY2(stopped.elapsed() < 5000, output.constData());
        QCOMPARE(cli.exitCode(), 1);
        QVERIFY(image_builder::read_file(path("cli-app/KELVRA Flash Tool.log")).contains("Inflation stopped"));
        // The stick was being written as the image was inflated: it is left without its first block.
        QVERIFY2(output.contains("canceled"), output.constData());
        QCOMPARE(image_builder::read_file(system.node("sdb")).left(4096), QByteArray(4096, '\0'));
        QCOMPARE(QDir(path("cli-app/downloads")).entryList(QDir::Files), QStringList());
        QFile::remove(path("huge.gz"));
    }

    void a_stop_during_preparation_ends_it()
    {
        // A disk that never settles within the run's patience: the stop must not wait for it.
        QTemporaryDir root;
        fake_system system(root.path());
        system.add_disk(big_stick());
        device_options options = system.options(20, 80, 15000, 2000);
        options.quiet_ms = 15000;
        cli_request request;
        std::string error;
        QVERIFY(parse_cli({"--btc", btc, "--image", path("release.gz"), "--device", system.node("sdb"), "--yes"}, request,
                          error));
        captured io;
        QFile(path("app/KELVRA Flash Tool.log")).resize(0);
        flash_session session(request, path("app").toStdString(), options, io.streams);
        QElapsedTimer clock;
        QTimer::singleShot(1000, &session, [&] {
            clock.start();
            session.cancel();
        });
        QCOMPARE(session.run(), 1);
        QVERIFY2(clock.isValid() && clock.elapsed() < 5000, qPrintable(io.all()));
        QVERIFY2(io.all().contains(QRegularExpression("sdb\\s+FAILED .*\\s+(port .*\\s+)?why: canceled")), qPrintable(io.all()));
        QVERIFY(!image_builder::read_file(path("app/KELVRA Flash Tool.log")).contains("Burning started\n"));
    }

    void a_closed_output_pipe_does_not_end_the_run()
    {
        QProcess shell;
        shell.start("bash", {"-c", QString("'%1' --folder '%2' --btc %3 --image '%4' --target '%5' 2>&1 | head -c 1 >/dev/null; "
                                           "echo ${PIPESTATUS[0]}")
                                       .arg(KELVRA_CLI, path("pipe-app"), btc, path("release.gz"), path("piped.img"))});
        QVERIFY(shell.waitForFinished(60000));
        QCOMPARE(shell.readAll().trimmed(), QByteArray("0"));
        QVERIFY(text_on(path("piped.img")).contains(btc));
    }

    void a_stop_during_verification_is_a_stop()
    {
        cli_request request;
        std::string error;
        QVERIFY(parse_cli({"--btc", btc, "--image", path("release.gz"), "--target", path("v.img"), "--verify"}, request,
                          error));
        captured io;
        flash_session* session = nullptr;
        flash_session run(request, path("app").toStdString(), device_options(), io.streams,
                          [&](const std::string& target) -> std::unique_ptr<disk_reader> {
                              return std::make_unique<stopping_reader>(open_disk_reader(target), session);
                          });
        session = &run;
        QCOMPARE(run.run(), 1);
        QVERIFY2(io.all().contains(QRegularExpression("v\\.img\\s+FAILED .*\\s+why: canceled")), qPrintable(io.all()));
    }

    void the_window_folder_is_the_default()
    {
        QTemporaryDir home;
        const QString folder = home.path() + "/.local/share/KELVRA Flash Tool";
        QDir().mkpath(folder);
        image_builder::write_file(folder + "/configuration.txt",
                                  QByteArray("{\"rig\": {\"btc\": \"") + btc + "\", \"worker\": \"rig(%d,3)\"}}");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", home.path());
        environment.remove("XDG_DATA_HOME");
        QProcess cli;
        start(cli, {"--image", path("release.gz"), "--target", path("home.img")}, environment);
        QVERIFY(cli.waitForFinished(60000));
        QVERIFY2(cli.exitCode() == 0, cli.readAll().constData());
        QVERIFY(text_on(path("home.img")).contains("\"worker\": \"rig4\""));
        QVERIFY(image_builder::read_file(folder + "/configuration.txt").contains("\"worker\": \"rig(%d,4)\""));
        QVERIFY(image_builder::read_file(folder + "/KELVRA Flash Tool.log").contains("kelvra-flash-cli version"));
        QVERIFY(!QFileInfo::exists(home.path() + "/.local/share/kelvra-flash-cli"));
    }

    void worker_numbers_are_given_once()
    {
        // Runs started together, with the saved name and with the same --worker.
        for (const QStringList& worker : {QStringList{}, QStringList{"--worker", "rig(%d)"}}) {
            image_builder::write_file(path("app/configuration.txt"),
                                      QByteArray("{\"rig\": {\"btc\": \"") + btc + "\", \"worker\": \"rig(%d)\"}}");
            QProcess runs[3];
            for (int i = 0; i < 3; ++i)
                start(runs[i], QStringList{"--folder", path("app"), "--image", path("release.gz"), "--target",
                                           path(QString("n%1.img").arg(i))} + worker,
                      QProcessEnvironment::systemEnvironment());
            std::set<QByteArray> names;
            for (QProcess& cli : runs) {
                QVERIFY(cli.waitForFinished(60000));
                QVERIFY2(cli.exitCode() == 0, cli.readAll().constData());
            }
            for (int i = 0; i < 3; ++i) {
                const QByteArray text = text_on(path(QString("n%1.img").arg(i)));
                names.insert(text.mid(text.indexOf("\"worker\": \""), 18));
            }
            QCOMPARE(names.size(), size_t(3));
            QVERIFY(image_builder::read_file(path("app/configuration.txt")).contains("\"worker\": \"rig(%d,3)\""));
        }

        // A name whose number would outgrow the 15-character limit is refused before anything, not
        // given to two sticks.
        image_builder::write_file(path("app/configuration.txt"), "{}");
        captured too_long;
        QCOMPARE(run({"--btc", btc, "--worker", "farm-row-b-9998", "--image", path("release.gz"), "--target",
                      path("l1.img"), "--target", path("l2.img"), "--target", path("l3.img")},
                     too_long),
                 2);
        QVERIFY2(too_long.all().contains("outgrows the 15-character limit"), qPrintable(too_long.all()));
        QVERIFY(!QFile::exists(path("l1.img")));
        QCOMPARE(image_builder::read_file(path("app/configuration.txt")), QByteArray("{}"));
        // The last name of a series is still given: only the name saved for later outgrows the limit.
        captured last_one;
        QCOMPARE(run({"--btc", btc, "--worker", "farm-row-b-9998", "--image", path("release.gz"), "--target",
                      path("l1.img"), "--target", path("l2.img")},
                     last_one),
                 0);
        QVERIFY(text_on(path("l2.img")).contains("\"worker\": \"farm-row-b-9999\""));

        // A run that waited for the folder takes the settings as they are when it gets it.
        {
            image_builder::write_file(path("app/configuration.txt"),
                                      QByteArray("{\"rig\": {\"btc\": \"") + btc + "\", \"group\": \"old\"}}");
            auto holder = std::make_unique<folder_lock>(path("app/downloads").toStdString());
            QVERIFY(holder->try_lock() == folder_lock::state::locked);
            QProcess cli;
            start(cli, {"--folder", path("app"), "--image", path("release.gz"), "--target", path("late.img")},
                  QProcessEnvironment::systemEnvironment());
            QTRY_VERIFY_WITH_TIMEOUT(cli.peek(4096).contains("waiting for another run"), 30000);
            image_builder::write_file(path("app/configuration.txt"),
                                      QByteArray("{\"rig\": {\"btc\": \"") + btc + "\", \"group\": \"new\"}}");
            holder.reset();
            QVERIFY(cli.waitForFinished(60000));
            QVERIFY2(cli.exitCode() == 0, cli.readAll().constData());
            QVERIFY(text_on(path("late.img")).contains("\"group\": \"new\""));
            QVERIFY(image_builder::read_file(path("app/configuration.txt")).contains("\"group\": \"new\""));
        }

        // Where the name cannot be saved, it cannot be reserved: nothing is written.
        QFile::remove(path("app/configuration.txt"));
        QDir().mkpath(path("app/configuration.txt"));
        captured io;
        QCOMPARE(run({"--btc", btc, "--worker", "rig(%d,5)", "--image", path("release.gz"), "--target", path("u.img")}, io),
                 2);
        QVERIFY2(io.all().contains("cannot save the settings to " + path("app") + "/configuration.txt"), qPrintable(io.all()));
        QVERIFY(!QFile::exists(path("u.img")));
        QDir(path("app/configuration.txt")).removeRecursively();
    }

    void a_drive_is_the_drive_it_names()
    {
        const QString here = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir.path()));
        captured twice;
        const int code = run({"--btc", btc, "--image", path("release.gz"), "--target", "x.img", "--target", "./x.img"}, twice);
        QDir::setCurrent(here);
        QCOMPARE(code, 2);
        QVERIFY2(twice.all().contains("are the same drive"), qPrintable(twice.all()));
        QVERIFY(!QFile::exists(path("x.img")));

        // A symlink to a file yet to be made names that file; the archive is never a target.
        QVERIFY(QFile::link(path("later.img"), path("dangling.img")));
        captured dangling;
        QCOMPARE(run({"--btc", btc, "--image", path("release.gz"), "--target", path("later.img"), "--target",
                      path("dangling.img")},
                     dangling),
                 2);
        QVERIFY(dangling.all().contains("are the same drive"));
        const QByteArray archive = image_builder::read_file(path("release.gz"));
        captured onto_archive;
        QCOMPARE(run({"--btc", btc, "--image", path("release.gz"), "--target", path("release.gz")}, onto_archive), 2);
        QVERIFY2(onto_archive.all().contains("is the archive named by --image"), qPrintable(onto_archive.all()));
        QVERIFY(image_builder::read_file(path("release.gz")) == archive);

        QTemporaryDir root;
        fake_system system(root.path());
        fake_system::disk_spec stick = big_stick();
        stick.node_bytes = 8 * 1024 * 1024;
        system.add_disk(stick);
        QDir().mkpath(root.path() + "/dev/disk/by-id");
        const QString by_id = root.path() + "/dev/disk/by-id/usb-SanDisk_Cruzer_Blade-0:0";
        QVERIFY(QFile::link("../../sdb", by_id));
        captured same;
        QCOMPARE(run({"--btc", btc, "--image", path("release.gz"), "--device", system.node("sdb"), "--device", by_id,
                      "--yes"},
                     same, system.options()),
                 2);
        QVERIFY(same.all().contains("are the same drive"));
        captured linked;
        QCOMPARE(run({"--btc", btc, "--image", path("release.gz"), "--device", by_id, "--yes"}, linked, system.options()), 0);
        QVERIFY(image_builder::read_file(system.node("sdb")).left(m_image.size())
                == image_builder::configured(m_image, offset, text_on(system.node("sdb"))));
    }

    void drives_are_prepared_at_once_and_each_goes_on_by_itself()
    {
        QTemporaryDir root;
        fake_system system(root.path());
        QStringList arguments{"--btc", btc, "--worker", "p(%d)", "--image", path("release.gz"), "--yes", "--verify"};
        for (const char* name : {"sdb", "sdc", "sdd"}) {
            fake_system::disk_spec stick = big_stick();
            stick.name = name;
            stick.dev = QString("8:%1").arg(16 * (name[2] - 'a'));
            stick.node_bytes = 8 * 1024 * 1024;
            system.add_disk(stick);
            arguments << "--device" << system.node(name);
        }
        device_options options = system.options(20, 80, 15000, 2000);
        options.quiet_ms = 2000;
        QFile(path("app/KELVRA Flash Tool.log")).resize(0);
        captured io;
        QCOMPARE(run(arguments, io, options), 0);
        for (const char* name : {"sdb", "sdc", "sdd"})
            QVERIFY2(io.all().contains(QRegularExpression(QString(name) + "\\s+ok ")), qPrintable(io.all()));

        // Each check of a wiped disk waits its 2 s of quiet; they overlap instead of following each other.
        QList<QDateTime> checks;
        for (const QByteArray& line : image_builder::read_file(path("app/KELVRA Flash Tool.log")).split('\n'))
            if (line.contains("Checking for drives after formating"))
                checks << QDateTime::fromString(QString::fromUtf8(line.mid(1, 23)), "yyyy-MM-dd HH:mm:ss.zzz");
        QCOMPARE(checks.size(), 3);
        QVERIFY(checks[0].isValid() && checks[2].isValid());
        QVERIFY2(checks[0].msecsTo(checks[2]) < 1500, qPrintable(QString::number(checks[0].msecsTo(checks[2]))));
    }

    void refusals_come_early_and_say_why()
    {
        // A pipe named as the archive would block its very open.
        QVERIFY(::mkfifo(path("pipe.gz").toUtf8().constData(), 0600) == 0);
        captured pipe;
        QCOMPARE(run({"--btc", btc, "--image", path("pipe.gz"), "--target", path("p.img")}, pipe), 2);
        QVERIFY2(pipe.all().contains("cannot read --image " + path("pipe.gz") + ": not a plain file"), qPrintable(pipe.all()));

        QTemporaryDir root;
        fake_system system(root.path());
        system.add_disk(big_stick());
        QFile::remove(system.node("sdb")); // listed by the kernel, but its node is gone
        for (const QString& image : QDir(path("app/downloads")).entryList({"local-*"}, QDir::Files))
            QFile::remove(path("app/downloads/") + image);
        captured gone;
        QCOMPARE(run({"--btc", btc, "--image", path("release.gz"), "--device", system.node("sdb"), "--yes"}, gone,
                     system.options()),
                 2);
        QVERIFY2(gone.all().contains("cannot write " + system.node("sdb") + ": not there"), qPrintable(gone.all()));
        QCOMPARE(QDir(path("app/downloads")).entryList({"local-*"}, QDir::Files), QStringList()); // nothing inflated

        // The running system's disk: marked in the list, refused before anything is fetched or reserved.
        fake_system::disk_spec with_root = big_stick();
        with_root.name = "sdc";
        with_root.dev = "8:32";
        with_root.partitions = QStringList{"sdc1=8:33"};
        system.add_disk(with_root);
        system.mount("0:31", "/", "/dev/sdc1"); // a btrfs-like anonymous number: only the source tells
        captured listing, system_disk;
        QCOMPARE(run({"--list"}, listing, system.options()), 0);
        QVERIFY2(listing.out().contains(system.node("sdc") + "\t2-1\t-\tSanDisk Cruzer Blade\t4096.0 MB\t(system disk)"),
                 qPrintable(listing.out()));
        QCOMPARE(run({"--btc", btc, "--worker", "sys(%d)", "--image", path("release.gz"), "--device", system.node("sdc"),
                      "--yes"}, system_disk, system.options()),
                 2);
        QVERIFY2(system_disk.all().contains(system.node("sdc") + " is the disk of the running system"),
                 qPrintable(system_disk.all()));
        QVERIFY(!QFile::exists(path("app/configuration.txt")));
        QCOMPARE(QDir(path("app/downloads")).entryList({"local-*"}, QDir::Files), QStringList());
        QCOMPARE(image_builder::read_file(system.node("sdc")), QByteArray(4096, '\xab'));
    }
};

QTEST_GUILESS_MAIN(test_cli_runs)
#include "test_cli_runs.moc"
