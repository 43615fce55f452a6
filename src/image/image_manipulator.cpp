#include "src/image/image_manipulator.h"

#include "src/image/image_feed.h"

#include "src/config/image_configurator.h"
#include "src/core/file_io.h"
#include "src/core/log_location.h"
#include "src/image/inflate_engine.h"

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <algorithm>
#include <memory>

namespace {

// Closes a C stream when it goes out of scope unless it was handed on.
struct stream_closer {
    void operator()(FILE* stream) const
    {
        if (stream)
            std::fclose(stream);
    }
};
using stream_ptr = std::unique_ptr<FILE, stream_closer>;

QString q(const std::string& utf8)
{
    return QString::fromStdString(utf8);
}

} // namespace

std::string image_manipulator::decompressed_path(const std::string& compressed_path)
{
    return image_cache::for_download(compressed_path).image;
}

FILE* image_manipulator::decompress_image(const std::string& compressed_path)
{
    return decompress_image(image_cache::for_download(compressed_path));
}

void image_manipulator::m_end_feed(const image_source& source, FILE* image)
{
    // Writers following the image learn its end either way; a made image completed it already.
    if (!m_feed || m_feed->current() == image_feed::state::complete)
        return;
    const uint64_t offset = image ? read_config_offset(image) : no_offset;
    if (image && file_seek(image, 0, SEEK_END) == 0 && offset != no_offset) {
        uint32_t recorded = 0;
        m_feed->begin(source.image);
        m_feed->complete(source.image, file_tell(image),
                         image_cache::recorded_crc(source, recorded) ? std::optional<uint32_t>(recorded) : std::nullopt,
                         offset);
    } else {
        m_feed->fail();
    }
    if (image)
        file_seek(image, 0, SEEK_SET);
}

FILE* image_manipulator::decompress_image(const image_source& source)
{
    FILE* image = nullptr;
    // However this ends, a feed hears of it.
    struct feed_ender {
        image_manipulator* self;
        const image_source& source;
        FILE*& image;
        ~feed_ender() { self->m_end_feed(source, image); }
    } ender{this, source, image};
    const std::string& image_path = source.image;
    KLOG(logger::debug, "Inflating: " << source.archive << ", to:" << image_path);
    m_failure = failure::none;
    if (image_path.empty()) {
        KLOG(logger::fatal, "Cannot open files");
        m_failure = failure::cannot_open;
        return nullptr;
    }

    if (image_cache::is_usable(source)) {
        image_cache::touch(source);
    } else {
        // Left by a run that was cut off, made from another archive of that name, or damaged.
        if (QFileInfo::exists(q(image_path)))
            KLOG(logger::info, "Not reusing " << image_path << ": it is not known to be made from " << source.archive);
        image_cache::discard(source);
        const std::string partial_path = image_cache::temporary_name(image_path);
        const std::string identity = image_cache::identity_of(source.archive);
        stream_ptr input(identity.empty() ? nullptr : open_file(source.archive, "rb"));
        stream_ptr target(input ? open_file(partial_path, "w+b") : nullptr);
        if (!input || !target) {
            KLOG(logger::fatal, "Cannot open files");
            m_failure = failure::cannot_open;
            return nullptr;
        }
        if (m_feed)
            m_feed->begin(partial_path);

        int64_t compressed_size = -1;
        if (file_seek(input.get(), 0, SEEK_END) == 0)
            compressed_size = file_tell(input.get());
        uint32_t crc = 0;
        inflate_result result = compressed_size >= 0 && file_seek(input.get(), 0, SEEK_SET) == 0
            ? m_inflate(input.get(), target.get(), compressed_size, crc)
            : inflate_result::io_error;

        input.reset();
        const int64_t image_size = file_tell(target.get());
        // Runs write their own text into the configuration area; the rest must stay as made.
        const uint64_t offset = result == inflate_result::complete ? read_config_offset(target.get()) : no_offset;
        unsigned char area[configuration_size] = {};
        if (offset != no_offset) {
            if (file_seek(target.get(), static_cast<int64_t>(offset), SEEK_SET) != 0
                || std::fread(area, 1, sizeof area, target.get()) != sizeof area)
                result = inflate_result::io_error;
        }
        if (offset != no_offset)
            crc = image_cache::crc_with_gap(crc, static_cast<uint64_t>(image_size), offset, area, sizeof area);
        const bool closed = std::fclose(target.release()) == 0;
        if (result != inflate_result::complete || !closed) {
            QFile::remove(q(partial_path));
            if (result == inflate_result::damaged) {
                m_failure = failure::damaged;
                if (source.archive_is_ours) {
                    KLOG(logger::fatal, "Damaged image archive, removed: " << source.archive);
                    QFile::remove(q(source.archive));
                } else {
                    KLOG(logger::fatal, "Damaged image archive: " << source.archive);
                }
            } else if (result == inflate_result::stopped) {
                m_failure = failure::stopped;
                KLOG(logger::info, "Inflation stopped");
            } else {
                m_failure = failure::io_error;
                KLOG(logger::fatal, "Cannot inflate image: read or write error");
            }
            return nullptr;
        }
        if (!image_cache::publish(source, identity, partial_path, image_size, crc)) {
            KLOG(logger::fatal, "Cannot publish the image " << image_path);
            QFile::remove(q(partial_path));
            m_failure = failure::io_error;
            return nullptr;
        }
        // Only now: a writer that followed the image may call its drive done.
        if (m_feed && offset != no_offset)
            m_feed->complete(image_path, image_size, crc, offset);
    }
    image = open_file(image_path, "r+b");
    if (!image) {
        m_failure = failure::cannot_open;
        image_cache::discard(source); // unusable: the next run makes it again
    }
    return image;
}

bool image_manipulator::has_isal()
{
    return make_isal_engine() != nullptr;
}

image_manipulator::inflate_result image_manipulator::m_inflate(FILE* source, FILE* target, int64_t compressed_size,
                                                               uint32_t& crc)
{
    crc = 0;
    std::unique_ptr<inflate_engine> inflater = m_engine == engine::zlib ? nullptr : make_isal_engine();
    if (!inflater)
        inflater = make_zlib_engine();

    std::unique_ptr<unsigned char[]> input(new unsigned char[block_size]);
    std::unique_ptr<unsigned char[]> output(new unsigned char[block_size]);
    // An archive is one or more gzip members, one after another (as gzip -dc reads it); zeros
    // after the last one are padding and ignored, anything else there is damage.
    bool in_member = true;
    bool in_padding = false; // once zeros follow a member, only zeros may follow them
    inflate_result result = inflate_result::complete;

    int64_t position = 0;
    int64_t produced = 0;
    while (position < compressed_size && result == inflate_result::complete) {
        if (m_stop && m_stop->load()) {
            result = inflate_result::stopped;
            break;
        }
        const size_t got = std::fread(input.get(), 1, block_size, source);
        if (got == 0) {
            result = inflate_result::io_error; // shorter than it was a moment ago, or unreadable
            break;
        }
        position += static_cast<int64_t>(got);

        const unsigned char* next = input.get();
        size_t left = got;
        bool output_full = false;
        // A full output buffer may leave output pending inside the inflater even when the input is used up.
        while (left > 0 || output_full) {
            if (!in_member) {
                if (*next == 0x1f && !in_padding) {
                    inflater->reset();
                    in_member = true;
                } else {
                    in_padding = true;
                    if (std::any_of(next, next + left, [](unsigned char byte) { return byte != 0; }))
                        result = inflate_result::damaged;
                    break;
                }
            }
            const inflate_engine::step step = inflater->inflate(next, left, output.get(), block_size);
            next += step.consumed;
            left -= step.consumed;
            if (step.state == inflate_engine::status::damaged) {
                result = inflate_result::damaged;
                break;
            }
            if (step.produced > 0 && std::fwrite(output.get(), 1, step.produced, target) != step.produced) {
                result = inflate_result::io_error;
                break;
            }
            produced += static_cast<int64_t>(step.produced);
            if (m_feed && step.produced > 0) {
                // Out of the C library's buffer, where readers of the file cannot see it.
                if (std::fflush(target) != 0) {
                    result = inflate_result::io_error;
                    break;
                }
                const double read_share = static_cast<double>(std::max<int64_t>(position, 1)) / static_cast<double>(compressed_size);
                m_feed->grow(produced, static_cast<int64_t>(static_cast<double>(produced) / read_share));
            }
            crc = image_crc32(crc, output.get(), step.produced);
            if (step.state == inflate_engine::status::end) {
                in_member = false; // the member's output is all out; its trailer checked
                output_full = false;
                continue;
            }
            output_full = step.produced == block_size;
            if (step.consumed == 0 && step.produced == 0) {
                // No progress possible: more input is needed (fine) or the inflater is stuck (never spin on it).
                if (left > 0)
                    result = inflate_result::damaged;
                break;
            }
        }
        if (result != inflate_result::complete)
            break;
        emit report_progress(position, compressed_size);
    }

    if (result == inflate_result::complete && in_member)
        result = inflate_result::damaged; // the archive ends inside a member, before its trailer
    if (result == inflate_result::complete && std::fflush(target) != 0)
        result = inflate_result::io_error;
    return result;
}

uint64_t image_manipulator::read_config_offset(FILE* image)
{
    if (!image) {
        KLOG(logger::fatal, "Cannot open image");
        return no_offset;
    }
    if (file_seek(image, 0, SEEK_END) != 0)
        return no_offset;
    const int64_t size = file_tell(image);
    unsigned char trailer[8];
    if (size < 8 || file_seek(image, size - 8, SEEK_SET) != 0 || std::fread(trailer, 1, 8, image) != 8)
        return no_offset;

    uint64_t offset = 0;
    for (unsigned char byte : trailer)
        offset = (offset << 8) | byte;

    // The text must lie inside the image and leave the trailer alone.
    const uint64_t room = static_cast<uint64_t>(size) - 8;
    if (offset > room || room - offset < static_cast<uint64_t>(configuration_size))
        return no_offset;
    return offset;
}
