#include "cli_fixture.h"

#include "src/core/version.h"
#include "src/image/network_failure.h"

#include <QtTest>

// What the headless program tells an operator, from real runs of it: one line on a usage error,
// the URL and the reason of a network failure, rules in its help that are the rules it applies.
using namespace cli_test;

class test_cli_messages : public QObject {
    Q_OBJECT

    fixture f;
    http_test_server m_server;
    int m_folders = 0;

    // The program to its end in a folder of its own, fetching from the test server.
    finished_run run(const QStringList& arguments)
    {
        return f.run_process(QStringList{"--folder", f.path("app" + QString::number(++m_folders))} + arguments,
                             fixture::served_by(m_server));
    }
    QString log() const
    {
        return QString::fromUtf8(image_builder::read_file(f.path("app" + QString::number(m_folders)) + "/KELVRA Flash Tool.log"));
    }

private slots:
    void one_line_answers_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("said"); // all on stdout when it ends well, else all on stderr
        const QString pointer = "\nsee kelvra-flash-cli --help\n";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "kelvra-flash-cli " KELVRA_VERSION "\n";
        QTest::newRow("unknown option") << QStringList{"--colour"} << 2 << "error: Unknown option 'colour'." + pointer;
        QTest::newRow("no target") << QStringList{"--btc", btc} << 2 << "error: Nothing to flash: give --device or --target (or --list)." + pointer;
        QTest::newRow("value missing") << QStringList{"--target", "x.img", "--btc"} << 2 << "error: Missing value after '--btc'." + pointer;
        QTest::newRow("stray word") << QStringList{"--target", "x.img", "stray"} << 2 << "error: Unexpected argument: stray" + pointer;
        QTest::newRow("not an archive") << QStringList{"--target", "x.img", "--image", "archive.zip"} << 2
                                        << "error: --image must name a gzip archive ending in .gz" + pointer;
    }
    void one_line_answers()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, said);
        const finished_run answer = run(arguments);
        QCOMPARE(answer.code, code);
        QCOMPARE(code ? answer.err : answer.out, said);
        QCOMPARE(code ? answer.out : answer.err, QString());
    }

    void the_help_states_the_rules_that_are_applied()
    {
        const finished_run help = run({"--help"});
        const QString text = help.out.simplified();
        QVERIFY2(help.code == 0 && text.contains("aaaaaaaaaaaa(%d,999) is allowed and gives the 16 characters aaaaaaaaaaaa1000")
                     && text.contains("2 to 32 bytes of UTF-8"), qPrintable(help.out));

        // As stated: a counter is one unit of the 15, the written name may be 16 long, and an SSID
        // of 16 two-byte letters fits.
        const QString ssid = QString(16, QChar(0xe9));
        QVERIFY(f.ended(run(f.flash({"--target", f.path("rules.img"), "--worker", "aaaaaaaaaaaa(%d,999)", "--ssid", ssid})), 0, ""));
        QCOMPARE(fixture::worker_on(f.path("rules.img")), QString("aaaaaaaaaaaa1000"));
        QVERIFY(fixture::text_on(f.path("rules.img")).contains("\"ssid\": \"" + ssid.toUtf8() + "\""));

        QVERIFY(f.ended(run(f.flash({"--target", f.path("refused.img"), "--worker", "aaaaaaaaaaaaa(%d,999)"})), 2, "Invalid Worker name"));
        QVERIFY(f.ended(run(f.flash({"--target", f.path("refused.img"), "--ssid", ssid + QChar(0xe9)})), 2, "Invalid SSID"));
        QVERIFY(!QFile::exists(f.path("refused.img")));
    }

    void network_failures_name_the_url_and_the_reason()
    {
        const QString api = m_server.base_url();
        const QString lookup = api + http_test_server::release_path;
        const QStringList net{"--btc", btc, "--target", f.path("net.img")};
        http_response missing;
        missing.status = 404;

        m_server.set_response(http_test_server::release_path, missing);
        QVERIFY(f.ended(run(net), 1, "error: the release lookup failed: HTTP 404 Not Found from " + lookup + "\n"));
        QVERIFY2(log().contains("Network error: 203 (the release lookup failed: HTTP 404 Not Found from " + lookup + ")"),
                 qPrintable(log()));
        // Each reason is the retriever's own (its suite holds them all); here the download's is told apart.
        m_server.set_release("2.7.0");
        QVERIFY(f.ended(run(net), 1, "the download failed: HTTP 404 Not Found from " + api + release_archive_path("2.7.0")));
        m_server.stop();
        QVERIFY(f.ended(run(net), 1, "the release lookup failed: connection refused by " + lookup));
        QVERIFY2(log().contains("Network error: 1 ("), qPrintable(log()));
        QVERIFY(!QFile::exists(f.path("net.img")));

        // The same with an archive here: it is flashed, and the operator is told it may be old.
        const QString downloads = f.path("app" + QString::number(m_folders + 1) + "/downloads");
        QVERIFY(QDir().mkpath(downloads));
        image_builder::write_file(downloads + "/2.6.0.gz",
                                  image_builder::gzip(image_builder::disk_image(3 * 1024 * 1024, offset, 5)));
        const finished_run offline = run({"--btc", btc, "--target", f.path("offline.img")});
        QVERIFY(f.ended(offline, 0, "release lookup failed (connection refused by " + lookup + "): using cached release 2.6.0\n"));
        QVERIFY2(offline.out.contains("\nrelease 2.6.0 (cached: the release lookup failed)\n"), qPrintable(offline.out));

        // A stalled server is ended by the transfer limit, which Qt reports like a stop of our own.
        network_outcome stalled;
        stalled.url = lookup;
        stalled.error = QNetworkReply::OperationCanceledError;
        stalled.timeout_seconds = 60;
        QCOMPARE(describe_network_failure(stalled), "timed out after 60 s waiting for " + lookup);
        stalled.stopped_by_caller = true;
        QVERIFY(!describe_network_failure(stalled).contains("timed out"));
    }
};

QTEST_GUILESS_MAIN(test_cli_messages)
#include "test_cli_messages.moc"
