#include "cli_fixture.h"

#include "src/core/logger.h"
#include "src/image/folder_lock.h"

#include <QtTest>

#include <set>
#include <sys/stat.h>
#include <unistd.h>

// What a headless run promises: a stop stops, a worker number is given once, a drive is the
// drive it names, and a refusal comes early and says why.
using namespace cli_test;

namespace {

void save_settings_text(const QString& folder, const QByteArray& rig)
{
    image_builder::write_file(folder + "/configuration.txt", "{\"rig\": {\"btc\": \"" + QByteArray(btc) + "\"" + rig + "}}");
}

} // namespace

class test_cli_runs : public QObject {
    Q_OBJECT

    fixture f;
    http_test_server m_server;
    QString m_log;

private slots:
    void initTestCase()
    {
        QDir().mkpath(f.path("app/downloads"));
        logger::init(f.path("app").toStdString());
        m_log = f.path("app/KELVRA Flash Tool.log");
        // Runs without --image fetch the latest release from here.
        f.serve(m_server, "2.7.1");
        qputenv("KELVRA_RELEASE_API", m_server.base_url().toUtf8());
        qputenv("KELVRA_IMAGE_SERVER", m_server.base_url().toUtf8());
    }

    void init() { QFile::remove(f.path("app/configuration.txt")); }

    void a_stop_in_any_phase_ends_the_run()
    {
        // Waiting for the folder held by another run: the stop does not wait for it.
        {
            folder_lock other_run(f.path("app/downloads").toStdString());
            QVERIFY(other_run.try_lock() == folder_lock::state::locked);
            QProcess cli;
            f.start(cli, {"--folder", f.path("app"), "--btc", btc, "--worker", "w(%d)", "--image", f.archive(),
                          "--target", f.path("waiting.img")});
            QVERIFY(f.stops(cli, [&] { return cli.peek(4096).contains("waiting for another run using " + f.path("app").toUtf8()); }, ""));
            QVERIFY(!QFile::exists(f.path("waiting.img")));
        }
        // While 3 GiB are inflated from a small archive (a first MiB of data, then many members of zeros),
        // and the stick written as it is made: it is left without its first block.
        const QByteArray data = image_builder::gzip(QByteArray(1 << 20, 'Z'), 1);
        image_builder::write_file(f.path("huge.gz"), data + image_builder::gzip(QByteArray(64 << 20, '\0'), 9).repeated(48));
        usb_tree system({fixture::stick("sdb", 1, "")});
        QProcess cli;
        f.start(cli, {"--folder", f.path("cli-app"), "--btc", btc, "--image", f.path("huge.gz"), "--device", system.node("sdb"), "--yes"},
                system.environment());
        const QString log = f.path("cli-app/KELVRA Flash Tool.log");
        QVERIFY(f.stops(cli, [&] { return image_builder::read_file(log).contains("Following the image as it is inflated: 1"); }, "canceled"));
        QVERIFY(image_builder::read_file(log).contains("Inflation stopped"));
        QCOMPARE(f.results(f.path("cli-app")).value(0).value(6), QString("failed: canceled"));
        QCOMPARE(image_builder::read_file(system.node("sdb")).left(4096), QByteArray(4096, '\0'));
        QCOMPARE(QDir(f.path("cli-app/downloads")).entryList(QDir::Files), QStringList());
        QFile::remove(f.path("huge.gz"));
    }

    void a_stop_during_preparation_or_verification_ends_it()
    {
        // A disk that never settles within the run's patience: the stop must not wait for it.
        usb_tree system({fixture::stick("sdb", 1, "")});
        device_options options = system.options(20, 80, 15000, 2000);
        options.quiet_ms = 15000;
        QFile(m_log).resize(0);
        QElapsedTimer clock;
        const finished_run preparing = f.run(f.flash({"--device", system.node("sdb"), "--yes"}), options, open_disk_reader,
                                             [&](flash_session& session) {
                                                 QTimer::singleShot(1000, &session, [&] {
                                                     clock.start();
                                                     session.cancel();
                                                 });
                                             });
        // Well short of the 15 s the disk would otherwise be waited for, however busy the machine.
        QVERIFY2(preparing.code == 1 && clock.isValid() && clock.elapsed() < 12000, qPrintable(preparing.all()));
        QVERIFY2(preparing.all().contains(QRegularExpression("sdb\\s+FAILED .*\\s+(port .*\\s+)?why: canceled")), qPrintable(preparing.all()));
        QVERIFY(!image_builder::read_file(m_log).contains("Burning started\n"));

        // Ctrl-C after a few blocks read back.
        flash_session* running = nullptr;
        int reads = 0;
        const finished_run verifying = f.run(f.flash({"--target", f.path("v.img"), "--verify"}), device_options(),
            watched_reader::factory([&](uint64_t, unsigned char*, size_t) {
                if (++reads == 3)
                    running->cancel();
            }),
            [&](flash_session& session) { running = &session; });
        QVERIFY2(verifying.code == 1 && verifying.all().contains(QRegularExpression("v\\.img\\s+FAILED .*\\s+why: canceled")),
                 qPrintable(verifying.all()));
    }

    void a_closed_output_pipe_does_not_end_the_run()
    {
        QProcess shell;
        shell.start("bash", {"-c", QString("'%1' --folder '%2' --btc %3 --image '%4' --target '%5' 2>&1 | head -c 1 >/dev/null; "
                                           "echo ${PIPESTATUS[0]}")
                                       .arg(KELVRA_CLI, f.path("pipe-app"), btc, f.archive(), f.path("piped.img"))});
        QVERIFY(shell.waitForFinished(60000));
        QCOMPARE(shell.readAll().trimmed(), QByteArray("0"));
        QVERIFY(fixture::text_on(f.path("piped.img")).contains(btc));
    }

    void the_window_folder_is_the_default_also_under_sudo()
    {
        QTemporaryDir home;
        const QString folder = home.path() + "/.local/share/KELVRA Flash Tool";
        QDir().mkpath(folder);
        save_settings_text(folder, ", \"worker\": \"rig(%d,3)\"");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", home.path());
        environment.remove("XDG_DATA_HOME");
        QVERIFY(f.ended(f.run_process({"--image", f.archive(), "--target", f.path("home.img")}, environment), 0, ""));
        QCOMPARE(fixture::worker_on(f.path("home.img")), QString("rig4"));
        QVERIFY(image_builder::read_file(folder + "/configuration.txt").contains("\"worker\": \"rig(%d,4)\""));
        QVERIFY(image_builder::read_file(folder + "/KELVRA Flash Tool.log").contains("kelvra-flash-cli version"));
        QVERIFY(!QFileInfo::exists(home.path() + "/.local/share/kelvra-flash-cli"));

        // Root working for a user (sudo, pkexec): what it makes in the user's folder is the user's.
        if (geteuid() != 0)
            QSKIP("handing files to another user needs root rights");
        const QString user_folder = f.path("user-app");
        QDir().mkpath(user_folder);
        QVERIFY(::chown(user_folder.toUtf8().constData(), 65534, 65534) == 0);
        QVERIFY(f.ended(f.run_process(f.flash({"--folder", user_folder, "--worker", "u(%d)", "--target", f.path("user.img")})), 0, ""));
        int items = 0;
        for (QDirIterator it(user_folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories); it.hasNext(); ++items) {
            struct stat info;
            const QString item = it.next();
            QVERIFY2(::lstat(item.toUtf8().constData(), &info) == 0 && info.st_uid == 65534, qPrintable(item));
        }
        QVERIFY(items > 5);
    }

    void worker_numbers_are_given_once()
    {
        // Runs started together, with the saved name and with the same --worker.
        for (const QStringList& worker : {QStringList{}, QStringList{"--worker", "rig(%d)"}}) {
            save_settings_text(f.path("app"), ", \"worker\": \"rig(%d)\"");
            QProcess runs[3];
            for (int i = 0; i < 3; ++i)
                f.start(runs[i], QStringList{"--folder", f.path("app"), "--image", f.archive(), "--target",
                                             f.path(QString("n%1.img").arg(i))} + worker);
            std::set<QString> names;
            for (int i = 0; i < 3; ++i) {
                QVERIFY(f.ended(f.finish(runs[i]), 0, ""));
                names.insert(fixture::worker_on(f.path(QString("n%1.img").arg(i))));
            }
            QCOMPARE(names, (std::set<QString>{"rig1", "rig2", "rig3"}));
            QVERIFY(image_builder::read_file(f.path("app/configuration.txt")).contains("\"worker\": \"rig(%d,3)\""));
        }
        // A plain name is given as it is written, whatever the saved one: no counter, no series.
        save_settings_text(f.path("app"), ", \"worker\": \"rig8\"");
        QCOMPARE(f.run({"--worker", "rig3", "--image", f.archive(), "--target", f.path("p.img")}).code, 0);
        QCOMPARE(fixture::worker_on(f.path("p.img")), QString("rig3"));
        // Nor does it lose the place of the folder's counter: the series goes on where it was.
        save_settings_text(f.path("app"), ", \"worker\": \"rig(%d,10)\"");
        QCOMPARE(f.run({"--worker", "farm7", "--image", f.archive(), "--target", f.path("p.img")}).code, 0);
        QCOMPARE(f.run({"--worker", "rig(%d,3)", "--image", f.archive(), "--target", f.path("p.img")}).code, 0);
        QCOMPARE(fixture::worker_on(f.path("p.img")), QString("rig11"));

        // A name whose number would outgrow the 15-character limit is refused before anything, not
        // given to two sticks; the last name of a series is still given.
        const QStringList long_name = f.flash({"--worker", "farm-row-b-9998", "--target", f.path("l1.img"), "--target", f.path("l2.img")});
        image_builder::write_file(f.path("app/configuration.txt"), "{}");
        QVERIFY(f.says(long_name + QStringList{"--target", f.path("l3.img")}, 2, "outgrows the 15-character limit"));
        QVERIFY(!QFile::exists(f.path("l1.img")));
        QCOMPARE(image_builder::read_file(f.path("app/configuration.txt")), QByteArray("{}"));
        QCOMPARE(f.run(long_name).code, 0);
        QCOMPARE(fixture::worker_on(f.path("l2.img")), QString("farm-row-b-9999"));

        // A run that waited for the folder takes the settings as they are when it gets it.
        save_settings_text(f.path("app"), ", \"group\": \"old\"");
        auto holder = std::make_unique<folder_lock>(f.path("app/downloads").toStdString());
        QVERIFY(holder->try_lock() == folder_lock::state::locked);
        QProcess late;
        f.start(late, {"--folder", f.path("app"), "--image", f.archive(), "--target", f.path("late.img")});
        QTRY_VERIFY_WITH_TIMEOUT(late.peek(4096).contains("waiting for another run"), 60000);
        save_settings_text(f.path("app"), ", \"group\": \"new\"");
        holder.reset();
        QCOMPARE(f.finish(late).code, 0);
        QVERIFY(fixture::text_on(f.path("late.img")).contains("\"group\": \"new\""));

        // Where the name cannot be saved, it cannot be reserved: nothing is written.
        QFile::remove(f.path("app/configuration.txt"));
        QDir().mkpath(f.path("app/configuration.txt"));
        QVERIFY(f.says(f.flash({"--worker", "rig(%d,5)", "--target", f.path("u.img")}), 2, "cannot save the settings to " + f.path("app") + "/configuration.txt"));
        QVERIFY(!QFile::exists(f.path("u.img")));
        QDir(f.path("app/configuration.txt")).removeRecursively();
    }

    void a_drive_is_the_drive_it_names()
    {
        const QString here = QDir::currentPath();
        QVERIFY(QDir::setCurrent(f.dir.path()));
        const bool refused = f.says(f.flash({"--target", "x.img", "--target", "./x.img"}), 2, "are the same drive");
        QDir::setCurrent(here);
        QVERIFY(refused);
        QVERIFY(!QFile::exists(f.path("x.img")));

        // A symlink to a file yet to be made names that file; the archive is never a target.
        QVERIFY(QFile::link(f.path("later.img"), f.path("dangling.img")));
        QVERIFY(f.says(f.flash({"--target", f.path("later.img"), "--target", f.path("dangling.img")}), 2, "are the same drive"));
        QVERIFY(f.says(f.flash({"--target", f.archive()}), 2, "is the archive named by --image"));

        usb_tree system({fixture::stick("sdb", 1, "SN-1")});
        QDir().mkpath(system.root.path() + "/dev/disk/by-id");
        const QString by_id = system.root.path() + "/dev/disk/by-id/usb-SanDisk_Cruzer_Blade-0:0";
        QVERIFY(QFile::link("../../sdb", by_id));
        QVERIFY(f.says(f.flash({"--device", system.node("sdb"), "--device", by_id, "--yes"}), 2, "are the same drive", system.options()));
        // Written through its link, with the latest release downloaded, and recorded by its port and serial.
        QFile::remove(f.path("app/results.csv"));
        QCOMPARE(f.run({"--btc", btc, "--worker", "d(%d)", "--device", by_id, "--yes"}, system.options()).code, 0);
        QVERIFY(f.holds_image(system.node("sdb")));
        QCOMPARE(fixture::results(f.path("app")).value(0).mid(1, 8),
                 (QStringList{"2-1", "SN-1", "4096000000", "2.7.1", "d1", "ok", fixture::results(f.path("app"))[0][7], by_id}));
    }

    void drives_are_prepared_at_once_and_each_goes_on_by_itself()
    {
        usb_tree system;
        QStringList arguments{"--btc", btc, "--worker", "p(%d)", "--image", f.archive(), "--yes", "--verify"};
        for (int i = 1; i <= 3; ++i) {
            const QString name = QString("sd") + QChar('a' + i);
            system.add_disk(fixture::stick(name, i, ""));
            arguments << "--device" << system.node(name);
        }
        device_options options = system.options(20, 80, 15000, 2000);
        options.quiet_ms = 2000;
        QFile(m_log).resize(0);
        const finished_run done = f.run(arguments, options);
        QVERIFY2(done.code == 0 && done.out.count(QRegularExpression("sd[bcd]\\s+ok ")) == 3, qPrintable(done.all()));

        // Each check of a wiped disk waits its 2 s of quiet; they overlap instead of following each other
        // (one after the other, the third would begin 4 s after the first).
        QList<QDateTime> checks;
        for (const QByteArray& line : image_builder::read_file(m_log).split('\n'))
            if (line.contains("Checking for drives after formating"))
                checks << QDateTime::fromString(QString::fromUtf8(line.mid(1, 23)), "yyyy-MM-dd HH:mm:ss.zzz");
        QCOMPARE(checks.size(), 3);
        QVERIFY2(checks[0].isValid() && checks[2].isValid() && checks[0].msecsTo(checks[2]) < 3000,
                 qPrintable(QString::number(checks[0].msecsTo(checks[2]))));
    }

    void refusals_come_early_and_say_why()
    {
        // A pipe named as the archive would block its very open.
        QVERIFY(::mkfifo(f.path("pipe.gz").toUtf8().constData(), 0600) == 0);
        QVERIFY(f.says({"--btc", btc, "--image", f.path("pipe.gz"), "--target", f.path("p.img")}, 2,
                       "cannot read --image " + f.path("pipe.gz") + ": not a plain file"));

        usb_tree system({fixture::stick("sdb", 1, "")});
        QFile::remove(system.node("sdb")); // listed by the kernel, but its node is gone
        for (const QString& image : QDir(f.path("app/downloads")).entryList({"local-*"}, QDir::Files))
            QFile::remove(f.path("app/downloads/") + image);
        QVERIFY(f.says(f.flash({"--device", system.node("sdb"), "--yes"}), 2, "cannot write " + system.node("sdb") + ": not there", system.options()));
        QCOMPARE(QDir(f.path("app/downloads")).entryList({"local-*"}, QDir::Files), QStringList()); // nothing inflated

        // The running system's disk: marked in the list, refused before anything is fetched or reserved.
        fake_system::disk_spec with_root = fixture::stick("sdc", 2, "");
        with_root.partitions = QStringList{"sdc1=8:33"};
        system.add_disk(with_root);
        system.mount("0:31", "/", "/dev/sdc1"); // a btrfs-like anonymous number: only the source tells
        const finished_run listing = f.run({"--list"}, system.options());
        QVERIFY2(listing.out.contains(QRegularExpression(QRegularExpression::escape(system.node("sdc")) + "\t.*\t\\(system disk\\)\n")),
                 qPrintable(listing.all()));
        QVERIFY(f.says(f.flash({"--worker", "sys(%d)", "--device", system.node("sdc"), "--yes"}), 2, system.node("sdc") + " is the disk of the running system", system.options()));
        QCOMPARE(QDir(f.path("app/downloads")).entryList({"local-*"}, QDir::Files), QStringList());
        QCOMPARE(image_builder::read_file(system.node("sdc")), QByteArray(8 << 20, '\xab'));
    }
};

QTEST_GUILESS_MAIN(test_cli_runs)
#include "test_cli_runs.moc"
