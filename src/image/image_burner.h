#pragma once

#include "src/image/folder_lock.h"
#include "src/image/image_cache.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct device;
class image_feed;

// Writes one prepared image onto one disk, on a worker thread: inflates the archive, embeds the
// configuration text, writes the disk and reports exactly one outcome.
class image_burner : public QObject {
    Q_OBJECT

public:
    // Holds a reference to archive_path and the record's plain pointer: both must outlive the run.
    image_burner(const std::string& archive_path, device* target, const QByteArray& configuration);
    ~image_burner() override;

    // Bytes per write: the smallest whole number of sectors above 1,024,000.
    static uint32_t block_size(uint32_t sector_size);

    // Sees every block as it was written to the disk (in writing order, padded to whole sectors),
    // on the burner's thread. Set before the run starts.
    using block_observer = std::function<void(uint64_t offset, const unsigned char* data, size_t size)>;
    void set_block_observer(block_observer observer);

    // Where the image is made and whose the archive is; by default the archive is a download and
    // its image lies beside it. Set before the run starts.
    void set_image_source(const image_source& source);
    // The folder lock the caller took for this run's lookup and download: the burner releases it
    // once the image is prepared. Without one, the burner takes the lock itself when the image has
    // to be made.
    void set_folder_lock(shared_folder_lock lock);
    // Writes the image while it is still being inflated (into the file the feed names) instead of
    // making or finding it first. The feed must outlive the run. Set before the run starts.
    void set_feed(image_feed* feed);
    // Where this run's configuration text went; valid once finished() was emitted.
    uint64_t config_offset() const;

    class impl;

signals:
    void finished();
    void canceled();
    void error_msg(QString error_msg, bool is_err);
    void report_progress(qint64 done, qint64 total);
    void report_progress_inflate(qint64 done, qint64 total);
    void device_disconected();
    // Before the write failure's error_msg: the target had no room left for the image.
    void target_full();

public slots:
    void burn_image();
    // Safe from any thread: the write loop stops after the block in progress.
    void cancel();

private:
    std::shared_ptr<impl> m_impl;
};
