#pragma once

#include "src/image/image_cache.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

class image_feed;

// Inflates a downloaded gzip archive into the raw disk image beside it and reads where in that
// image the configuration text belongs.
class image_manipulator : public QObject {
    Q_OBJECT

public:
    // ISA-L where the build has it (several times faster), zlib otherwise; tests pick each.
    enum class engine { fastest, zlib, isal };
    explicit image_manipulator(engine choice = engine::fastest) : m_engine(choice) {}
    static bool has_isal();

    static constexpr uint64_t no_offset = UINT64_MAX;
    static constexpr size_t block_size = 524288;

    // "<dir>/2.3.1.gz" -> "<dir>/2.3.1"
    static std::string decompressed_path(const std::string& compressed_path);

    // A stream ("r+b") on the complete image at its start, or null when there is none. An image
    // is reused only while its record says it was made from the archive as it is now; anything
    // else is made again. A damaged or truncated archive of ours is removed so that the next run
    // fetches it again (a user's archive is left alone); no partial image ever carries the final
    // name. The caller holds the folder lock when the image may have to be made.
    FILE* decompress_image(const std::string& compressed_path);
    FILE* decompress_image(const image_source& source);

    // Why the last decompress_image returned null.
    enum class failure { none, cannot_open, damaged, io_error, stopped };
    failure last_failure() const { return m_failure; }

    // Inflation ends, leaving nothing behind, at the next block after *flag turns true.
    void set_stop_flag(const std::atomic<bool>* flag) { m_stop = flag; }
    // Lets writers follow the image while it is being made: the feed learns the file, each block
    // as it is flushed, and how the next decompress_image ends. Must outlive that call.
    void set_feed(image_feed* feed) { m_feed = feed; }

    // The big-endian offset in the image's last eight bytes, or no_offset when it is absent or
    // the 2048-byte text would not fit in front of those eight bytes.
    uint64_t read_config_offset(FILE* image);

signals:
    void report_progress(qint64 recieved, qint64 total);

private:
    void m_end_feed(const image_source& source, FILE* image);
    enum class inflate_result { complete, damaged, io_error, stopped };
    inflate_result m_inflate(FILE* source, FILE* target, int64_t compressed_size, uint32_t& crc);

    engine m_engine;
    failure m_failure = failure::none;
    const std::atomic<bool>* m_stop = nullptr;
    image_feed* m_feed = nullptr;
};
