#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QString>

#include "src/image/folder_lock.h"

#include <string>

class QFile;
class QNetworkAccessManager;

Q_DECLARE_METATYPE(std::string)

// Finds the latest release and hands back its image archive from the downloads folder, fetching
// it first when it is not there. One retriever serves one run and deletes itself when it ends;
// every run ends with exactly one of finished_download or error_msg, or with nothing after cancel
// during the release lookup.
class image_retriever : public QObject {
    Q_OBJECT

public:
    explicit image_retriever(const std::string& app_folder);
    ~image_retriever() override;

    // Where the release metadata and the archives come from: KELVRA_RELEASE_API and
    // KELVRA_IMAGE_SERVER when set (full base URLs, http allowed), otherwise the public hosts.
    // KELVRA_NETWORK_PATIENCE (seconds, 120 by default) bounds the release lookup as a whole and
    // the stretch a download may stay below a useful rate.
    static QString release_api_base();
    static QString image_server_base();

    // A tag becomes a file name: only letters, digits, '.', '_', '-', and never "." or "..".
    static bool is_safe_tag(const std::string& tag);

    // Once the release is known, takes the downloads folder's lock (waiting while another run
    // holds it), so that the clean-up and the download see no other run's half-made files.
    void request_latest_release();
    // After finished_download: the lock, for the caller to hold until the image is inflated.
    shared_folder_lock take_folder_lock() { return std::move(m_lock); }
    void download_image();
    void cancel();
    // Why the run failed, naming the URL or file ("the release lookup failed: HTTP 404 Not Found
    // from <url>"), for the headless front end and the log; valid when error_msg is emitted. The
    // window shows the short error_msg texts instead.
    QString failure_detail() const { return m_failure_detail; }

signals:
    void progress_updated(qint64 recieved, qint64 total);
    void finished_download(std::string filename);
    void error_msg(QString error_msg, bool is_err);
    // Another run holds the downloads folder; this one goes on when it is done.
    void waiting_for_folder(QString folder, QString holder);
    // The release lookup failed (reason: what went wrong, naming the URL) and the newest archive
    // already here, of the release tag, is handed on instead: the user is to know that the drive
    // may get an older release than the server has. Comes right before finished_download.
    void using_cached_release(QString tag, QString reason);

private slots:
    void latest_reply_finished();
    void recived_data();
    void show_progress(qint64 recieved, qint64 total);
    void download_finished();
    void reply_error(QNetworkReply::NetworkError code);

private:
    std::string m_downloads_folder() const;
    void m_after_lookup();
    void m_use_cached_archive_or_fail(int code, const QString& reason);
    void m_fail_download();
    void m_hand_on(const std::string& path);
    void m_discard_partial();
    void m_end();
    QString m_describe(const char* step, const QNetworkReply& reply) const;

    QNetworkAccessManager* m_network_manager = nullptr;
    QNetworkReply* m_download_reply = nullptr;
    QFile* m_download_file = nullptr;
    QNetworkReply* m_release_reply = nullptr;
    std::string m_file_path;
    bool m_downloading = false;
    std::string m_app_folder;
    qint64 m_expected_size = 0;
    std::string m_tag;
    // The run's outcome has been reported (or the run was cancelled): later reply signals only
    // clean up.
    bool m_ended = false;
    bool m_cancel_requested = false;
    bool m_lookup_overdue = false; // the release lookup was given up: it took too long
    qint64 m_received = 0;         // bytes of the download so far
    QString m_failure_detail;
    shared_folder_lock m_lock;
};
