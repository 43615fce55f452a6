#include "fake_system.h"
#include "image_builder.h"

#include "src/cli/station_records.h"

#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

// The station as a farm runs it: a real process, sticks coming and going in a system tree of our
// own, and the record it keeps of them.
namespace {

const char* const btc = "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2";
const quint64 offset = 1048576;

bool any_name(const std::string&)
{
    return true;
}

// A terminal of the test's own size: what the program writes to it is played onto rows of text.
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

    QTemporaryDir m_dir;
    QByteArray m_image;

    QString path(const QString& name) const { return m_dir.path() + "/" + name; }

    static fake_system::disk_spec stick(const QString& name, int number, const QString& serial)
    {
        fake_system::disk_spec disk;
        disk.name = name;
        disk.dev = QString("8:%1").arg(16 * number);
        disk.port = QString("2-%1").arg(number);
        disk.serial = serial;
        disk.sectors = 8000000;        // 4.096 GB as the kernel says
        disk.node_bytes = 8 << 20;     // what the test keeps of it
        return disk;
    }

    // The records of station.csv, without its header (checked to be there, once, first).
    QList<QStringList> records() const
    {
        const QList<QByteArray> lines = image_builder::read_file(path("app/station.csv")).split('\n');
        QList<QStringList> found;
        for (int i = 1; i < lines.size(); ++i)
            if (!lines[i].isEmpty())
                found << QString::fromUtf8(lines[i]).split(',');
        if (!lines.isEmpty() && lines[0] != station_csv_header)
            found.clear();
        return found;
    }
    QStringList record_of(const QString& port) const
    {
        for (const QStringList& record : records())
            if (record.size() == 8 && record[1] == port)
                return record;
        return {};
    }

private slots:
    void initTestCase()
    {
        m_image = image_builder::disk_image(5 * 1024 * 1024 + 700, offset, 19);
        image_builder::write_file(path("kelvra-3.1.0.img.gz"), image_builder::gzip(m_image));
    }

    void names_and_records_as_text()
    {
        station_names names;
        std::string error;
        QVERIFY(parse_station_names("port,worker\n# hub A\n2-1.3, rack-a1\r\nSN0042,rack-b7\n\n", names, error, any_name));
        QCOMPARE(QString::fromStdString(names.lookup("2-1.3", "SN0042")), QString("rack-a1")); // the port first
        QCOMPARE(QString::fromStdString(names.lookup("2-9", "SN0042")), QString("rack-b7"));
        QCOMPARE(QString::fromStdString(names.lookup("", "")), QString());
        // Spreadsheets save "CSV UTF-8" with a byte order mark before the first key.
        station_names marked;
        QVERIFY(parse_station_names("\xef\xbb\xbf" "2-1.3,rack-a1\r\n", marked, error, any_name));
        QCOMPARE(QString::fromStdString(marked.lookup("2-1.3", "")), QString("rack-a1"));
        for (const char* bad : {"2-1,a\n2-1,b\n", "2-1\n", "2-1,rig(%d)\n", ",x\n"}) {
            station_names refused;
            QVERIFY2(!parse_station_names(bad, refused, error, any_name), bad);
            QVERIFY(error.rfind("line ", 0) == 0);
        }

        station_record record;
        record.time = "2026-12-07T10:00:00+01:00";
        record.port = "2-1";
        record.size = 4096000000;
        record.tag = "2.7.0";
        record.worker = "rig1";
        record.result = "failed: busy, \"locked\"";
        record.seconds = 12.345;
        QCOMPARE(QString::fromStdString(station_csv_line(record)),
                 QString("2026-12-07T10:00:00+01:00,2-1,,4096000000,2.7.0,rig1,\"failed: busy, \"\"locked\"\"\",12.4"));
        // A stick handled for a few milliseconds never reads as not handled at all.
        record.seconds = 0.004;
        QVERIFY(station_csv_line(record).substr(station_csv_line(record).rfind(',')) == ",0.1");
    }

    void sticks_are_flashed_as_they_come_until_a_stop()
    {
        QTemporaryDir root;
        fake_system system(root.path());
        system.add_disk(stick("sdb", 1, "PRESENT")); // here before the station: left alone
        image_builder::write_file(path("names.csv"), "serial,worker\nSN-C,named-c\n2-3,port-b\n");

        QProcess cli;
        cli.setProcessChannelMode(QProcess::MergedChannels);
        cli.setProcessEnvironment(system.environment());
        cli.start(KELVRA_CLI, {"--folder", path("app"), "--btc", btc, "--worker", "st(%d)", "--image",
                               path("kelvra-3.1.0.img.gz"), "--station", "--max-size", "5000000000", "--names",
                               path("names.csv")});
        QTRY_VERIFY_WITH_TIMEOUT(cli.peek(1 << 16).contains("station: flashing kelvra-3.1.0.img"), 60000);

        // One, then three at once (one of them too large), then one that is pulled while written.
        system.add_disk(stick("sdc", 2, "SN-A"));
        QTRY_COMPARE_WITH_TIMEOUT(records().size(), 1, 60000);
        fake_system::disk_spec large = stick("sdf", 5, "SN-LARGE");
        large.sectors = 12000000; // 6.1 GB
        system.add_disk(stick("sdd", 3, "SN-B"));
        system.add_disk(stick("sde", 4, "SN-C"));
        system.add_disk(large);
        QTRY_COMPARE_WITH_TIMEOUT(records().size(), 3, 60000);

        // A stick that goes while it is written: its writes fail part of the way (a small file
        // system fills up), and it leaves the system tree.
        const QString small = root.path() + "/small";
        QDir().mkpath(small);
        const bool can_pull = ::mount("tmpfs", small.toUtf8().constData(), "tmpfs", 0, "size=3m") == 0;
        if (can_pull) {
            QFile node(small + "/sdg");
            QVERIFY(node.open(QIODevice::WriteOnly) && node.resize(4 << 20));
            node.close();
            fake_system::disk_spec pulled = stick("sdg", 6, "SN-PULLED");
            pulled.node_bytes = 0;
            QVERIFY(QFile::link(small + "/sdg", system.node("sdg")));
            system.add_disk(pulled);
            QTRY_COMPARE_WITH_TIMEOUT(records().size(), 4, 60000);
        } else {
            qWarning("mounting a small tmpfs needs root rights: the pulled stick is left out");
        }

        // A stop while a stick is being prepared: its partitions keep changing, so its preparation
        // does not end before the stop, however slow the machine.
        const QString last_worker = can_pull ? "st3" : "st2";
        system.add_disk(stick("sdh", 7, "SN-STOPPED"));
        const QString stopped_disk = QFileInfo(root.path() + "/sys/block/sdh").canonicalFilePath();
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
        QTRY_VERIFY_WITH_TIMEOUT(image_builder::read_file(path("app/KELVRA Flash Tool.log")).contains("gets " + last_worker.toUtf8()),
                                 60000);
        // Pulled only now: gone and plugged in between two looks, the count of sticks would not change.
        if (can_pull) {
            system.remove_disk("sdg");
            ::umount2(small.toUtf8().constData(), MNT_DETACH);
        }
        ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
        QVERIFY(cli.waitForFinished(30000));
        const QString output = QString::fromUtf8(cli.readAll());
        QCOMPARE(cli.exitCode(), 1);
        QVERIFY2(output.contains("left alone: " + system.node("sdf")), qPrintable(output));

        // The record, line by line: when, where, which stick, what, which name, how it ended.
        const QByteArray last = last_worker.toUtf8();
        const QList<QStringList> all = records();
        QCOMPARE(all.size(), can_pull ? 5 : 4);
        const struct {
            const char* port;
            const char* serial;
            const char* worker;
            const char* result;
        } expected[] = {{"2-2", "SN-A", "st1", "ok"},
                        {"2-3", "SN-B", "port-b", "ok"},
                        {"2-4", "SN-C", "named-c", "ok"},
                        {"2-6", "SN-PULLED", "st2", "failed: "},
                        {"2-7", "SN-STOPPED", last.constData(), "failed: canceled"}};
        for (const auto& stick : expected) {
            if (!can_pull && QString(stick.port) == "2-6")
                continue;
            const QStringList record = record_of(stick.port);
            const QString line = QString("port %1: %2").arg(stick.port, record.join(','));
            QVERIFY2(record.size() == 8, qPrintable(line));
            QVERIFY2(QDateTime::fromString(record[0], Qt::ISODate).isValid() && record[0].size() > 19, qPrintable(line));
            QVERIFY2(record[2] == stick.serial && record[3] == "4096000000" && record[4] == "kelvra-3.1.0.img"
                         && record[5] == stick.worker && record[6].startsWith(stick.result) && record[7].toDouble() > 0,
                     qPrintable(line));
        }

        // Every good stick holds the image with its own name, byte for byte.
        for (const QString& name : {QString("sdc"), QString("sdd"), QString("sde")}) {
            const QByteArray written = image_builder::read_file(system.node(name));
            const QStringList record = record_of(QString("2-%1").arg(name.at(2).unicode() - 'a'));
            QVERIFY(written.left(m_image.size()).mid(0, static_cast<int>(offset)) == m_image.left(static_cast<int>(offset)));
            QVERIFY(written.mid(static_cast<int>(offset) + 2048, m_image.size() - static_cast<int>(offset) - 2048)
                    == m_image.mid(static_cast<int>(offset) + 2048));
            QVERIFY2(written.mid(static_cast<int>(offset), 2048).contains("\"worker\": \"" + record[5].toUtf8() + "\""),
                     qPrintable(name));
        }
        // Left alone: the stick that was there first and the large one. The stopped one has no
        // partition table; the numbers given stay given.
        QCOMPARE(image_builder::read_file(system.node("sdb")), QByteArray(8 << 20, '\xab'));
        QCOMPARE(image_builder::read_file(system.node("sdf")), QByteArray(8 << 20, '\xab'));
        QVERIFY(image_builder::read_file(system.node("sdh")).left(512) != m_image.left(512));
        const QByteArray saved = image_builder::read_file(path("app/configuration.txt"));
        QVERIFY2(saved.contains(QString("\"worker\": \"st(%d,%1)\"").arg(can_pull ? 3 : 2).toUtf8()), saved.constData());
    }

    void the_board_shows_the_sticks_there_however_many_came_and_went()
    {
        QTemporaryDir root;
        fake_system system(root.path());
        terminal screen(6, 200);
        QProcess cli;
        cli.setProcessEnvironment(system.environment());
        cli.setStandardErrorFile(QString::fromLatin1(ptsname(screen.master)));
        cli.start(KELVRA_CLI, {"--folder", path("board"), "--btc", btc, "--worker", "b(%d)", "--image",
                               path("kelvra-3.1.0.img.gz"), "--station", "--max-size", "5000000000"});
        QTRY_VERIFY_WITH_TIMEOUT(screen.screen().contains("station: flashing"), 60000);
        // Seven sticks one at a time, all left in: more than the screen holds. The first is listed
        // by the system before its node is made: it is flashed once it is.
        for (int i = 1; i <= 7; ++i) {
            fake_system::disk_spec disk = stick(QString("sd") + QChar('b' + i), i, QString("SN-%1").arg(i));
            disk.node_bytes = i == 1 ? 0 : disk.node_bytes;
            system.add_disk(disk);
            if (i == 1) {
                QTRY_VERIFY_WITH_TIMEOUT(image_builder::read_file(path("board/KELVRA Flash Tool.log")).contains("USB dev:"), 60000);
                image_builder::write_file(system.node("sdc"), QByteArray(8 << 20, '\xab'));
            }
            QTRY_VERIFY2_WITH_TIMEOUT(screen.screen().contains(QString("sticks: %1 done").arg(i)), qPrintable(screen.screen()), 60000);
        }
        QVERIFY2(screen.screen().contains("sticks: 7 done, 0 failed, 0 running, 3 more not shown"), qPrintable(screen.screen()));
        QVERIFY(image_builder::read_file(system.node("sdc")).left(static_cast<int>(offset)) == m_image.left(static_cast<int>(offset)));
        // All but the last pulled: the board redraws in place with the one still there, once.
        for (int i = 1; i <= 6; ++i)
            system.remove_disk(QString("sd") + QChar('b' + i));
        QTRY_VERIFY2_WITH_TIMEOUT(screen.screen().count("SN-") == 1 && screen.screen().contains("2-7 SN-7 b7 ")
                                      && screen.screen().contains("done, safe to pull\nsticks: 7 done, 0 failed, 0 running\n"),
                                  qPrintable(screen.screen()), 60000);
        // A message stands above the board: no line of an older board stays behind above it.
        fake_system::disk_spec large = stick("sdj", 9, "SN-LARGE");
        large.sectors = 12000000;
        system.add_disk(large);
        const auto board_below = [&](const QString& text) {
            const QString above = text.left(text.indexOf("left alone: " + system.node("sdj"))), below = text.mid(above.size());
            return !below.isEmpty() && !above.contains(QRegularExpression("SN-|sticks:")) && below.contains(QRegularExpression("SN-7.*\n.*sticks:"));
        };
        QTRY_VERIFY2_WITH_TIMEOUT(board_below(screen.screen()), qPrintable(screen.screen()), 60000);

        // Swapped within one look for another stick, which takes over its path: flashed as well.
        system.remove_disk("sdi");
        system.add_disk(stick("sdi", 7, "SN-SWAPPED"));
        QTRY_VERIFY2_WITH_TIMEOUT(screen.screen().contains("sticks: 8 done"), qPrintable(screen.screen()), 60000);
        ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
        QTRY_VERIFY_WITH_TIMEOUT((screen.screen(), cli.state() == QProcess::NotRunning), 30000);
        QCOMPARE(cli.exitCode(), 0);
        QCOMPARE(image_builder::read_file(path("board/KELVRA Flash Tool.log")).count("Station left alone"), 1);
        QCOMPARE(QString(cli.readAllStandardOutput()).count(QRegularExpression(" ok +b[1-8] ")), 8);
    }
};

QTEST_GUILESS_MAIN(test_cli_station)
#include "test_cli_station.moc"
