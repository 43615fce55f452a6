#include "cli_fixture.h"

#include "src/image/image_cache.h"

#include <QtTest>

#include <algorithm>
#include <csignal>

// Real kelvra-flash-cli processes that share one application folder, as the window and a farm's
// scripts do: every run either writes the exact image or fails cleanly, and here all must succeed.
using namespace cli_test;

class test_cli_shared_folder : public QObject {
    Q_OBJECT

    fixture f;
    http_test_server m_server;
    QString m_downloads;

    QProcess* start(std::vector<std::unique_ptr<QProcess>>& runs, const QStringList& arguments)
    {
        runs.push_back(std::make_unique<QProcess>());
        f.start(*runs.back(), QStringList{"--folder", f.path("app"), "--btc", btc} + arguments + QStringList{"--target",
                f.path(QString("t%1.img").arg(runs.size() - 1))}, fixture::served_by(m_server));
        return runs.back().get();
    }
    // Every run wrote the image, no temporary is left, and the shared image stays whole and known to be.
    void verify(std::vector<std::unique_ptr<QProcess>>& runs, const image_source& source, size_t first = 0)
    {
        for (size_t i = first; i < runs.size(); ++i) {
            const finished_run done = f.finish(*runs[i]);
            QVERIFY2(done.code == 0 && f.holds_image(f.path(QString("t%1.img").arg(i))), qPrintable(done.all()));
            m_outputs += done.all();
        }
        QCOMPARE(QDir(m_downloads).entryList({"*.part"}, QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(image_cache::is_current(source));
        const QByteArray cached = image_builder::read_file(QString::fromStdString(source.image));
        QVERIFY(cached == image_builder::configured(f.image, offset, cached.mid(static_cast<int>(offset), 2048)));
    }
    QString m_outputs;

private slots:
    void initTestCase()
    {
        f.image = image_builder::disk_image(24 * 1024 * 1024 + 1000, offset, 5);
        m_downloads = f.path("app/downloads");
    }

    void init()
    {
        QDir(f.path("app")).removeRecursively();
        QDir().mkpath(m_downloads);
        m_outputs.clear();
    }

    void runs_started_together_data()
    {
        QTest::addColumn<QString>("source");
        QTest::newRow("cached archive") << "cached";
        QTest::newRow("downloaded archive") << "download";
        QTest::newRow("one local archive") << "local";
    }
    void runs_started_together()
    {
        QFETCH(QString, source);
        const QString archive = m_downloads + "/3.1.4.gz";
        f.serve(m_server, "3.1.4", 1 << 20, 50);
        if (source == "cached")
            image_builder::write_file(archive, image_builder::read_file(f.archive()));
        const QStringList local = source == "local" ? QStringList{"--image", f.archive()} : QStringList{};
        const int before = m_server.requests().count(release_archive_path("3.1.4"));
        std::vector<std::unique_ptr<QProcess>> runs;
        for (int i = 0; i < 4; ++i) {
            start(runs, local);
            QTest::qWait(i % 2 ? 0 : 40);
        }
        verify(runs, source == "local" ? image_cache::for_local_archive(f.archive().toStdString(), m_downloads.toStdString())
                                       : image_cache::for_download(archive.toStdString()));
        // One download at most: the others wait for it and reuse it.
        QCOMPARE(m_server.requests().count(release_archive_path("3.1.4")) - before, source == "download" ? 1 : 0);
        QVERIFY2(source != "download" || m_outputs.contains("waiting for another run using"), qPrintable(m_outputs));
    }

    void a_killed_run_is_taken_over()
    {
        f.serve(m_server, "3.1.4", 256 * 1024, 100);
        std::vector<std::unique_ptr<QProcess>> runs;
        QProcess* first = start(runs, {});
        QTRY_VERIFY_WITH_TIMEOUT(image_builder::read_file(f.path("app/KELVRA Flash Tool.log")).contains("Starting download"), 60000);
        QProcess* second = start(runs, {});
        QTRY_VERIFY_WITH_TIMEOUT(second->peek(1 << 16).contains("waiting for another run using " + f.path("app").toUtf8()), 60000);
        // The holder dies mid-download: its lock and its half archive must not hold up the next run.
        ::kill(static_cast<pid_t>(first->processId()), SIGKILL);
        f.finish(*first);
        verify(runs, image_cache::for_download((m_downloads + "/3.1.4.gz").toStdString()), 1);
    }
};

QTEST_GUILESS_MAIN(test_cli_shared_folder)
#include "test_cli_shared_folder.moc"
