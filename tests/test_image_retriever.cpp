#include "file_size_limit.h"
#include "http_test_server.h"
#include "image_builder.h"

#include "src/core/logger.h"
#include "src/image/image_cache.h"
#include "src/image/image_retriever.h"

#include <QtTest>

#include <functional>
#include <memory>

namespace {

QByteArray random_bytes(int size)
{
    return image_builder::random_bytes(size, 11);
}

http_response answer(int status, const QByteArray& body = "x")
{
    http_response response;
    response.status = status;
    response.body = body;
    return response;
}

// What one retriever did from its release request until it deleted itself.
struct outcome {
    QStringList finished;
    QStringList errors;
    QStringList details; // what the headless front end says instead
    QStringList cached;  // tag and reason of a cached release used instead of the latest
    QList<QPair<qint64, qint64>> progress;
};

} // namespace

class test_image_retriever : public QObject {
    Q_OBJECT

    QTemporaryDir m_app;
    std::unique_ptr<http_test_server> m_server;

    QString downloads() const { return m_app.path() + "/downloads"; }
    QString in_downloads(const QString& name) const { return downloads() + "/" + name; }
    QStringList download_files() const { return QDir(downloads()).entryList(QDir::Files, QDir::Name); }

    void put(const QString& name, const QByteArray& content = "old", int age_seconds = 0)
    {
        QFile file(in_downloads(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.flush();
        file.setFileTime(QDateTime::currentDateTime().addSecs(-age_seconds), QFileDevice::FileModificationTime);
    }

    // Runs one retriever to its end; `during` may act on it while it runs (the first progress).
    void run(outcome& result, const std::function<void(image_retriever*)>& on_progress = {},
             const std::function<void(image_retriever*)>& after_request = {})
    {
        auto* retriever = new image_retriever(m_app.path().toStdString());
        QPointer<image_retriever> alive(retriever);
        connect(retriever, &image_retriever::finished_download, this,
                [&result](std::string path) { result.finished << QString::fromStdString(path); });
        connect(retriever, &image_retriever::error_msg, this, [&result, retriever](QString text, bool is_err) {
            QVERIFY(is_err);
            result.errors << text;
            result.details << retriever->failure_detail();
        });
        connect(retriever, &image_retriever::using_cached_release, this,
                [&result](QString tag, QString reason) { result.cached << tag + ": " + reason; });
        connect(retriever, &image_retriever::progress_updated, this, [&, retriever](qint64 done, qint64 total) {
            result.progress << qMakePair(done, total);
            if (on_progress && result.progress.size() == 1)
                on_progress(retriever);
        });
        retriever->request_latest_release();
        if (after_request)
            after_request(retriever);
        QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), 20000); // every run ends by deleting its retriever
        QTest::qWait(50);                                 // and nothing arrives afterwards
    }

private slots:
    void initTestCase() { logger::init(m_app.path().toStdString()); }

    void init()
    {
        m_server = std::make_unique<http_test_server>();
        qputenv("KELVRA_RELEASE_API", m_server->base_url().toUtf8());
        qputenv("KELVRA_IMAGE_SERVER", (m_server->base_url() + "/").toUtf8());
        qunsetenv("KELVRA_NETWORK_PATIENCE");
        QDir(downloads()).removeRecursively();
        QDir().mkpath(downloads());
    }

    void cached_archive_of_the_latest_release_is_handed_on_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("hit");
        QTest::addColumn<QStringList>("kept");
        QTest::newRow("by its name") << QStringList{"2.3.0.gz", "2.3.1", "2.3.1.gz", "2.4.gz", "2.4.gz.part", "2.2.part"}
                                     << "2.3.1.gz" << QStringList{"2.3.1", "2.3.1.gz", "2.4.gz"};
        // Images of older releases go with their archives, or after them; never the latest's, nor
        // one that a live run writes from (2.1.0).
        QTest::newRow("tag anywhere") << QStringList{"2.3.0.gz", "backup-2.3.1-old.gz", "2.3.0", "2.3.0.record", "2.2.0",
                                                     "2.2.0.record", "2.1.0", "2.3.1", "2.3.1.record"}
                                      << "backup-2.3.1-old.gz" << QStringList{"2.1.0", "2.3.1", "2.3.1.record", "backup-2.3.1-old.gz"};
    }
    void cached_archive_of_the_latest_release_is_handed_on()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, hit);
        QFETCH(QStringList, kept);
        for (const QString& name : files)
            put(name);
        const image_cache::hold writing(in_downloads("2.1.0").toStdString());
        m_server->set_release("2.3.1");
        outcome result;
        run(result);
        QCOMPARE(result.finished, QStringList{in_downloads(hit)});
        QVERIFY(result.errors.isEmpty() && result.cached.isEmpty()); // the latest release: no notice
        QCOMPARE(download_files(), kept);
        QCOMPARE(m_server->requests(), QStringList{http_test_server::release_path});
    }

    void download_hands_on_the_complete_archive()
    {
        put("2.4.9.gz");
        const QByteArray archive = random_bytes(3 * 1024 * 1024 + 123);
        http_response response;
        response.body = archive;
        response.piece_size = 256 * 1024;
        m_server->set_release("2.5.0");
        m_server->set_response(release_archive_path("2.5.0"), response);

        outcome result;
        run(result);
        QVERIFY(result.errors.isEmpty());
        QCOMPARE(result.finished, QStringList{in_downloads("2.5.0.gz")});
        QCOMPARE(download_files(), QStringList{"2.5.0.gz"});
        QVERIFY(image_builder::read_file(in_downloads("2.5.0.gz")) == archive);
        QVERIFY(!result.progress.isEmpty());
        QCOMPARE(result.progress.last(), qMakePair(qint64(archive.size()), qint64(archive.size())));
        QCOMPARE(m_server->requests(), (QStringList{http_test_server::release_path, release_archive_path("2.5.0")}));
    }

    void failures_report_once_and_leave_no_archive_data()
    {
        QTest::addColumn<http_response>("release");
        QTest::addColumn<http_response>("download");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("detail");

        auto release_of = [](const QString& tag) {
            http_response response;
            response.body = QJsonDocument(QJsonObject{{"tag_name", tag}}).toJson();
            return response;
        };
        const http_response good_release = release_of("2.6.0");
        const QByteArray archive = random_bytes(600000);

        http_response gzip_encoded; // Qt inflates it: the stored size differs from the announced one
        gzip_encoded.body = image_builder::gzip(archive);
        gzip_encoded.headers << qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip"));
        http_response close_delimited;
        close_delimited.body = archive;
        close_delimited.framing = http_response::framing::close_delimited;
        http_response chunked = close_delimited;
        chunked.framing = http_response::framing::chunked;
        http_response dropped;
        dropped.body = archive;
        dropped.piece_size = 65536;
        dropped.drop_after = 300000;

        QTest::newRow("size mismatch") << good_release << gzip_encoded << "Error downloading image"
            << "the download failed: the server compressed the transfer, so its length cannot be checked: http";
        QTest::newRow("no content length") << good_release << close_delimited << "Error downloading image"
            << "the download failed: the server did not announce the length of http";
        QTest::newRow("chunked, no total") << good_release << chunked << "Error downloading image"
            << "the download failed: the server did not announce the length of http";
        QTest::newRow("download 404") << good_release << answer(404) << "Network error: 203"
            << "the download failed: HTTP 404 Not Found from http";
        QTest::newRow("download 500") << good_release << answer(500) << "Network error: 401"
            << "the download failed: HTTP 500 Internal Server Error from http";
        QTest::newRow("dropped mid-body") << good_release << dropped << "Network error: 2"
            << "the download failed: the server closed the connection early: http";
        QTest::newRow("release 404") << answer(404) << answer(200) << "Network error: 203"
            << "the release lookup failed: HTTP 404 Not Found from http";
        QTest::newRow("release 500") << answer(500) << answer(200) << "Network error: 401"
            << "the release lookup failed: HTTP 500 Internal Server Error from http";
        QTest::newRow("release not json") << answer(200, "<html>") << answer(200) << "Network error: 0"
            << "the release lookup failed: the release answer has no tag_name (http";
        QTest::newRow("tag climbs out") << release_of("../x") << answer(200) << "Network error: 0"
            << "the release answer's tag_name is no safe file name";
        QTest::newRow("tag with a slash") << release_of("a/b") << answer(200) << "Network error: 0"
            << "the release answer's tag_name is no safe file name";
        QTest::newRow("empty tag") << release_of("") << answer(200) << "Network error: 0"
            << "the release answer has no tag_name";
        QTest::newRow("dot dot tag") << release_of("..") << answer(200) << "Network error: 0"
            << "the release answer's tag_name is no safe file name";
        // Names of the folder's own: the lock, and the cache's temporaries and records.
        QTest::newRow("hidden tag") << release_of(".lock") << answer(200) << "Network error: 0"
            << "the release answer's tag_name is no safe file name";
        QTest::newRow("record tag") << release_of("2.6.0.record") << answer(200) << "Network error: 0"
            << "the release answer's tag_name is no safe file name";
        // Servers that keep a transfer alive with a byte now and then (the patience is 2 s here).
        http_response trickle = release_of("2.6.0");
        trickle.piece_size = 1;
        trickle.piece_interval_ms = 500;
        QTest::newRow("release trickles") << trickle << answer(200) << "Network error: 5"
            << "the release lookup failed: no complete answer within 2 s from http";
        trickle.body = archive;
        QTest::newRow("download trickles") << good_release << trickle << "Error downloading image"
            << "the download failed: less than 10 kB/s from http";
        QTest::newRow("folder full") << good_release << answer(200, random_bytes(3 << 20)) << "Error downloading image"
            << "the download failed: no space left on " + downloads(); // (a small file system of its own)
    }
    void failures_report_once_and_leave_no_archive()
    {
        QFETCH(http_response, release);
        QFETCH(http_response, download);
        QFETCH(QString, message);
        QFETCH(QString, detail);
        qputenv("KELVRA_NETWORK_PATIENCE", "2");
        put("2.6.0"); // an inflated image only: not a cached archive
        const bool full = QByteArray(QTest::currentDataTag()) == "folder full";
        std::unique_ptr<small_folder> small;
        if (full && !(small = std::make_unique<small_folder>(downloads(), 1 << 20))->active())
            QSKIP("a small file system over the downloads folder needs root rights on Linux");
        m_server->set_response(http_test_server::release_path, release);
        for (const char* tag : {"2.6.0", "../x", "a/b", "", "..", ".lock", "2.6.0.record"})
            m_server->set_response(release_archive_path(tag), download);

        outcome result;
        run(result);
        small.reset();
        QCOMPARE(result.errors, QStringList{message});
        QVERIFY2(result.details.value(0).contains(detail),
                 qPrintable(result.details.value(0)));
        QVERIFY(result.finished.isEmpty());
        QCOMPARE(download_files(), QStringList{"2.6.0"});
        QCOMPARE(QDir(m_app.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{"downloads", "KELVRA Flash Tool.log"}));
    }

    void failed_lookup_falls_back_to_a_cached_archive()
    {
        m_server->stop();
        outcome without_cache;
        run(without_cache);
        QCOMPARE(without_cache.errors, QStringList{"Network error: 1"}); // once
        QVERIFY(without_cache.finished.isEmpty());

        put("2.1.0.gz", "older", 3600);
        put("2.2.0.gz", "newer", 60);
        outcome result;
        run(result);
        QVERIFY(result.errors.isEmpty());
        QCOMPARE(result.finished, QStringList{in_downloads("2.2.0.gz")});
        QCOMPARE(result.cached,
                 QStringList{"2.2.0: connection refused by " + m_server->base_url() + http_test_server::release_path});
        QCOMPARE(download_files(), (QStringList{"2.1.0.gz", "2.2.0.gz"}));
        QVERIFY(image_builder::read_file(m_app.path() + "/KELVRA Flash Tool.log").contains("] [info] [src/image/image_retriever:"));
    }

    void cancel_removes_the_partial_archive_or_ends_the_lookup_quietly()
    {
        http_response slow;
        slow.body = random_bytes(4 * 1024 * 1024);
        slow.piece_size = 65536;
        slow.piece_interval_ms = 30;
        m_server->set_release("2.7.0");
        m_server->set_response(release_archive_path("2.7.0"), slow);
        outcome result;
        run(result, [](image_retriever* retriever) { retriever->cancel(); });
        QCOMPARE(result.errors, QStringList{"Network error: 5"});
        QVERIFY(result.finished.isEmpty());
        QVERIFY(download_files().isEmpty());

        slow.body = QJsonDocument(QJsonObject{{"tag_name", "2.8.0"}}).toJson();
        slow.piece_size = 4;
        slow.piece_interval_ms = 100;
        m_server->set_response(http_test_server::release_path, slow);
        put("2.8.0.gz");
        outcome quiet;
        run(quiet, {}, [](image_retriever* retriever) { retriever->cancel(); });
        QVERIFY(quiet.errors.isEmpty() && quiet.finished.isEmpty());
    }

    void waits_for_the_run_holding_the_folder()
    {
        m_server->set_release("2.9.0");
        put("2.9.0.gz");
        auto other_run = std::make_shared<folder_lock>(downloads().toStdString());
        QVERIFY(other_run->try_lock() == folder_lock::state::locked);

        // The release is looked up, but nothing is cleaned or handed on while another run holds
        // the folder; the lock then goes to whoever inflates next.
        outcome result;
        QStringList waited;
        shared_folder_lock handed_on;
        auto* retriever = new image_retriever(m_app.path().toStdString());
        QPointer<image_retriever> alive(retriever);
        connect(retriever, &image_retriever::waiting_for_folder, this,
                [&](QString folder, QString holder) { waited << folder << holder; });
        put("2.8.9.gz"); // an older release, removed only under the lock
        connect(retriever, &image_retriever::finished_download, this, [&, retriever](std::string path) {
            result.finished << QString::fromStdString(path);
            handed_on = retriever->take_folder_lock();
        });
        retriever->request_latest_release();
        QTRY_COMPARE(waited.size(), 2);
        QTest::qWait(300);
        QCOMPARE(waited[0], downloads());
        QVERIFY2(waited[1].contains(", pid " + QString::number(QCoreApplication::applicationPid())), qPrintable(waited[1]));
        QCOMPARE(m_server->requests(), QStringList{http_test_server::release_path});
        QVERIFY(result.finished.isEmpty());
        QVERIFY(download_files().contains("2.8.9.gz"));
        other_run.reset();
        QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), 20000);
        QCOMPARE(result.finished, QStringList{in_downloads("2.9.0.gz")});
        QVERIFY(handed_on);
        QVERIFY(!download_files().contains("2.8.9.gz"));
        QVERIFY(folder_lock(downloads().toStdString()).try_lock() == folder_lock::state::held);
        handed_on.reset();
        QVERIFY(folder_lock(downloads().toStdString()).try_lock() == folder_lock::state::locked);

        // Cancelled while it waits: it ends without a word, and without the lock.
        other_run = std::make_shared<folder_lock>(downloads().toStdString());
        QVERIFY(other_run->try_lock() == folder_lock::state::locked);
        outcome stopped;
        run(stopped, {}, [&](image_retriever* waiting) {
            QTRY_VERIFY(m_server->requests().size() >= 2);
            QTest::qWait(200);
            waiting->cancel();
        });
        QVERIFY(stopped.errors.isEmpty() && stopped.finished.isEmpty());
    }

    void clean_up_spares_the_temporaries_of_live_runs()
    {
        // This process is alive; a pid past the kernel's limit never is.
        const QString mine = QString(".%1-77.part").arg(QCoreApplication::applicationPid());
        put("2.3.1.gz" + mine);
        put("2.3.1.gz.4194305-1.part");
        put("2.3.1.gz.part"); // from before temporaries carried their run
        image_builder::write_file(m_app.path() + "/configuration.txt.4194305-2.part", "{}");
        image_builder::write_file(m_app.path() + "/configuration.txt" + mine, "{}");
        image_cache::clean(downloads().toStdString(), std::string());
        QCOMPARE(download_files(), QStringList{"2.3.1.gz" + mine});
        QVERIFY(!QFile::exists(m_app.path() + "/configuration.txt.4194305-2.part"));
        QVERIFY(QFile::remove(m_app.path() + "/configuration.txt" + mine));
    }

    void a_lock_nobody_can_hold_is_taken_over_or_named()
    {
        // Left empty or garbled by a process that died while writing it: taken over.
        for (const QByteArray& content : {QByteArray(), QByteArray("no lock at all\n")}) {
            image_builder::write_file(in_downloads(".lock"), content);
            QFile lock(in_downloads(".lock"));
            QVERIFY(lock.open(QIODevice::ReadWrite));
            lock.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime);
            lock.close();
            folder_lock taker(downloads().toStdString());
            QVERIFY(taker.try_lock() == folder_lock::state::locked);
        }
        // A symlink pointing nowhere, which no run leaves: taken over as well.
        // (Windows makes a shortcut file instead, which is no such link.)
        if (QFile::link(in_downloads("nowhere"), in_downloads(".lock")) && QFileInfo(in_downloads(".lock")).isSymbolicLink())
            QVERIFY(folder_lock(downloads().toStdString()).try_lock() == folder_lock::state::locked);
        QFile::remove(in_downloads(".lock"));
        // A folder of that name, or a folder that cannot be written: a clear failure, not a wait.
        QDir().mkpath(in_downloads(".lock"));
        folder_lock blocked(downloads().toStdString());
        QVERIFY(blocked.try_lock() == folder_lock::state::failed);
        QVERIFY(QString::fromStdString(blocked.failure()).contains("it is a folder"));
        std::string failure;
        QVERIFY(!wait_for_folder_lock(downloads().toStdString(), [] { return false; }, {}, &failure));
        QVERIFY(!failure.empty());
        QDir(in_downloads(".lock")).removeRecursively();
    }
};


QTEST_GUILESS_MAIN(test_image_retriever)
#include "test_image_retriever.moc"
