#include "src/image/image_burner_impl.h"

#include "src/config/image_configurator.h"
#include "src/core/file_io.h"
#include "src/core/log_location.h"
#include "src/device/device.h"
#include "src/image/image_feed.h"
#include "src/image/inflate_engine.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

void image_burner::impl::m_open_following(const char* file, int line)
{
    image_feed::state state = m_feed->wait_for_start(m_cancel);
    if (state == image_feed::state::growing)
        m_image = open_file_shared_reading(m_feed->path());
    // Renamed to its final name meanwhile: inflation announces that name only after the rename,
    // so a reader that came between the two waits for the announcement.
    if (!m_image && state == image_feed::state::growing)
        state = m_feed->wait_for(INT64_MAX, m_cancel);
    if (!m_image && (state = m_feed->current()) == image_feed::state::complete)
        m_image = open_file_shared_reading(m_feed->final_path());
    KLOG_AT(logger::debug, file, line, "m_prepare_image", "Following the image as it is inflated: " << (m_image != nullptr));
}

image_burner::impl::write_result image_burner::impl::m_write_following(const block_writer& write_block)
{
    const uint32_t sector = m_target->sector_size ? m_target->sector_size : 512;
    const uint32_t block = image_burner::block_size(sector);
    const block_writer write_observed = m_observed(write_block);
    aligned_block first = allocate_block(block);
    aligned_block buffer = allocate_block(block);

    int64_t stream_position = 0;
    // The CRC-32 of each block as read. Other runs may write their text into the configuration
    // area of the published image meanwhile: that area counts as zeros, as in the cache's record.
    std::vector<uint32_t> crcs;
    auto read_at = [&](unsigned char* memory, uint64_t offset, size_t bytes) {
        if (stream_position != static_cast<int64_t>(offset)
            && file_seek(m_image, static_cast<int64_t>(offset), SEEK_SET) != 0)
            return false;
        // A stream that met the end of a growing file must forget it before reading on.
        std::clearerr(m_image);
        if (std::fread(memory, 1, bytes, m_image) != bytes)
            return false;
        stream_position = static_cast<int64_t>(offset + bytes);
        return true;
    };
    auto pad = [sector](unsigned char* memory, size_t bytes) {
        const size_t padded = (bytes + sector - 1) / sector * sector;
        std::memset(memory + bytes, 0, padded - bytes);
        return padded;
    };
    // How far the image reaches once offset + wanted bytes are there, it ended, or a stop came.
    int64_t end = 0;
    auto wait = [&](uint64_t offset) {
        const image_feed::state state = m_feed->wait_for(static_cast<int64_t>(offset + block), m_cancel);
        if (m_cancel)
            return write_result::canceled;
        if (state == image_feed::state::failed)
            return write_result::unreadable;
        end = state == image_feed::state::complete ? m_feed->size() : static_cast<int64_t>(offset + block);
        return write_result::complete;
    };

    write_result waited = wait(0);
    if (waited != write_result::complete)
        return waited;
    const size_t first_bytes = static_cast<size_t>(std::min<int64_t>(block, end));
    if (first_bytes == 0 || !read_at(first.get(), 0, first_bytes))
        return write_result::unreadable;
    crcs.push_back(image_crc32(0, first.get(), first_bytes));

    int64_t written = 0;
    for (uint64_t offset = block;; offset += block) {
        if ((waited = wait(offset)) != write_result::complete)
            return waited;
        if (static_cast<int64_t>(offset) >= end)
            break;
        const size_t bytes = static_cast<size_t>(std::min<int64_t>(block, end - static_cast<int64_t>(offset)));
        if (!read_at(buffer.get(), offset, bytes))
            return write_result::unreadable;
        crcs.push_back(image_crc32(0, buffer.get(), bytes));
        if (!write_observed(offset, buffer.get(), pad(buffer.get(), bytes)))
            return write_result::failed;
        written += static_cast<int64_t>(bytes);
        emit m_owner->report_progress(written, m_feed->estimated_size());
    }

    // Whole now: its size, its check and the place of the text are known.
    m_image_size = m_feed->size();
    m_config_offset = m_feed->config_offset();
    if (m_config_offset == image_feed::no_offset || m_configuration.size() != configuration_size)
        return write_result::unreadable;
    static const unsigned char zeros[configuration_size] = {};
    const auto crc_without_text = [this](const unsigned char* memory, uint64_t offset, size_t bytes) {
        const uint64_t gap_begin = std::clamp<uint64_t>(m_config_offset, offset, offset + bytes);
        const uint64_t gap_end = std::clamp<uint64_t>(m_config_offset + configuration_size, offset, offset + bytes);
        uint32_t crc = image_crc32(0, memory, static_cast<size_t>(gap_begin - offset));
        crc = image_crc32(crc, zeros, static_cast<size_t>(gap_end - gap_begin));
        return image_crc32(crc, memory + (gap_end - offset), static_cast<size_t>(offset + bytes - gap_end));
    };
    // The blocks that hold the text went out as inflated; now with this run's text in them.
    for (uint64_t offset = m_config_offset / block * block; offset < m_config_offset + configuration_size;
         offset += block) {
        if (offset == 0)
            continue; // the held-back first block gets its text below
        const size_t bytes = static_cast<size_t>(std::min<int64_t>(block, m_image_size - static_cast<int64_t>(offset)));
        if (!read_at(buffer.get(), offset, bytes))
            return write_result::unreadable;
        crcs[offset / block] = crc_without_text(buffer.get(), offset, bytes);
        m_lay_text_over(buffer.get(), offset, bytes);
        if (!write_observed(offset, buffer.get(), pad(buffer.get(), bytes)))
            return write_result::failed;
    }
    crcs[0] = crc_without_text(first.get(), 0, first_bytes);
    // Every byte that went or goes to the disk outside the text is as inflated.
    uLong crc = crcs[0];
    for (size_t i = 1; i < crcs.size(); ++i) {
        const uint64_t length = std::min<uint64_t>(block, static_cast<uint64_t>(m_image_size) - i * block);
        crc = crc32_combine(crc, crcs[i], static_cast<z_off_t>(length));
    }
    if (m_feed->crc() && static_cast<uint32_t>(crc) != *m_feed->crc()) {
        KLOG(logger::fatal, "The image read back differs from what was inflated: " << m_feed->final_path());
        return write_result::unreadable;
    }
    m_lay_text_over(first.get(), 0, first_bytes);
    // The last chance to leave the stick without a partition table.
    if (m_cancel)
        return write_result::canceled;
    if (!write_observed(0, first.get(), pad(first.get(), first_bytes)))
        return write_result::failed;
    return write_result::complete;
}
