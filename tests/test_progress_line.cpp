#include "src/cli/progress_line.h"

#include <QtTest>

// The headless progress display: lines that never wrap (the redraw moves up one row per line),
// figures that belong to the stage they name, piped lines that say when and only what changed,
// and a summary within 80 columns.
class test_progress_line : public QObject {
    Q_OBJECT

    static int columns(const std::string& line) { return QString::fromStdString(line).toUcs4().size(); }
    static QString line_of(const progress_view& view, int width = 120) { return QString::fromStdString(progress_line(view, width)); }
    static progress_view view(const char* stage, int64_t done = 50000000, double seconds = 2.0)
    {
        // seconds: since the stage began, not since the run began
        const bool measured = std::string(stage) == "writing" || std::string(stage) == "verifying";
        return progress_view{"/dev/sdb rig1", stage, done, 200000000, seconds, measured};
    }

private slots:
    void figures_are_the_stages_own()
    {
        QVERIFY2(line_of(view("writing")).contains(QRegularExpression(" writing +25\\.0%  +25\\.0 MB/s +6s left$")),
                 qPrintable(line_of(view("writing"))));
        QVERIFY(!line_of(view("waiting")).contains("MB/s"));
        QVERIFY(line_of(view("failed: not prepared: the disk of the running system"), 200)
                    .endsWith("the disk of the running system"));
        // Nothing measured yet: no rate and no time left that would be made up.
        QVERIFY(!line_of(view("writing", 0, 0.01)).contains("MB/s"));
    }

    void lines_never_wrap()
    {
        progress_view long_one = view("verifying", 1, 4);
        long_one.target = "/dev/disk/by-path/pci-0000:00:14.0-usb-0:1.4.3:1.0-scsi-0:0:0:0";
        for (int width : {20, 40, 60, 80, 200})
            QVERIFY2(columns(progress_line(long_one, width)) <= width - 1 && columns(progress_line(long_one, width)) > 0,
                     progress_line(long_one, width).c_str());
        // Cut at the front: the end tells one port from the next.
        QVERIFY(line_of(long_one, 60).contains("verifying") && line_of(long_one, 60).startsWith("\u2026")
                && line_of(long_one, 60).contains("0:0:0:0 "));
        // Cut between characters, never inside one.
        long_one.target = "/tmp/k\u00e4se-\u00fc\u00f6\u00e4-\u4e2d\u6587-stick-image-with-a-long-name.img";
        for (int width = 10; width < 90; ++width) {
            const std::string line = progress_line(long_one, width);
            QVERIFY(QString::fromStdString(line).toStdString() == line && columns(line) <= width - 1); // valid UTF-8 round-trips
        }
    }

    void piped_lines_say_when_and_only_what_changed()
    {
        progress_board board;
        board_line line{"0", view("writing"), false};
        QVERIFY(board.plain({line}, "sticks: 0 done", "10:00:00").rfind("10:00:00 /dev/sdb rig1 ", 0) == 0);
        line.view.seconds = 9; // only the rate moved
        QCOMPARE(board.plain({line}, "sticks: 0 done", "10:00:03"), std::string());
        line.view.done = 52000000; // a whole percent on
        QVERIFY(QString::fromStdString(board.plain({line}, "sticks: 1 done", "10:00:06"))
                    .contains(QRegularExpression("^10:00:06 /dev/sdb rig1 .* 26\\.0%.*\\n10:00:06 sticks: 1 done\\n$")));
    }

    void the_summary_fits_80_columns()
    {
        const summary_row row{"/dev/disk/by-path/pci-0000:00:14.0-usb-0:1.4.3:1.0-scsi-0:0:0:0", "farm-row-b-9999", "2-1.4.3", "4C530001", false,
                              "verification failed: the target differs from what was written; the stick may be worn or fake", 0, 0, 0, 0};
        const QStringList lines = QString::fromStdString(summary_text({row})).split('\n');
        for (const QString& line : lines)
            QVERIFY2(line.size() <= 80, qPrintable(line));
        QCOMPARE(lines.mid(2, 5), (QStringList{QString::fromStdString(row.target),
                                               QString(23, ' ') + "FAILED farm-row-b-9999      0.0    0.00    0.00    0.00",
                                               "  port 2-1.4.3, serial 4C530001",
                                               "  why: verification failed: the target differs from what was written; the stick",
                                               "       may be worn or fake"}));
    }
};

QTEST_APPLESS_MAIN(test_progress_line)
#include "test_progress_line.moc"
