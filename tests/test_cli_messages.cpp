#include "http_test_server.h"
#include "image_builder.h"

#include "src/core/version.h"
#include "src/image/network_failure.h"

#include <QtTest>

#include <memory>

// What the headless program tells an operator, from real runs of it: one line on a usage error,
// the URL and the reason of a network failure, rules in its help that are the rules it applies.
namespace {

const char* const btc = "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2";
const quint64 offset = 1048576;

struct finished_run {
    int code = -1;
    QString out;
    QString err;
};

} // namespace

class test_cli_messages : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<http_test_server> m_server;
    int m_folders = 0;

    QString path(const QString& name) const { return m_dir.path() + "/" + name; }

    // Runs the program to its end in a folder of its own; the event loop turns meanwhile, so the
    // test server answers.
    finished_run run(const QStringList& arguments)
    {
        QProcess cli;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("KELVRA_RELEASE_API", m_server->base_url());
        environment.insert("KELVRA_IMAGE_SERVER", m_server->base_url());
        cli.setProcessEnvironment(environment);
        QEventLoop loop;
        connect(&cli, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
        QTimer::singleShot(240000, &loop, &QEventLoop::quit);
        cli.start(KELVRA_CLI, QStringList{"--folder", path("app" + QString::number(++m_folders))} + arguments);
        if (cli.waitForStarted(60000) && cli.state() != QProcess::NotRunning)
            loop.exec();
        finished_run result;
        if (cli.state() == QProcess::NotRunning && cli.exitStatus() == QProcess::NormalExit)
            result.code = cli.exitCode();
        result.out = QString::fromUtf8(cli.readAllStandardOutput());
        result.err = QString::fromUtf8(cli.readAllStandardError());
        return result;
    }

    QString log() const
    {
        const QString folder = path("app" + QString::number(m_folders));
        return QString::fromUtf8(image_builder::read_file(folder + "/KELVRA Flash Tool.log"));
    }

private slots:
    void init() { m_server = std::make_unique<http_test_server>(); }

    void version_is_one_line()
    {
        const finished_run version = run({"--version"});
        QCOMPARE(version.code, 0);
        QCOMPARE(version.out, QString("kelvra-flash-cli " KELVRA_VERSION "\n"));
        QCOMPARE(version.err, QString());
    }

    void a_usage_error_is_one_line_and_a_pointer_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("first_line");
        QTest::newRow("unknown option") << QStringList{"--colour"} << "error: Unknown option 'colour'.";
        QTest::newRow("no target") << QStringList{"--btc", btc}
                                   << "error: Nothing to flash: give --device or --target (or --list).";
        QTest::newRow("value missing") << QStringList{"--target", "x.img", "--btc"}
                                       << "error: Missing value after '--btc'.";
        QTest::newRow("stray word") << QStringList{"--target", "x.img", "stray"} << "error: Unexpected argument: stray";
    }
    void a_usage_error_is_one_line_and_a_pointer()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, first_line);
        const finished_run usage = run(arguments);
        QCOMPARE(usage.code, 2);
        QCOMPARE(usage.out, QString());
        QCOMPARE(usage.err, first_line + "\nsee kelvra-flash-cli --help\n");
    }

    void the_help_states_the_rules_that_are_applied()
    {
        const finished_run help = run({"--help"});
        QCOMPARE(help.code, 0);
        const QString text = help.out.simplified();
        QVERIFY2(text.contains("aaaaaaaaaaaa(%d,999) is allowed and gives the 16 characters aaaaaaaaaaaa1000"),
                 qPrintable(help.out));
        QVERIFY2(text.contains("2 to 32 bytes of UTF-8"), qPrintable(help.out));

        // As stated: a counter is one unit of the 15, the written name may be 16 long, and an SSID
        // of 16 two-byte letters fits.
        const QByteArray image = image_builder::disk_image(3 * 1024 * 1024, offset, 5);
        image_builder::write_file(path("release.gz"), image_builder::gzip(image));
        const QString ssid = QString(16, QChar(0xe9));
        const finished_run flashed = run({"--btc", btc, "--worker", "aaaaaaaaaaaa(%d,999)", "--ssid", ssid, "--image",
                                          path("release.gz"), "--target", path("rules.img")});
        QVERIFY2(flashed.code == 0, qPrintable(flashed.err + flashed.out));
        const QByteArray text_on_target =
            image_builder::read_file(path("rules.img")).mid(static_cast<int>(offset), 2048);
        QVERIFY(text_on_target.contains("\"worker\": \"aaaaaaaaaaaa1000\""));
        QVERIFY(text_on_target.contains("\"ssid\": \"" + ssid.toUtf8() + "\""));

        const finished_run longer = run({"--btc", btc, "--worker", "aaaaaaaaaaaaa(%d,999)", "--image",
                                         path("release.gz"), "--target", path("refused.img")});
        QCOMPARE(longer.code, 2);
        QVERIFY2(longer.err.contains("Invalid Worker name"), qPrintable(longer.err));
        const finished_run wider = run({"--btc", btc, "--ssid", ssid + QChar(0xe9), "--image", path("release.gz"),
                                        "--target", path("refused.img")});
        QCOMPARE(wider.code, 2);
        QVERIFY2(wider.err.contains("Invalid SSID"), qPrintable(wider.err));
        QVERIFY(!QFile::exists(path("refused.img")));
    }

    void network_failures_name_the_url_and_the_reason()
    {
        const QString api = m_server->base_url();
        const QString lookup = api + http_test_server::release_path;
        http_response missing;
        missing.status = 404;

        m_server->set_response(http_test_server::release_path, missing);
        finished_run failed = run({"--btc", btc, "--target", path("net.img")});
        QCOMPARE(failed.code, 1);
        QVERIFY2(failed.err.contains("error: the release lookup failed: HTTP 404 Not Found from " + lookup + "\n"),
                 qPrintable(failed.err));
        QVERIFY2(log().contains("Network error: 203 (the release lookup failed: HTTP 404 Not Found from " + lookup
                                + ")"),
                 qPrintable(log()));

        http_response untagged;
        untagged.body = "{\"name\": \"2.7.0\"}";
        m_server->set_response(http_test_server::release_path, untagged);
        failed = run({"--btc", btc, "--target", path("net.img")});
        QCOMPARE(failed.code, 1);
        QVERIFY2(failed.err.contains("the release lookup failed: the release answer has no tag_name (" + lookup + ")"),
                 qPrintable(failed.err));

        m_server->set_release("2.7.0");
        failed = run({"--btc", btc, "--target", path("net.img")});
        QCOMPARE(failed.code, 1);
        QVERIFY2(failed.err.contains("the download failed: HTTP 404 Not Found from " + api + release_archive_path("2.7.0")),
                 qPrintable(failed.err));

        m_server->stop();
        failed = run({"--btc", btc, "--target", path("net.img")});
        QCOMPARE(failed.code, 1);
        QVERIFY2(failed.err.contains("the release lookup failed: connection refused by " + lookup),
                 qPrintable(failed.err));
        QVERIFY2(log().contains("Network error: 1 ("), qPrintable(log()));
        QVERIFY(!QFile::exists(path("net.img")));

        // The same with an archive here: it is flashed, and the operator is told it may be old.
        const QString downloads = path("app" + QString::number(m_folders + 1) + "/downloads");
        QVERIFY(QDir().mkpath(downloads));
        image_builder::write_file(downloads + "/2.6.0.gz",
                                  image_builder::gzip(image_builder::disk_image(3 * 1024 * 1024, offset, 5)));
        const finished_run offline = run({"--btc", btc, "--target", path("offline.img")});
        QVERIFY2(offline.code == 0, qPrintable(offline.err));
        QVERIFY2(offline.err.contains("release lookup failed (connection refused by " + lookup
                                      + "): using cached release 2.6.0\n"),
                 qPrintable(offline.err));
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
