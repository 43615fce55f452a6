#include "src/image/image_cache.h"

#include "src/core/durable_file.h"
#include "src/core/file_io.h"
#include "src/core/log_location.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <zlib.h>

#include <algorithm>
#include <memory>

namespace {

constexpr const char* local_prefix = "local-";
constexpr qint64 hour_ms = 3600LL * 1000;
constexpr qint64 week_ms = 7 * 24 * hour_ms;

QString q(const std::string& utf8)
{
    return QString::fromStdString(utf8);
}

struct stream_closer {
    void operator()(FILE* stream) const { std::fclose(stream); }
};

// What identifies an archive without reading it whole: its size, its modification time and its
// last eight bytes (a gzip member's CRC-32 and length).
QJsonObject archive_identity(const std::string& archive)
{
    const QFileInfo info(q(archive));
    std::unique_ptr<FILE, stream_closer> stream(open_file(archive, "rb"));
    if (!stream || !info.isFile())
        return QJsonObject();
    const int64_t size = info.size();
    unsigned char trailer[8] = {};
    if (size >= 8 && (file_seek(stream.get(), size - 8, SEEK_SET) != 0 || std::fread(trailer, 1, 8, stream.get()) != 8))
        return QJsonObject();
    QJsonObject identity;
    identity["archive_size"] = QString::number(size);
    identity["archive_modified"] = QString::number(info.lastModified().toMSecsSinceEpoch());
    identity["archive_trailer"] =
        QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(trailer), 8).toHex());
    return identity;
}

// Writes a new file and pushes it to the disk.
bool write_synced(const std::string& path, const QByteArray& contents)
{
    std::unique_ptr<FILE, stream_closer> stream(open_file(path, "wb"));
    if (!stream)
        return false;
    const size_t size = static_cast<size_t>(contents.size());
    const bool written = std::fwrite(contents.constData(), 1, size, stream.get()) == size;
    return std::fclose(stream.release()) == 0 && written && flush_to_disk(path);
}

} // namespace

namespace image_cache {

image_source for_download(const std::string& archive)
{
    const std::string image = archive.size() < 3 ? archive : archive.substr(0, archive.size() - 3);
    return image_source{archive, image, true};
}

image_source for_local_archive(const std::string& archive, const std::string& downloads_folder)
{
    const QJsonObject identity = archive_identity(archive);
    if (identity.isEmpty())
        return image_source{archive, std::string(), false};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QFileInfo(q(archive)).canonicalFilePath().toUtf8());
    hash.addData(QJsonDocument(identity).toJson(QJsonDocument::Compact));
    const std::string name = local_prefix + hash.result().toHex().left(16).toStdString();
    return image_source{archive, downloads_folder + "/" + name, false};
}

std::string record_path(const std::string& image)
{
    return image + ".record";
}

std::string temporary_name(const std::string& final_path)
{
    return ::temporary_name(final_path);
}

std::string identity_of(const std::string& archive)
{
    const QJsonObject identity = archive_identity(archive);
    return identity.isEmpty() ? std::string() : QJsonDocument(identity).toJson(QJsonDocument::Compact).toStdString();
}

bool is_usable(const image_source& source)
{
    return (source.made_by_this_run && QFileInfo(q(source.image)).isFile()) || is_current(source);
}

bool is_current(const image_source& source)
{
    QFile file(q(record_path(source.image)));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QJsonObject record = QJsonDocument::fromJson(file.readAll()).object();
    const QFileInfo image(q(source.image));
    if (!image.isFile() || record.value("image_size").toString() != QString::number(image.size()))
        return false;
    record.remove("image_size");
    record.remove("image_crc");
    const QJsonObject identity = archive_identity(source.archive);
    return !identity.isEmpty() && record == identity;
}

void touch(const image_source& source)
{
    QFile record(q(record_path(source.image)));
    if (record.open(QIODevice::ReadWrite))
        record.setFileTime(QDateTime::currentDateTimeUtc(), QFileDevice::FileModificationTime);
}

bool publish(const image_source& source, const std::string& identity, const std::string& temporary_image,
             int64_t image_size, uint32_t content_crc)
{
    QJsonObject record = QJsonDocument::fromJson(QByteArray::fromStdString(identity)).object();
    if (record.isEmpty() || !flush_to_disk(temporary_image))
        return false;
    record["image_size"] = QString::number(image_size);
    record["image_crc"] = QString::number(content_crc, 16);
    const std::string record_temporary = temporary_name(record_path(source.image));
    if (!write_synced(record_temporary, QJsonDocument(record).toJson())) {
        QFile::remove(q(record_temporary));
        return false;
    }
    discard(source);
    const bool published = QFile::rename(q(temporary_image), q(source.image))
        && QFile::rename(q(record_temporary), q(record_path(source.image)));
    if (!published) {
        KLOG(logger::fatal, "Cannot publish " << source.image);
        QFile::remove(q(record_temporary));
        return false;
    }
    flush_folder(QFileInfo(q(source.image)).absolutePath().toStdString());
    return true;
}

bool recorded_crc(const image_source& source, uint32_t& crc)
{
    QFile file(q(record_path(source.image)));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool ok = false;
    crc = QJsonDocument::fromJson(file.readAll()).object().value("image_crc").toString().toUInt(&ok, 16);
    return ok;
}

namespace {

// zlib's combine takes a z_off_t, 32 bits on some platforms: lengths stay below 2^30 here.
constexpr uint64_t combine_step = uint64_t(1) << 30;

// The CRC-32 of length (< combine_step) zero bytes, by doubling: no zeros are run through it.
uint32_t crc_of_some_zeros(uint64_t length)
{
    static const unsigned char zero = 0;
    uint32_t result = 0;
    uint32_t piece = static_cast<uint32_t>(crc32(0, &zero, 1));
    for (uint64_t piece_length = 1; length > 0; length >>= 1, piece_length *= 2) {
        if (length & 1)
            result = static_cast<uint32_t>(crc32_combine(result, piece, static_cast<z_off_t>(piece_length)));
        if (length > 1)
            piece = static_cast<uint32_t>(crc32_combine(piece, piece, static_cast<z_off_t>(piece_length)));
    }
    return result;
}

// crc continued over length more zero bytes.
uint32_t append_zeros(uint32_t crc, uint64_t length)
{
    static const uint32_t step_crc = crc_of_some_zeros(combine_step);
    for (; length >= combine_step; length -= combine_step)
        crc = static_cast<uint32_t>(crc32_combine(crc, step_crc, static_cast<z_off_t>(combine_step)));
    return length ? static_cast<uint32_t>(crc32_combine(crc, crc_of_some_zeros(length), static_cast<z_off_t>(length)))
                  : crc;
}

} // namespace

uint32_t crc_with_gap(uint32_t whole, uint64_t size, uint64_t gap_offset, const unsigned char* gap, size_t gap_size)
{
    // CRC-32 is affine: crc(a ^ b ^ c) = crc(a) ^ crc(b) ^ crc(c) for equal lengths. With b the gap
    // alone among zeros and c all zeros, a ^ b is the image with its gap zeroed.
    const uint64_t rest = size - gap_offset - gap_size;
    const uint32_t gap_crc = static_cast<uint32_t>(crc32(0, gap, static_cast<uInt>(gap_size)));
    uint32_t gap_alone = static_cast<uint32_t>(
        crc32_combine(append_zeros(0, gap_offset), gap_crc, static_cast<z_off_t>(gap_size)));
    gap_alone = append_zeros(gap_alone, rest);
    return whole ^ gap_alone ^ append_zeros(0, size);
}

void discard(const image_source& source)
{
    QFile::remove(q(record_path(source.image)));
    QFile::remove(q(source.image));
}

namespace {

// Hidden, so that no release tag can name it: ".<image>.<pid>-<n>.hold".
QString hold_prefix(const QFileInfo& image)
{
    return "." + image.fileName() + ".";
}

const QRegularExpression& hold_pattern()
{
    static const QRegularExpression pattern(QStringLiteral("(\\d+)-\\d+\\.hold$"));
    return pattern;
}

} // namespace

hold::hold(const std::string& image)
{
    const QFileInfo file(q(image));
    const std::string temporary = ::temporary_name(file.dir().filePath("." + file.fileName()).toStdString());
    m_path = temporary.substr(0, temporary.size() - 5) + ".hold";
    QFile marker(q(m_path));
    if (!marker.open(QIODevice::WriteOnly))
        KLOG(logger::fatal, "Cannot mark " << image << " as in use: " << marker.errorString().toStdString());
}

hold::~hold()
{
    QFile::remove(q(m_path));
}

bool is_held(const std::string& image)
{
    const QFileInfo file(q(image));
    bool held = false;
    const QDir folder = file.dir();
    for (const QString& name : folder.entryList({hold_prefix(file) + "*.hold"}, QDir::Files | QDir::Hidden)) {
        const QRegularExpressionMatch match = hold_pattern().match(name);
        if (!match.hasMatch() || match.capturedStart() != hold_prefix(file).size())
            continue; // another image's, whose name starts like this one's
        if (process_is_running(match.captured(1).toLongLong()))
            held = true;
        else
            QFile::remove(folder.filePath(name));
    }
    return held;
}

void remove_release(const std::string& archive)
{
    QFile::remove(q(archive));
    const image_source source = for_download(archive);
    if (QFileInfo::exists(q(source.image)) && is_held(source.image)) {
        KLOG(logger::info, "Keeping " << source.image << " of an older release: a run still writes it");
        return;
    }
    if (QFileInfo::exists(q(source.image)) || QFileInfo::exists(q(record_path(source.image))))
        KLOG(logger::info, "Removing " << source.image << " of an older release");
    discard(source);
}

void remove_orphaned_images(const std::string& downloads_folder, const std::string& tag)
{
    const QDir downloads(q(downloads_folder));
    for (const QString& name : downloads.entryList(QDir::Files)) {
        const QString suffix = QFileInfo(name).suffix();
        if (suffix == QLatin1String("gz") || suffix == QLatin1String("part") || suffix == QLatin1String("record")
            || name.startsWith(QLatin1String(local_prefix)) || name.contains(q(tag))
            || downloads.exists(name + ".gz"))
            continue;
        const std::string image = downloads.filePath(name).toStdString();
        if (is_held(image))
            continue;
        KLOG(logger::info, "Removing " << image << " of an older release");
        discard(image_source{std::string(), image, false});
    }
}

void clean(const std::string& downloads_folder, const std::string& in_use_image, int keep_local)
{
    QDir downloads(q(downloads_folder));
    // Temporaries and holds carry their run's process id: those of runs still going are theirs.
    static const QRegularExpression own_run(QStringLiteral("\\.(\\d+)-\\d+\\.(part|hold)$"));
    const auto remove_dead = [](const QDir& folder, const QStringList& patterns) {
        for (const QString& name : folder.entryList(patterns, QDir::Files | QDir::Hidden | QDir::System)) {
            const QRegularExpressionMatch match = own_run.match(name);
            if (!match.hasMatch() || !process_is_running(match.captured(1).toLongLong()))
                QFile::remove(folder.filePath(name));
        }
    };
    remove_dead(downloads, {QStringLiteral("*.part"), QStringLiteral(".*.hold")});
    remove_dead(QDir(QFileInfo(q(downloads_folder)).absolutePath()), {QStringLiteral("configuration.txt.*.part")});

    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString in_use = QFileInfo(q(in_use_image)).fileName();
    // Most recently used first; an image without a record counts as used when it was made.
    QFileInfoList images = downloads.entryInfoList({QString::fromLatin1(local_prefix) + "*"}, QDir::Files);
    images.erase(std::remove_if(images.begin(), images.end(),
                                [](const QFileInfo& file) { return file.suffix() == QLatin1String("record"); }),
                 images.end());
    const auto last_use = [&](const QFileInfo& image) {
        const QFileInfo record(image.filePath() + ".record");
        return (record.exists() ? record : image).lastModified().toMSecsSinceEpoch();
    };
    std::sort(images.begin(), images.end(),
              [&](const QFileInfo& a, const QFileInfo& b) { return last_use(a) > last_use(b); });
    int kept = 0;
    for (const QFileInfo& image : images) {
        const qint64 idle = now - last_use(image);
        const bool keep = image.fileName() == in_use || idle < hour_ms || (kept < keep_local && idle < week_ms)
            || is_held(image.filePath().toStdString());
        if (keep) {
            ++kept;
            continue;
        }
        KLOG(logger::info, "Removing the unused image " << image.filePath().toStdString());
        discard(image_source{std::string(), image.filePath().toStdString(), false});
    }
}

} // namespace image_cache
