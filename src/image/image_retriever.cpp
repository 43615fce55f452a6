#include "src/image/image_retriever.h"

#include "src/core/file_io.h"
#include "src/core/log_location.h"
#include "src/image/image_cache.h"
#include "src/image/network_failure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QStorageInfo>
#include <QTimer>
#include <QUrl>

#include <cstring>

namespace {

// A stalled server ends the run with an error instead of holding it forever.
constexpr int transfer_timeout_ms = 60000;
// A server that keeps a transfer alive with a trickle is given up on as well: the lookup must be done
// within the patience, and a download must bring this much per second over each such stretch.
constexpr qint64 useful_bytes_per_second = 10000;

int patience_seconds()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("KELVRA_NETWORK_PATIENCE", &ok);
    return ok && seconds > 0 ? seconds : 120;
}

bool no_room_for(const QString& folder, qint64 bytes)
{
    QStorageInfo storage(folder);
    return storage.isValid() && storage.bytesAvailable() < bytes;
}

QString base_from_environment(const char* variable, const char* fallback)
{
    QString base = qEnvironmentVariableIsEmpty(variable) ? QString::fromLatin1(fallback) : qEnvironmentVariable(variable);
    while (base.endsWith('/'))
        base.chop(1);
    return base;
}

QNetworkRequest request_for(const QString& url)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setTransferTimeout(transfer_timeout_ms);
    return request;
}

QString q(const std::string& utf8)
{
    return QString::fromStdString(utf8);
}

bool http_success(const QNetworkReply& reply)
{
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return reply.error() == QNetworkReply::NoError && status >= 200 && status < 300;
}

} // namespace

image_retriever::image_retriever(const std::string& app_folder) : m_app_folder(app_folder)
{
    qRegisterMetaType<std::string>("std::string");
}

image_retriever::~image_retriever()
{
    if (m_downloading)
        m_discard_partial();
}

QString image_retriever::release_api_base()
{
    return base_from_environment("KELVRA_RELEASE_API", "https://api.github.com");
}

QString image_retriever::image_server_base()
{
    return base_from_environment("KELVRA_IMAGE_SERVER", "https://download.kelvra.io");
}

bool image_retriever::is_safe_tag(const std::string& tag)
{
    // Nor a hidden name (".lock" is the folder's lock), nor one of the cache's own suffixes.
    if (tag.empty() || tag.size() > 128 || tag[0] == '.')
        return false;
    for (const char* own : {".part", ".record"})
        if (tag.size() >= std::strlen(own) && tag.compare(tag.size() - std::strlen(own), std::string::npos, own) == 0)
            return false;
    for (const char c : tag) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.'
            || c == '_' || c == '-';
        if (!allowed)
            return false;
    }
    return true;
}

std::string image_retriever::m_downloads_folder() const
{
    return m_app_folder + "/downloads";
}

void image_retriever::request_latest_release()
{
    // Children of the retriever: they go when it deletes itself.
    m_network_manager = new QNetworkAccessManager(this);
    m_release_reply = m_network_manager->get(request_for(release_api_base() + "/repos/orvane/KELVRA/releases/latest"));
    // Its errors are judged once, when it finishes: a failed lookup has one outcome.
    connect(m_release_reply, SIGNAL(finished()), this, SLOT(latest_reply_finished()));
    QTimer::singleShot(patience_seconds() * 1000, this, [this] {
        if (m_ended || !m_release_reply->isRunning())
            return;
        m_lookup_overdue = true;
        m_release_reply->abort(); // finished: judged as any failed lookup
    });
}

void image_retriever::latest_reply_finished()
{
    if (m_ended)
        return;
    // The lookup needs no lock (a server that does not answer holds up no other run); the cache
    // and the download do.
    m_lock = std::make_shared<folder_lock>(m_downloads_folder());
    const folder_lock::state state = m_lock->try_lock();
    if (state == folder_lock::state::locked) {
        m_after_lookup();
        return;
    }
    if (state == folder_lock::state::failed) {
        KLOG(logger::fatal, m_lock->failure());
        m_failure_detail = q(m_lock->failure());
        reply_error(QNetworkReply::NoError); // as an archive that cannot be written: "Network error: 0"
        return;
    }
    KLOG(logger::info, "Waiting for another run using " << m_downloads_folder() << " (" << m_lock->holder() << ")");
    emit waiting_for_folder(q(m_downloads_folder()), QString::fromStdString(m_lock->holder()));
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, poll] {
        if (m_ended) {
            poll->stop();
            return;
        }
        const folder_lock::state now = m_lock->try_lock();
        if (now == folder_lock::state::held)
            return;
        poll->stop();
        if (now == folder_lock::state::locked) {
            m_after_lookup();
        } else {
            m_failure_detail = q(m_lock->failure());
            reply_error(QNetworkReply::NoError);
        }
    });
    poll->start(100);
}

void image_retriever::m_after_lookup()
{
    const QNetworkReply::NetworkError code = m_release_reply->error();
    // An aborted answer is closed: nothing to read.
    m_tag = QJsonDocument::fromJson(m_release_reply->isOpen() ? m_release_reply->readAll() : QByteArray())
                .object()
                .value(QStringLiteral("tag_name"))
                .toString()
                .toStdString();

    QDir downloads(q(m_downloads_folder()));
    image_cache::clean(m_downloads_folder(), std::string());

    if (code != QNetworkReply::NoError || !is_safe_tag(m_tag)) {
        const QString url = m_release_reply->url().toString();
        QString reason;
        if (m_lookup_overdue)
            reason = "no complete answer within " + QString::number(patience_seconds()) + " s from " + url;
        else if (!http_success(*m_release_reply))
            reason = describe_network_failure(
                outcome_of(*m_release_reply, m_cancel_requested, transfer_timeout_ms / 1000));
        else if (m_tag.empty())
            reason = "the release answer has no tag_name (" + url + ")";
        else
            reason = "the release answer's tag_name is no safe file name (" + url + ")";
        m_failure_detail = "the release lookup failed: " + reason;
        if (code == QNetworkReply::NoError)
            KLOG(logger::fatal, "Invalid release tag, " << m_tag.size() << " bytes");
        m_use_cached_archive_or_fail(code, reason);
        return;
    }

    image_cache::remove_orphaned_images(m_downloads_folder(), m_tag);
    const QStringList names = downloads.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        if (QFileInfo(name).suffix() != QLatin1String("gz"))
            continue;
        if (name.contains(q(m_tag))) {
            m_hand_on(m_downloads_folder() + "/" + name.toStdString());
            return;
        }
        image_cache::remove_release(downloads.filePath(name).toStdString());
    }
    download_image();
}

void image_retriever::m_use_cached_archive_or_fail(int code, const QString& reason)
{
    // Farms often flash offline: the newest archive already here is the best we can do.
    const QFileInfoList archives =
        QDir(q(m_downloads_folder())).entryInfoList({QStringLiteral("*.gz")}, QDir::Files, QDir::Time);
    for (const QFileInfo& archive : archives) {
        if (archive.suffix() != QLatin1String("gz"))
            continue;
        const std::string path = m_downloads_folder() + "/" + archive.fileName().toStdString();
        KLOG(logger::info, "Release lookup failed (" << code << ", " << m_failure_detail.toStdString()
                                                     << "), using the cached image " << path);
        m_failure_detail.clear();
        emit using_cached_release(archive.fileName().chopped(3), reason);
        m_hand_on(path);
        return;
    }
    reply_error(static_cast<QNetworkReply::NetworkError>(code));
}

void image_retriever::download_image()
{
    m_expected_size = 0;
    QDir downloads(q(m_downloads_folder()));
    if (!downloads.exists())
        QDir().mkdir(downloads.path());

    const QString url = image_server_base() + "/orvminer/kelvra/kelvra-" + q(m_tag) + "/image/kelvra-" + q(m_tag)
        + ".img.gz";
    delete m_download_file;
    m_download_file = new QFile(this);

    KLOG(logger::debug, "Starting download");
    m_download_reply = m_network_manager->get(request_for(url));
    connect(m_download_reply, SIGNAL(readyRead()), this, SLOT(recived_data()));
    connect(m_download_reply, SIGNAL(downloadProgress(qint64, qint64)), this, SLOT(show_progress(qint64, qint64)));
    connect(m_download_reply, SIGNAL(finished()), this, SLOT(download_finished()));
    connect(m_download_reply, SIGNAL(error(QNetworkReply::NetworkError)), this,
            SLOT(reply_error(QNetworkReply::NetworkError)));
    m_downloading = true;

    auto* pace = new QTimer(this);
    connect(pace, &QTimer::timeout, this, [this, pace, url, arrived_before = qint64(0)]() mutable {
        const qint64 arrived = m_received - arrived_before;
        arrived_before = m_received;
        if (m_ended || arrived >= useful_bytes_per_second * patience_seconds())
            return;
        pace->stop();
        m_failure_detail = "the download failed: less than " + QString::number(useful_bytes_per_second / 1000)
            + " kB/s from " + url + " for " + QString::number(patience_seconds()) + " s (" + QString::number(arrived)
            + " bytes arrived in that time)";
        KLOG(logger::fatal, "Downloading image error: " << m_failure_detail.toStdString());
        m_fail_download();
    });
    pace->start(patience_seconds() * 1000);
}

void image_retriever::recived_data()
{
    if (m_ended)
        return;
    const std::string name = m_tag + ".gz";
    if (!m_download_file->isOpen()) {
        // Written under a temporary name: only a complete archive ever carries the final one.
        m_file_path = m_downloads_folder() + "/" + name;
        m_download_file->setFileName(q(image_cache::temporary_name(m_file_path)));
        // Unbuffered: a full disk shows at the write that meets it, not at some later flush.
        if (!m_download_file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            KLOG(logger::fatal, "Cannot open file" << name);
            m_failure_detail = "the download failed: cannot create " + m_download_file->fileName() + ": "
                + m_download_file->errorString();
        }
    }
    if (m_download_file->isOpen()) {
        const QByteArray data = m_download_reply->readAll();
        if (m_download_file->write(data) != data.size()) {
            KLOG(logger::fatal, "Cannot write file" << name);
            if (m_download_file->error() == QFileDevice::ResourceError || no_room_for(q(m_downloads_folder()), data.size()))
                m_failure_detail = "the download failed: no space left on " + q(m_downloads_folder());
            else
                m_failure_detail = "the download failed: cannot write " + m_download_file->fileName() + ": "
                    + m_download_file->errorString();
            m_fail_download();
            return;
        }
    }
    if (m_download_reply->error() != QNetworkReply::NoError || !m_download_file->exists())
        reply_error(m_download_reply->error());
}

void image_retriever::show_progress(qint64 recieved, qint64 total)
{
    m_expected_size = total;
    m_received = recieved;
    if (!m_ended)
        emit progress_updated(recieved, total);
}

void image_retriever::download_finished()
{
    m_downloading = false;
    m_download_file->close();
    KLOG(logger::debug, "Download Finished");
    if (m_ended) {
        m_discard_partial();
        return;
    }

    // Qt ends every download with a progress report whose total is what arrived, so the
    // announced length is taken from the answer itself: without one, completeness is unknown.
    const int status = m_download_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant announced = m_download_reply->header(QNetworkRequest::ContentLengthHeader);
    const bool complete = m_download_reply->error() == QNetworkReply::NoError && status >= 200 && status < 300
        && announced.isValid() && announced.toLongLong() == m_expected_size && m_expected_size > 0
        && m_download_file->exists() && m_download_file->size() == m_expected_size;
    // On the disk before it carries the name later runs trust.
    if (complete && flush_to_disk(m_download_file->fileName().toStdString())) {
        QFile::remove(q(m_file_path));
        if (QFile::rename(m_download_file->fileName(), q(m_file_path))) {
            m_hand_on(m_file_path);
            return;
        }
    }
    const QString url = m_download_reply->url().toString();
    if (!http_success(*m_download_reply))
        m_failure_detail = m_describe("the download failed", *m_download_reply);
    else if (!announced.isValid() && m_download_reply->hasRawHeader("Content-Encoding"))
        m_failure_detail =
            "the download failed: the server compressed the transfer, so its length cannot be checked: " + url;
    else if (!announced.isValid())
        m_failure_detail = "the download failed: the server did not announce the length of " + url;
    else if (!complete)
        m_failure_detail = "the download failed: " + QString::number(m_download_file->size()) + " of "
            + QString::number(announced.toLongLong()) + " bytes arrived from " + url;
    else
        m_failure_detail = "the download failed: cannot store " + q(m_file_path);
    KLOG(logger::fatal, "Downloading image error: " << m_failure_detail.toStdString());
    m_fail_download();
}

void image_retriever::reply_error(QNetworkReply::NetworkError code)
{
    if (m_ended)
        return;
    m_ended = true; // the aborts below report back into this object
    m_downloading = false;
    // A reply that already carries an error is ending by itself; aborting it again upsets Qt.
    if (m_release_reply && m_release_reply->isRunning() && m_release_reply->error() == QNetworkReply::NoError)
        m_release_reply->abort();
    else if (m_download_reply && m_download_reply->isRunning() && m_download_reply->error() == QNetworkReply::NoError)
        m_download_reply->abort();

    if (m_failure_detail.isEmpty() && m_download_reply)
        m_failure_detail = m_describe("the download failed", *m_download_reply);
    else if (m_failure_detail.isEmpty() && m_release_reply)
        m_failure_detail = m_describe("the release lookup failed", *m_release_reply);
    KLOG(logger::fatal, "Network error: " << static_cast<int>(code) << " (" << m_failure_detail.toStdString() << ")");
    emit error_msg(tr("Network error: ") + QString::number(static_cast<int>(code)), true);
    m_discard_partial();
    m_end();
}

void image_retriever::cancel()
{
    if (m_ended)
        return;
    m_cancel_requested = true;
    if (m_downloading) {
        m_downloading = false;
        if (m_download_reply && m_download_reply->isRunning()) {
            KLOG(logger::info, "Download canceled");
            m_download_reply->abort(); // ends the run through reply_error with code 5
        }
        return;
    }
    // During the release lookup the caller has already moved on: end without a word.
    m_ended = true;
    if (m_release_reply && m_release_reply->isRunning())
        m_release_reply->abort();
    m_end();
}

void image_retriever::m_fail_download()
{
    m_ended = true;
    m_downloading = false;
    if (m_download_reply && m_download_reply->isRunning())
        m_download_reply->abort();
    m_discard_partial();
    emit error_msg(tr("Error downloading image"), true);
    m_end();
}

void image_retriever::m_hand_on(const std::string& path)
{
    m_ended = true;
    m_downloading = false;
    emit finished_download(path);
    m_end();
}

void image_retriever::m_discard_partial()
{
    if (!m_download_file || m_download_file->fileName().isEmpty())
        return;
    m_download_file->close();
    m_download_file->remove();
}

void image_retriever::m_end()
{
    deleteLater();
}

QString image_retriever::m_describe(const char* step, const QNetworkReply& reply) const
{
    return QString::fromLatin1(step) + ": "
        + describe_network_failure(outcome_of(reply, m_cancel_requested, transfer_timeout_ms / 1000));
}
