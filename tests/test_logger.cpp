#include "image_builder.h"

#include "src/core/log_location.h"
#include "src/core/logger.h"

#include <QtTest>

#include <stdexcept>
#include <thread>
#include <vector>

namespace {

const QRegularExpression line_start(QStringLiteral(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[(debug|info|error|fatal)\] )"));

} // namespace

class test_logger : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString log_path() const { return m_dir.path() + "/KELVRA Flash Tool.log"; }

private slots:
    void cleanup()
    {
        logger::close();
        QFile::remove(log_path());
    }

    void line_format_pads_every_field()
    {
        const QDateTime morning(QDate(2026, 3, 5), QTime(9, 4, 7, 5));
        QCOMPARE(QByteArray::fromStdString(logger::format_line(morning, logger::fatal, "[main:42] [main] hello")),
                 QByteArray("[2026-03-05 09:04:07.005] [fatal] [main:42] [main] hello\n"));
        const QDateTime evening(QDate(2026, 12, 31), QTime(23, 59, 59, 999));
        QCOMPARE(QByteArray::fromStdString(logger::format_line(evening, logger::debug, "")),
                 QByteArray("[2026-12-31 23:59:59.999] [debug] \n"));
        QCOMPARE(logger::format_line(evening, 1, "x").substr(26) + logger::format_line(evening, 2, "x").substr(26),
                 std::string("[info] x\n[error] x\n"));
    }

    void severity_out_of_range_throws_and_writes_nothing()
    {
        logger::init(m_dir.path().toStdString());
        for (int bad : {4, -1, 100})
            QVERIFY_EXCEPTION_THROWN(logger::write(bad, "never"), std::out_of_range);
        QVERIFY(image_builder::read_file(log_path()).isEmpty());
    }

    void lines_append_across_runs_and_keep_line_feeds()
    {
        logger::init(m_dir.path().toStdString());
        logger::write(logger::info, "first run");
        logger::close();
        logger::write(logger::info, "dropped while closed");

        logger::init(m_dir.path().toStdString());
        logger::write(logger::fatal, "two\nlines");
        const QList<QByteArray> lines = image_builder::read_file(log_path()).split('\n');
        // three lines and the empty rest after the last line feed
        QVERIFY2(lines.size() == 4 && lines[0].endsWith("] [info] first run") && lines[1].endsWith("] [fatal] two")
                     && lines[2] == "lines" && lines[3].isEmpty(), image_builder::read_file(log_path()).constData());

        // A folder that is not there loses the lines, and nothing else happens.
        const std::string missing = (m_dir.path() + "/no/such/folder").toStdString();
        logger::init(missing);
        logger::write(logger::fatal, "lost");
        QVERIFY(!QFile::exists(QString::fromStdString(missing + "/KELVRA Flash Tool.log")));
    }

    void source_location_prefix()
    {
        logger::init(m_dir.path().toStdString());
        const int line = __LINE__ + 1;
        KLOG(logger::debug, "value " << 42);
        const QString text = QString::fromUtf8(image_builder::read_file(log_path()));
        QVERIFY2(text.endsWith(QString("] [debug] [tests/test_logger:%1] [source_location_prefix] value 42\n").arg(line)),
                 qPrintable(text));

        QCOMPARE(log_location("/elsewhere/src/x/thing.cpp", 7, "f"), std::string("[thing:7] [f] "));
        QCOMPARE(log_location("C:\\build\\dir.v2\\main", 1, "main"), std::string("[main:1] [main] "));
    }

    void lines_from_many_threads_stay_whole()
    {
        logger::init(m_dir.path().toStdString());
        const int threads = 8, lines_each = 400;
        const std::string payload(300, 'x');
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t)
            writers.emplace_back([t, &payload] {
                for (int i = 0; i < lines_each; ++i)
                    logger::write(logger::info, "<" + std::to_string(t) + ":" + payload + ">");
            });
        for (auto& writer : writers)
            writer.join();

        const QList<QByteArray> lines = image_builder::read_file(log_path()).split('\n');
        QCOMPARE(lines.size(), threads * lines_each + 1);
        const QRegularExpression whole(line_start.pattern() + QStringLiteral(R"(<\d:x{300}>$)"));
        for (int i = 0; i < threads * lines_each; ++i)
            QVERIFY2(whole.match(QString::fromLatin1(lines[i])).hasMatch(), lines[i].constData());
    }
};

QTEST_GUILESS_MAIN(test_logger)
#include "test_logger.moc"
