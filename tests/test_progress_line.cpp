#include "src/cli/progress_line.h"

#include <QtTest>

// The headless progress lines: they must never wrap (the redraw moves up one row per line) and
// their figures belong to the stage they name.
class test_progress_line : public QObject {
    Q_OBJECT

    static int columns(const std::string& line) { return QString::fromStdString(line).toUcs4().size(); }

private slots:
    void figures_are_the_stages_own()
    {
        progress_view writing;
        writing.target = "/dev/sdb";
        writing.stage = "writing";
        writing.done = 50000000;
        writing.total = 200000000;
        writing.seconds = 2.0; // since writing began, not since the run began
        writing.measured = true;
        const std::string line = progress_line(writing, 120);
        QVERIFY2(QString::fromStdString(line).contains(QRegularExpression(" writing +25\\.0%  +25\\.0 MB/s +6s left$")),
                 line.c_str());

        progress_view waiting = writing;
        waiting.stage = "waiting";
        waiting.measured = false;
        QVERIFY(!QString::fromStdString(progress_line(waiting, 120)).contains("MB/s"));

        progress_view failed = waiting;
        failed.stage = "failed: not prepared: the disk of the running system";
        QVERIFY(QString::fromStdString(progress_line(failed, 200)).endsWith("the disk of the running system"));

        // Nothing measured yet: no rate and no time left that would be made up.
        progress_view starting = writing;
        starting.done = 0;
        starting.seconds = 0.01;
        QVERIFY(!QString::fromStdString(progress_line(starting, 120)).contains("MB/s"));
    }

    void lines_never_wrap()
    {
        progress_view view;
        view.target = "/dev/disk/by-path/pci-0000:00:14.0-usb-0:1.4.3:1.0-scsi-0:0:0:0";
        view.stage = "verifying";
        view.done = 1;
        view.total = 3;
        view.seconds = 4;
        view.measured = true;
        for (int width : {20, 40, 60, 80, 200}) {
            const std::string line = progress_line(view, width);
            QVERIFY2(columns(line) <= width - 1, line.c_str());
            QVERIFY(columns(line) > 0);
        }
        QVERIFY(QString::fromStdString(progress_line(view, 60)).contains("verifying"));
        // Cut at the front: the end tells one port from the next.
        QVERIFY2(QString::fromStdString(progress_line(view, 60)).startsWith("\u2026"), progress_line(view, 60).c_str());
        QVERIFY(QString::fromStdString(progress_line(view, 60)).contains("0:0:0:0 "));

        // Cut between characters, never inside one.
        view.target = "/tmp/k\u00e4se-\u00fc\u00f6\u00e4-\u4e2d\u6587-stick-image-with-a-long-name.img";
        for (int width = 10; width < 90; ++width) {
            const std::string line = progress_line(view, width);
            QVERIFY(QString::fromStdString(line).toStdString() == line); // valid UTF-8 round-trips
            QVERIFY(columns(line) <= width - 1);
        }
    }
};

QTEST_APPLESS_MAIN(test_progress_line)
#include "test_progress_line.moc"
