#include "src/image/image_manipulator.h"

#include "src/config/image_configurator.h"
#include "src/core/file_io.h"
#include "src/core/log_location.h"
#include "src/image/inflate_engine.h"

#include <QFile>
#include <QFileInfo>
#include <QString>

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
    if (compressed_path.size() < 3)
        return compressed_path;
    return compressed_path.substr(0, compressed_path.size() - 3);
}

FILE* image_manipulator::decompress_image(const std::string& compressed_path)
{
    const std::string image_path = decompressed_path(compressed_path);
    KLOG(logger::debug, "Inflating: " << compressed_path << ", to:" << image_path);

    if (!QFileInfo::exists(q(image_path))) {
        const std::string partial_path = image_path + ".part";
        stream_ptr source(open_file(compressed_path, "rb"));
        stream_ptr target(source ? open_file(partial_path, "w+b") : nullptr);
        if (!source || !target) {
            KLOG(logger::fatal, "Cannot open files");
            return nullptr;
        }

        int64_t compressed_size = -1;
        if (file_seek(source.get(), 0, SEEK_END) == 0)
            compressed_size = file_tell(source.get());
        const inflate_result result = compressed_size >= 0 && file_seek(source.get(), 0, SEEK_SET) == 0
            ? m_inflate(source.get(), target.get(), compressed_size)
            : inflate_result::io_error;

        source.reset();
        const bool closed = std::fclose(target.release()) == 0;
        if (result != inflate_result::complete || !closed) {
            QFile::remove(q(partial_path));
            if (result == inflate_result::damaged) {
                KLOG(logger::fatal, "Damaged image archive, removed: " << compressed_path);
                QFile::remove(q(compressed_path));
            } else {
                KLOG(logger::fatal, "Cannot inflate image: read or write error");
            }
            return nullptr;
        }
        if (!QFile::rename(q(partial_path), q(image_path))) {
            KLOG(logger::fatal, "Cannot rename " << partial_path << " to " << image_path);
            QFile::remove(q(partial_path));
            return nullptr;
        }
    }
    return open_file(image_path, "r+b");
}

bool image_manipulator::has_isal()
{
    return make_isal_engine() != nullptr;
}

image_manipulator::inflate_result image_manipulator::m_inflate(FILE* source, FILE* target, int64_t compressed_size)
{
    std::unique_ptr<inflate_engine> inflater = m_engine == engine::zlib ? nullptr : make_isal_engine();
    if (!inflater)
        inflater = make_zlib_engine();

    std::unique_ptr<unsigned char[]> input(new unsigned char[block_size]);
    std::unique_ptr<unsigned char[]> output(new unsigned char[block_size]);
    bool stream_ended = false;
    inflate_result result = inflate_result::complete;

    int64_t position = 0;
    while (position < compressed_size) {
        const size_t got = std::fread(input.get(), 1, block_size, source);
        if (got == 0) {
            result = inflate_result::io_error; // shorter than it was a moment ago, or unreadable
            break;
        }
        position += static_cast<int64_t>(got);

        // Bytes behind the end of the gzip member are read for the progress only.
        const unsigned char* next = input.get();
        size_t left = got;
        bool output_full = false;
        // A full output buffer may leave output pending inside the inflater even when the input is used up.
        while (!stream_ended && (left > 0 || output_full)) {
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
            stream_ended = step.state == inflate_engine::status::end;
            output_full = step.produced == block_size;
            if (step.consumed == 0 && step.produced == 0) {
                // No progress possible: more input is needed (fine) or the inflater is stuck (never spin on it).
                if (left > 0 && !stream_ended)
                    result = inflate_result::damaged;
                break;
            }
        }
        if (result != inflate_result::complete)
            break;
        emit report_progress(position, compressed_size);
    }

    if (result == inflate_result::complete && !stream_ended)
        result = inflate_result::damaged; // the archive ends before its gzip trailer
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
