#include "file_size_limit.h"
#include "http_test_server.h"
#include "image_builder.h"

#include "src/core/logger.h"
#include "src/image/image_cache.h"
#include "src/image/image_retriever.h"

#include <QtTest>

#include <functional>
#include <memory>
#include <tuple>

namespace {

QByteArray random_bytes(int size)
{
    return image_builder::random_bytes(size, 11);
}

// With a piece size, the body goes out in pieces that far apart.
http_response answer(int status, const QByteArray& body = "x", int piece_size = 0, int piece_interval_ms = 0)
{
    http_response response;
    response.status = status;
    response.body = body;
    response.piece_size = piece_size;
    response.piece_interval_ms = piece_interval_ms;
    return response;
}

http_response release_of(const QString& tag, int piece_size = 0, int piece_interval_ms = 0)
{
    return answer(200, QJsonDocument(QJsonObject{{"tag_name", tag}}).toJson(), piece_size, piece_interval_ms);
}

// What one retriever did from its release request until it deleted itself.
struct outcome {
    QStringList finished;
    QStringList errors;
    QStringList details; // what the headless front end says instead
    QStringList cached;  // tag and reason of a cached release used instead of the latest
    QList<QPair<qint64, qint64>> progress;
    QStringList waited;       // folder and holder, while another run holds the downloads folder
    shared_folder_lock lock;  // handed on with the archive
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
        connect(retriever, &image_retriever::finished_download, this, [&result, retriever](std::string path) {
            result.finished << QString::fromStdString(path);
            result.lock = retriever->take_folder_lock();
        });
        connect(retriever, &image_retriever::waiting_for_folder, this,
                [&result](QString folder, QString holder) { result.waited << folder << holder; });
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
        QTRY_VERIFY2_WITH_TIMEOUT(alive.isNull(), "the retriever did not end by deleting itself", 60000);
        QCoreApplication::sendPostedEvents(); // and nothing it queued arrives afterwards
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
        m_server->set_release("2.5.0");
        m_server->set_response(release_archive_path("2.5.0"), answer(200, archive, 256 * 1024));

        outcome result;
        run(result);
        QVERIFY(result.errors.isEmpty());
        QCOMPARE(result.finished, QStringList{in_downloads("2.5.0.gz")});
        QCOMPARE(download_files(), QStringList{"2.5.0.gz"});
        QVERIFY(image_builder::read_file(in_downloads("2.5.0.gz")) == archive);
        QCOMPARE(result.progress.value(result.progress.size() - 1), qMakePair(qint64(archive.size()), qint64(archive.size())));
        QCOMPARE(m_server->requests(), (QStringList{http_test_server::release_path, release_archive_path("2.5.0")}));
    }

    void failures_report_once_and_leave_no_archive_data()
    {
        QTest::addColumn<http_response>("release");
        QTest::addColumn<http_response>("download");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("detail");

        const http_response good_release = release_of("2.6.0");
        const QByteArray archive = random_bytes(600000);
        const QString download_failed = "the download failed: ", lookup_failed = "the release lookup failed: ";

        http_response gzip_encoded = answer(200, image_builder::gzip(archive)); // Qt inflates it: sizes differ
        gzip_encoded.headers << qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip"));
        http_response close_delimited = answer(200, archive), chunked = close_delimited;
        close_delimited.framing = http_response::framing::close_delimited;
        chunked.framing = http_response::framing::chunked;
        http_response dropped = answer(200, archive, 65536);
        dropped.drop_after = 300000;

        QTest::newRow("size mismatch") << good_release << gzip_encoded << "Error downloading image" << download_failed
            + "the server compressed the transfer, so its length cannot be checked: http";
        QTest::newRow("no content length") << good_release << close_delimited << "Error downloading image"
            << download_failed + "the server did not announce the length of http";
        QTest::newRow("chunked, no total") << good_release << chunked << "Error downloading image"
            << download_failed + "the server did not announce the length of http";
        QTest::newRow("dropped mid-body") << good_release << dropped << "Network error: 2"
            << download_failed + "the server closed the connection early: http";
        for (const auto& [status, code, line] : {std::tuple{404, "Network error: 203", "HTTP 404 Not Found from http"},
                                                 std::tuple{500, "Network error: 401", "HTTP 500 Internal Server Error from http"}}) {
            QTest::addRow("download %d", status) << good_release << answer(status) << code << download_failed + line;
            QTest::addRow("release %d", status) << answer(status) << answer(200) << code << lookup_failed + line;
        }
        QTest::newRow("release not json") << answer(200, "<html>") << answer(200) << "Network error: 0"
            << lookup_failed + "the release answer has no tag_name (http";
        QTest::newRow("empty tag") << release_of("") << answer(200) << "Network error: 0"
            << "the release answer has no tag_name";
        // Tags that climb out, and names of the folder's own: the lock, the cache's records.
        for (const char* tag : {"../x", "a/b", "..", ".lock", "2.6.0.record"})
            QTest::addRow("tag %s", tag) << release_of(tag) << answer(200) << "Network error: 0"
                                         << "the release answer's tag_name is no safe file name";
        // Servers that keep a transfer alive with a byte now and then (the patience is 2 s here).
        QTest::newRow("release trickles") << release_of("2.6.0", 1, 500) << answer(200) << "Network error: 5"
            << lookup_failed + "no complete answer within 2 s from http";
        QTest::newRow("download trickles") << good_release << answer(200, archive, 1, 500) << "Error downloading image"
            << download_failed + "less than 10 kB/s from http";
        QTest::newRow("folder full") << good_release << answer(200, random_bytes(3 << 20)) << "Error downloading image"
            << download_failed + "no space left on " + downloads(); // (a small file system of its own)
    }
    void failures_report_once_and_leave_no_archive()
    {
        QFETCH(http_response, release);
        QFETCH(http_response, download);
        QFETCH(QString, message);
        QFETCH(QString, detail);
        qputenv("KELVRA_NETWORK_PATIENCE", "2");
        std::unique_ptr<small_folder> full;
        if (QByteArray(QTest::currentDataTag()) == "folder full"
            && !(full = std::make_unique<small_folder>(downloads(), 1 << 20))->active())
            QSKIP("mounting a small file system on the downloads folder needs root rights");
        put("2.6.0"); // an inflated image only: not a cached archive
        m_server->set_response(http_test_server::release_path, release);
        for (const char* tag : {"2.6.0", "../x", "a/b", "", "..", ".lock", "2.6.0.record"})
            m_server->set_response(release_archive_path(tag), download);

        outcome result;
        run(result);
        QCOMPARE(result.errors, QStringList{message});
        QVERIFY2(result.details.value(0).contains(detail), qPrintable(result.details.value(0)));
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
        QCOMPARE(without_cache.errors, QStringList{"Network error: 1"}); // once, and nothing handed on
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
        m_server->set_release("2.7.0");
        m_server->set_response(release_archive_path("2.7.0"), answer(200, random_bytes(4 * 1024 * 1024), 65536, 30));
        outcome result;
        run(result, [](image_retriever* retriever) { retriever->cancel(); });
        QCOMPARE(result.errors, QStringList{"Network error: 5"});
        QVERIFY(result.finished.isEmpty() && download_files().isEmpty());

        m_server->set_response(http_test_server::release_path, release_of("2.8.0", 4, 100));
        put("2.8.0.gz");
        outcome quiet;
        run(quiet, {}, [](image_retriever* retriever) { retriever->cancel(); });
        QVERIFY(quiet.errors.isEmpty() && quiet.finished.isEmpty());
    }

    void waits_for_the_run_holding_the_folder()
    {
        m_server->set_release("2.9.0");
        put("2.9.0.gz");
        put("2.8.9.gz"); // an older release, removed only under the lock
        auto other_run = std::make_shared<folder_lock>(downloads().toStdString());
        QVERIFY(other_run->try_lock() == folder_lock::state::locked);

        // The release is looked up, but nothing is cleaned or handed on while another run holds
        // the folder; the lock then goes to whoever inflates next.
        outcome result;
        run(result, {}, [&](image_retriever*) {
            QTRY_COMPARE_WITH_TIMEOUT(result.waited.size(), 2, 60000);
            QTest::qWait(300);
            QCOMPARE(result.waited[0], downloads());
            const QString pid = ", pid " + QString::number(QCoreApplication::applicationPid());
            QVERIFY2(result.waited[1].contains(pid), qPrintable(result.waited[1]));
            QCOMPARE(m_server->requests(), QStringList{http_test_server::release_path});
            QVERIFY(result.finished.isEmpty());
            QVERIFY(download_files().contains("2.8.9.gz"));
            other_run.reset();
        });
        QCOMPARE(result.finished, QStringList{in_downloads("2.9.0.gz")});
        QVERIFY(result.lock);
        QVERIFY(!download_files().contains("2.8.9.gz"));
        QVERIFY(folder_lock(downloads().toStdString()).try_lock() == folder_lock::state::held);
        result.lock.reset();
        QVERIFY(folder_lock(downloads().toStdString()).try_lock() == folder_lock::state::locked);

        // Cancelled while it waits: it ends without a word, and without the lock.
        other_run = std::make_shared<folder_lock>(downloads().toStdString());
        QVERIFY(other_run->try_lock() == folder_lock::state::locked);
        outcome stopped;
        run(stopped, {}, [&](image_retriever* waiting) {
            QTRY_COMPARE_WITH_TIMEOUT(stopped.waited.size(), 2, 60000);
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
            put(".lock", content, 60);
            QVERIFY(folder_lock(downloads().toStdString()).try_lock() == folder_lock::state::locked);
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
