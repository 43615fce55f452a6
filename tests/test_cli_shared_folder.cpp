#include "http_test_server.h"
#include "image_builder.h"

#include "src/image/image_cache.h"

#include <QtTest>

#include <algorithm>
#include <csignal>
#include <memory>

// Real kelvra-flash-cli processes that share one application folder, as the window and a farm's
// scripts do: every run either writes the exact image or fails cleanly, and here all must succeed.
namespace {

const char* const btc = "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2";
const quint64 offset = 1048576;
const QString tag = QStringLiteral("3.1.4");

} // namespace

class test_cli_shared_folder : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<http_test_server> m_server;
    QByteArray m_image;
    QByteArray m_archive;
    std::vector<std::unique_ptr<QProcess>> m_runs;
    QList<QByteArray> m_outputs;

    QString path(const QString& name) const { return m_dir.path() + "/" + name; }
    QString app() const { return path("app"); }
    QString downloads() const { return app() + "/downloads"; }

    QProcess* start(const QStringList& arguments)
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::MergedChannels);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("KELVRA_RELEASE_API", m_server->base_url());
        environment.insert("KELVRA_IMAGE_SERVER", m_server->base_url());
        process->setProcessEnvironment(environment);
        process->start(KELVRA_CLI, QStringList{"--folder", app(), "--btc", btc} + arguments);
        m_runs.push_back(std::move(process));
        return m_runs.back().get();
    }

    // count runs onto their own targets, started a few tens of milliseconds apart; the server
    // answers in this process, so the waiting turns the event loop.
    void race(int count, const QStringList& arguments)
    {
        m_runs.clear();
        for (int i = 0; i < count; ++i) {
            start(arguments + QStringList{"--target", path(QString("t%1.img").arg(i))});
            QTest::qWait(i % 2 ? 0 : 40);
        }
        for (auto& run : m_runs)
            QTRY_VERIFY_WITH_TIMEOUT(run->state() == QProcess::NotRunning, 240000);
    }

    void verify_every_run_wrote_the_image()
    {
        m_outputs.clear();
        for (size_t i = 0; i < m_runs.size(); ++i) {
            QProcess& run = *m_runs[i];
            const QByteArray output = run.readAll();
            m_outputs << output;
            QVERIFY2(run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0, output.constData());
            const QByteArray written = image_builder::read_file(path(QString("t%1.img").arg(i)));
            const QByteArray text = written.mid(static_cast<int>(offset), 2048);
            QVERIFY2(text.startsWith("{") && text.contains(btc), output.constData());
            QVERIFY2(written.left(m_image.size()) == image_builder::configured(m_image, offset, text),
                     output.constData());
        }
        QCOMPARE(QDir(downloads()).entryList({"*.part"}, QDir::Files | QDir::Hidden), QStringList());
    }

    // The shared image stays whole for the runs after these, and is known to be.
    void verify_cached_image(const image_source& source)
    {
        QVERIFY(image_cache::is_current(source));
        const QByteArray cached = image_builder::read_file(QString::fromStdString(source.image));
        QCOMPARE(cached.size(), m_image.size());
        const QByteArray text = cached.mid(static_cast<int>(offset), 2048);
        QVERIFY(cached == image_builder::configured(m_image, offset, text));
    }

private slots:
    void initTestCase()
    {
        m_image = image_builder::disk_image(24 * 1024 * 1024 + 1000, offset, 5);
        m_archive = image_builder::gzip(m_image, 1);
        m_server = std::make_unique<http_test_server>();
        m_server->set_release(tag);
    }

    void init()
    {
        QDir(app()).removeRecursively();
        QDir().mkpath(downloads());
    }

    void cached_archive()
    {
        image_builder::write_file(downloads() + "/" + tag + ".gz", m_archive);
        race(4, {});
        verify_every_run_wrote_the_image();
        verify_cached_image(image_cache::for_download((downloads() + "/" + tag + ".gz").toStdString()));
    }

    void downloading_archive()
    {
        http_response slow;
        slow.body = m_archive;
        slow.piece_size = 1 << 20;
        slow.piece_interval_ms = 50;
        m_server->set_response(release_archive_path(tag), slow);
        race(3, {});
        verify_every_run_wrote_the_image();
        QVERIFY(std::any_of(m_outputs.begin(), m_outputs.end(),
                            [](const QByteArray& output) { return output.contains("waiting for another run using"); }));
        QCOMPARE(m_server->requests().count(release_archive_path(tag)), 1); // the others reused the download
        verify_cached_image(image_cache::for_download((downloads() + "/" + tag + ".gz").toStdString()));
    }

    void same_local_archive()
    {
        image_builder::write_file(path("mine.img.gz"), m_archive);
        race(4, {"--image", path("mine.img.gz")});
        verify_every_run_wrote_the_image();
        verify_cached_image(image_cache::for_local_archive(path("mine.img.gz").toStdString(), downloads().toStdString()));
        QVERIFY(!QFile::exists(path("mine.img")));
    }

    void a_waiting_run_says_so_and_a_killed_one_is_taken_over()
    {
        http_response slow;
        slow.body = m_archive;
        slow.piece_size = 256 * 1024;
        slow.piece_interval_ms = 100;
        m_server->set_response(release_archive_path(tag), slow);
        m_runs.clear();
        QProcess* first = start({"--target", path("t0.img")});
        QTRY_VERIFY_WITH_TIMEOUT(image_builder::read_file(app() + "/KELVRA Flash Tool.log").contains("Starting download"),
                                 60000);
        QProcess* second = start({"--target", path("t1.img")});
        QTRY_VERIFY_WITH_TIMEOUT(second->peek(1 << 16).contains("waiting for another run using " + app().toUtf8()),
                                 60000);
        // The holder dies mid-download: its lock and its half archive must not hold up the next run.
        ::kill(static_cast<pid_t>(first->processId()), SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(second->state() == QProcess::NotRunning, 240000);
        const QByteArray output = second->readAll();
        QVERIFY2(second->exitCode() == 0, output.constData());
        const QByteArray written = image_builder::read_file(path("t1.img"));
        QVERIFY(written.left(m_image.size())
                == image_builder::configured(m_image, offset, written.mid(static_cast<int>(offset), 2048)));
        QCOMPARE(QDir(downloads()).entryList({"*.part"}, QDir::Files | QDir::Hidden), QStringList());
    }
};

QTEST_GUILESS_MAIN(test_cli_shared_folder)
#include "test_cli_shared_folder.moc"
