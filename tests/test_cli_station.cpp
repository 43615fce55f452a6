#include "cli_fixture.h"

#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

// The station as a farm runs it: a real process, sticks coming and going in a system tree of our
// own, and the record it keeps of them.
using namespace cli_test;

namespace {

// A terminal of the test's own size: what the program writes to it is played onto rows of text.
struct terminal {
    QStringList rows;
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK), row = 0, column = 0;
    QByteArray pending;

    terminal(int height, int width) : rows(QVector<QString>(height).toList())
    {
        const winsize size{static_cast<unsigned short>(height), static_cast<unsigned short>(width), 0, 0};
        if (grantpt(master) != 0 || unlockpt(master) != 0 || ioctl(master, TIOCSWINSZ, &size) != 0)
            qFatal("no pseudo-terminal");
    }
    ~terminal() { ::close(master); }
    QString screen()
    {
        char buffer[4096];
        for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) > 0;)
            pending.append(buffer, static_cast<int>(got));
        // Text, line ends, and the controls the board uses: up (A), clear the line (2K) and below (J).
        static const QRegularExpression piece("\\x1b\\[(\\d*)([AKJ])|\\r|\\n|[^\\x1b\\r\\n]+");
        const QString text = QString::fromUtf8(pending);
        int used = 0;
        for (QRegularExpressionMatchIterator it = piece.globalMatch(text); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            if (match.capturedStart() != used)
                break; // a control cut short: the rest comes with the next read
            used = match.capturedEnd();
            const QString part = match.captured(), command = match.captured(2);
            if (part == "\n" && ++row == rows.size()) // scrolls
                rows = rows.mid(1) << QString(), --row;
            if (part == "\r" || part == "\n")
                column = 0;
            else if (command == "A")
                row = std::max(0, row - std::max(1, match.captured(1).toInt()));
            else if (!command.isEmpty())
                for (int below = row; below < (command == "J" ? rows.size() : row + 1); ++below)
                    rows[below].truncate(below == row && command == "J" ? column : 0);
            else
                rows[row] = rows[row].leftJustified(column).replace(column, part.size(), part), column += part.size();
        }
        pending = text.mid(used).toUtf8();
        return rows.join('\n');
    }
};

} // namespace

class test_cli_station : public QObject {
    Q_OBJECT

    fixture f;

    QByteArray log(const QString& folder) const { return image_builder::read_file(folder + "/KELVRA Flash Tool.log"); }

private slots:
    void initTestCase() { f.image = image_builder::disk_image(5 * 1024 * 1024 + 700, offset, 19); }

    void sticks_are_flashed_as_they_come_until_a_stop()
    {
        usb_tree system({fixture::stick("sdb", 1, "PRESENT")}); // here before the station: left alone
        image_builder::write_file(f.path("names.csv"), "serial,worker\nSN-C,named-c\n2-3,port-b\n");

        QProcess cli;
        f.start(cli, {"--folder", f.path("app"), "--btc", btc, "--worker", "st(%d)", "--image", f.archive(), "--station",
                      "--max-size", "5000000000", "--names", f.path("names.csv")},
                system.environment());
        QTRY_VERIFY_WITH_TIMEOUT(cli.peek(1 << 16).contains("station: flashing 2.7.0"), 60000);

        // One, then three at once (one of them too large).
        system.add_disk(fixture::stick("sdc", 2, "SN-A"));
        QTRY_COMPARE_WITH_TIMEOUT(fixture::results(f.path("app")).size(), 1, 60000);
        fake_system::disk_spec large = fixture::stick("sdf", 5, "SN-LARGE");
        large.sectors = 12000000; // 6.1 GB
        system.add_disk(fixture::stick("sdd", 3, "SN-B"));
        system.add_disk(fixture::stick("sde", 4, "SN-C"));
        system.add_disk(large);
        QTRY_COMPARE_WITH_TIMEOUT(fixture::results(f.path("app")).size(), 3, 60000);

        // Three pulled (one more than come back, so that the count of sticks changes). The first comes
        // back: it gets its own name again. Another stick in the port listed for the second gets
        // nothing: that name has gone to a stick already.
        const QByteArray first_stick = image_builder::read_file(system.node("sdc"));
        for (const char* name : {"sdc", "sdd", "sde"})
            system.remove_disk(name);
        image_builder::write_file(system.node("sdi"), first_stick);
        fake_system::disk_spec again = fixture::stick("sdi", 2, "SN-A");
        again.node_bytes = 0; // its node is the one written above
        system.add_disk(again);
        system.add_disk(fixture::stick("sdj", 3, "SN-B2"));
        QTRY_COMPARE_WITH_TIMEOUT(fixture::results(f.path("app")).size(), 4, 60000);

        // A stick that goes while it is written: its writes fail part of the way (a small file
        // system fills up), and it leaves the system tree.
        const QString small = system.root.path() + "/small";
        QDir().mkpath(small);
        const bool can_pull = ::mount("tmpfs", small.toUtf8().constData(), "tmpfs", 0, "size=3m") == 0;
        if (can_pull) {
            QFile node(small + "/sdg");
            QVERIFY(node.open(QIODevice::WriteOnly) && node.resize(4 << 20));
            node.close();
            fake_system::disk_spec pulled = fixture::stick("sdg", 6, "SN-PULLED");
            pulled.node_bytes = 0;
            QVERIFY(QFile::link(small + "/sdg", system.node("sdg")));
            system.add_disk(pulled);
            QTRY_COMPARE_WITH_TIMEOUT(fixture::results(f.path("app")).size(), 5, 60000);
        } else {
            qWarning("mounting a small tmpfs needs root rights: the pulled stick is left out");
        }

        // A stop while a stick is being prepared: its partitions keep changing, so its preparation
        // does not end before the stop, however slow the machine.
        const QString last_worker = can_pull ? "st3" : "st2";
        system.add_disk(fixture::stick("sdh", 7, "SN-STOPPED"));
        const QString stopped_disk = QFileInfo(system.root.path() + "/sys/block/sdh").canonicalFilePath();
        QTimer churn;
        connect(&churn, &QTimer::timeout, this, [&] {
            QDir partition(stopped_disk + "/sdh1");
            if (partition.exists()) {
                partition.removeRecursively();
            } else {
                QDir().mkpath(partition.path());
                image_builder::write_file(partition.path() + "/partition", "1\n");
                image_builder::write_file(partition.path() + "/dev", "8:113\n");
            }
        });
        churn.start(100);
        QTRY_VERIFY_WITH_TIMEOUT(log(f.path("app")).contains("gets " + last_worker.toUtf8()), 60000);
        // Pulled only now: gone and plugged in between two looks, the count of sticks would not change.
        if (can_pull) {
            system.remove_disk("sdg");
            ::umount2(small.toUtf8().constData(), MNT_DETACH);
        }
        const finished_run ended = f.interrupt(cli);
        QVERIFY2(ended.code == 1 && ended.out.contains("left alone: " + system.node("sdf"))
                     && ended.out.contains("same stick again: " + system.node("sdi") + " (port 2-2, serial SN-A) gets st1 as before")
                     && ended.out.contains("left alone: " + system.node("sdj") + " (port 2-3, serial SN-B2): port-b, "
                                           "listed for 2-3, went to the stick SN-B already"),
                 qPrintable(ended.out));

        // The record, line by line: when, where, which stick, what, which name, how it ended.
        QList<QStringList> records = fixture::results(f.path("app"));
        std::stable_sort(records.begin(), records.end(), [](const QStringList& a, const QStringList& b) { return a.value(1) < b.value(1); });
        QStringList expected{"2-2,SN-A,4096000000,2.7.0,st1,ok", "2-2,SN-A,4096000000,2.7.0,st1,ok",
                             "2-3,SN-B,4096000000,2.7.0,port-b,ok", "2-4,SN-C,4096000000,2.7.0,named-c,ok",
                             "2-6,SN-PULLED,4096000000,2.7.0,st2,failed: ",
                             "2-7,SN-STOPPED,4096000000,2.7.0," + last_worker + ",failed: canceled"};
        if (!can_pull)
            expected.removeAt(4);
        QCOMPARE(records.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i)
            QVERIFY2(records[i].size() == 9 && records[i].mid(1, 6).join(',').startsWith(expected[i]) && records[i][7].toDouble() > 0
                         && QDateTime::fromString(records[i][0], Qt::ISODate).isValid() && records[i][0].size() > 19,
                     qPrintable(records[i].join(',')));

        // A good stick holds the image with its own name, byte for byte.
        QVERIFY(f.holds_image(system.node("sdi")) && fixture::worker_on(system.node("sdi")) == "st1");
        // Left alone: the stick that was there first, the large one and the one without a name. The
        // stopped one has no partition table; the numbers given stay given.
        for (const char* name : {"sdb", "sdf", "sdj"})
            QCOMPARE(image_builder::read_file(system.node(name)), QByteArray(8 << 20, '\xab'));
        QVERIFY(image_builder::read_file(system.node("sdh")).left(512) != f.image.left(512));
        const QByteArray saved = image_builder::read_file(f.path("app/configuration.txt"));
        QVERIFY2(saved.contains(QString("\"worker\": \"st(%d,%1)\"").arg(can_pull ? 3 : 2).toUtf8()), saved.constData());
    }

    void a_station_downloads_its_image_and_names_only_listed_sticks()
    {
        http_test_server server;
        f.serve(server, "3.1.0");
        image_builder::write_file(f.path("late.csv"), "serial,worker\nSN-LATE,rack-7\n");
        usb_tree system;
        QProcess cli;
        f.start(cli, {"--folder", f.path("late"), "--btc", btc, "--station", "--names", f.path("late.csv")},
                fixture::served_by(server, system.environment()));
        QTRY_VERIFY_WITH_TIMEOUT(cli.peek(1 << 16).contains("station: flashing 3.1.0"), 60000);

        // Listed by the system, but its node not made yet when the station first looks at it.
        fake_system::disk_spec late = fixture::stick("sdc", 2, "SN-LATE");
        late.node_bytes = 0;
        system.add_disk(late);
        QTRY_VERIFY_WITH_TIMEOUT(log(f.path("late")).contains("USB dev:"), 60000);
        image_builder::write_file(system.node("sdc"), QByteArray(8 << 20, '\xab'));
        QTRY_COMPARE_WITH_TIMEOUT(fixture::results(f.path("late")).size(), 1, 60000);
        // No counter, and not listed: no name to give.
        system.add_disk(fixture::stick("sdd", 3, "SN-UNLISTED"));
        QTRY_VERIFY_WITH_TIMEOUT(cli.peek(1 << 16).contains("left alone: " + system.node("sdd").toUtf8()), 60000);

        const finished_run ended = f.interrupt(cli);
        QVERIFY2(ended.code == 0 && ended.out.contains("downloading the image: ")
                     && ended.out.contains("(port 2-3, serial SN-UNLISTED): no name to give"), qPrintable(ended.out));
        QCOMPARE(fixture::results(f.path("late"))[0].mid(4, 3), (QStringList{"3.1.0", "rack-7", "ok"}));
        QCOMPARE(fixture::worker_on(system.node("sdc")), QString("rack-7"));
        QCOMPARE(image_builder::read_file(system.node("sdd")), QByteArray(8 << 20, '\xab'));
    }

    void the_board_shows_the_sticks_there_however_many_came_and_went()
    {
        usb_tree system;
        terminal screen(6, 200);
        QProcess cli;
        cli.setProcessEnvironment(system.environment());
        cli.setStandardErrorFile(QString::fromLatin1(ptsname(screen.master)));
        cli.start(KELVRA_CLI, {"--folder", f.path("board"), "--btc", btc, "--worker", "b(%d)", "--image",
                               f.archive(), "--station", "--max-size", "5000000000"});
        QTRY_VERIFY_WITH_TIMEOUT(screen.screen().contains("station: flashing"), 60000);
        // Seven sticks one at a time, all left in: more than the screen holds. The first is listed
        // by the system before its node is made: it is flashed once it is.
        for (int i = 1; i <= 7; ++i) {
            fake_system::disk_spec disk = fixture::stick(QString("sd") + QChar('b' + i), i, QString("SN-%1").arg(i));
            disk.node_bytes = i == 1 ? 0 : disk.node_bytes;
            system.add_disk(disk);
            if (i == 1) {
                QTRY_VERIFY_WITH_TIMEOUT(image_builder::read_file(f.path("board/KELVRA Flash Tool.log")).contains("USB dev:"), 60000);
                image_builder::write_file(system.node("sdc"), QByteArray(8 << 20, '\xab'));
            }
            QTRY_VERIFY2_WITH_TIMEOUT(screen.screen().contains(QString("sticks: %1 done").arg(i)), qPrintable(screen.screen()), 60000);
        }
        QVERIFY2(screen.screen().contains("sticks: 7 done, 0 failed, 0 running, 3 more not shown"), qPrintable(screen.screen()));
        QVERIFY(image_builder::read_file(system.node("sdc")).left(static_cast<int>(offset)) == f.image.left(static_cast<int>(offset)));
        // All but the last pulled: the board redraws in place with the one still there, once.
        for (int i = 1; i <= 6; ++i)
            system.remove_disk(QString("sd") + QChar('b' + i));
        QTRY_VERIFY2_WITH_TIMEOUT(screen.screen().count("SN-") == 1 && screen.screen().contains("2-7 SN-7 b7 ")
                                      && screen.screen().contains("done, safe to pull\nsticks: 7 done, 0 failed, 0 running\n"),
                                  qPrintable(screen.screen()), 60000);
        // A message stands above the board: no line of an older board stays behind above it.
        fake_system::disk_spec large = fixture::stick("sdj", 9, "SN-LARGE");
        large.sectors = 12000000;
        system.add_disk(large);
        const auto board_below = [&](const QString& text) {
            const QString above = text.left(text.indexOf("left alone: " + system.node("sdj"))), below = text.mid(above.size());
            return !below.isEmpty() && !above.contains(QRegularExpression("SN-|sticks:")) && below.contains(QRegularExpression("SN-7.*\n.*sticks:"));
        };
        QTRY_VERIFY2_WITH_TIMEOUT(board_below(screen.screen()), qPrintable(screen.screen()), 60000);

        // Swapped within one look for another stick, which takes over its path: flashed as well.
        system.remove_disk("sdi");
        system.add_disk(fixture::stick("sdi", 7, "SN-SWAPPED"));
        QTRY_VERIFY2_WITH_TIMEOUT(screen.screen().contains("sticks: 8 done"), qPrintable(screen.screen()), 60000);
        ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
        QTRY_VERIFY_WITH_TIMEOUT((screen.screen(), cli.state() == QProcess::NotRunning), 60000);
        QCOMPARE(cli.exitCode(), 0);
        QCOMPARE(image_builder::read_file(f.path("board/KELVRA Flash Tool.log")).count("Station left alone"), 1);
        QCOMPARE(QString(cli.readAllStandardOutput()).count(QRegularExpression(" ok +b[1-8] ")), 8);
    }
};

QTEST_GUILESS_MAIN(test_cli_station)
#include "test_cli_station.moc"
