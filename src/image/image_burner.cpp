#include "src/image/image_burner_impl.h"

#include "src/config/image_configurator.h"
#include "src/core/file_io.h"
#include "src/core/log_location.h"
#include "src/device/device.h"
#include "src/image/image_manipulator.h"
#include "src/image/inflate_engine.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>


image_burner::image_burner(const std::string& archive_path, device* target, const QByteArray& configuration)
{
    m_impl = std::make_shared<impl>(this, archive_path, target, configuration);
}

image_burner::~image_burner() = default;

void image_burner::burn_image()
{
    m_impl->burn_image();
}

void image_burner::cancel()
{
    m_impl->cancel();
}

image_burner::impl::impl(image_burner* owner, const std::string& archive_path, device* target,
                         const QByteArray& configuration)
    : m_owner(owner), m_archive_path(&archive_path), m_target(target), m_configuration(configuration)
{
}

image_burner::impl::~impl()
{
    m_close_image();
}

void image_burner::set_block_observer(block_observer observer)
{
    m_impl->set_block_observer(std::move(observer));
}

void image_burner::set_image_source(const image_source& source)
{
    m_impl->set_image_source(source);
}

void image_burner::set_folder_lock(shared_folder_lock lock)
{
    m_impl->set_folder_lock(std::move(lock));
}

void image_burner::set_feed(image_feed* feed)
{
    m_impl->set_feed(feed);
}

uint64_t image_burner::config_offset() const
{
    return m_impl->config_offset();
}

uint32_t image_burner::block_size(uint32_t sector_size)
{
    if (sector_size == 0)
        sector_size = 512;
    return sector_size * (1024000 / sector_size + 1);
}

void image_burner::impl::m_close_image()
{
    if (m_image)
        std::fclose(m_image);
    m_image = nullptr;
}

void image_burner::impl::m_prepare_image(const char* file, int line)
{
    KLOG_AT(logger::fatal, file, line, "m_prepare_image", "Prepare image");
    if (m_feed) {
        m_open_following(file, line);
        return;
    }
    auto manipulator = std::make_shared<image_manipulator>();
    manipulator->set_stop_flag(&m_cancel);
    QObject::connect(manipulator.get(), SIGNAL(report_progress(qint64, qint64)), m_owner,
                     SIGNAL(report_progress_inflate(qint64, qint64)));
    const image_source source = m_has_source ? m_source : image_cache::for_download(*m_archive_path);
    // Making the image needs the folder to itself; reusing a current one does not.
    bool may_prepare = true;
    if (!m_lock && !image_cache::is_usable(source)) {
        m_lock = wait_for_folder_lock(QFileInfo(QString::fromStdString(source.image)).absolutePath().toStdString(),
                                      [this] { return m_cancel.load(); });
        may_prepare = m_lock != nullptr; // null: stopped while another run held the folder
    }
    if (may_prepare && !source.image.empty())
        m_hold = std::make_unique<image_cache::hold>(source.image);
    if (may_prepare)
        m_image = manipulator->decompress_image(source);
    m_source = source;
    m_has_crc = m_image && image_cache::recorded_crc(source, m_expected_crc);
    m_lock.reset(); // other runs may look up and inflate while this one writes
    KLOG_AT(logger::debug, file, line, "m_prepare_image", "Image decompressed");
    m_config_offset = manipulator->read_config_offset(m_image);
    KLOG_AT(logger::debug, file, line, "m_prepare_image", "Image offset: " << m_config_offset);

    const bool embedded = m_config_offset != image_manipulator::no_offset
        && m_configuration.size() == configuration_size
        && file_seek(m_image, static_cast<int64_t>(m_config_offset), SEEK_SET) == 0
        && std::fwrite(m_configuration.constData(), 1, configuration_size, m_image) == size_t(configuration_size)
        && std::fflush(m_image) == 0;
    if (!embedded)
        m_close_image();
}

bool image_burner::impl::m_stopped_while_preparing(const char* file, int line)
{
    if (!m_cancel)
        return false;
    m_close_image();
    emit m_owner->canceled();
    KLOG_AT(logger::info, file, line, "burn_image", "Burning canceled");
    return true;
}

image_burner::impl::write_result image_burner::impl::m_write_image(const block_writer& write_block)
{
    if (m_feed)
        return m_write_following(write_block);
    const uint32_t sector = m_target->sector_size ? m_target->sector_size : 512;
    const uint32_t block = image_burner::block_size(sector);
    const block_writer write_observed = m_observed(write_block);
    file_seek(m_image, 0, SEEK_END);
    const int64_t image_size = file_tell(m_image);
    file_seek(m_image, 0, SEEK_SET);
    m_image_size = image_size;

    aligned_block first = allocate_block(block);
    aligned_block buffer = allocate_block(block);

    // Reads the block at offset into memory, with this run's configuration text laid over it
    // (other runs may share the image file) and zeros up to the next whole sector.
    int64_t stream_position = 0;
    uint32_t crc = 0; // of what was read, in file order, the configuration area counted as zeros
    static const unsigned char zeros[configuration_size] = {};
    auto load = [&](unsigned char* memory, uint64_t offset, size_t& bytes, size_t& padded) {
        bytes = static_cast<size_t>(std::min<int64_t>(block, image_size - static_cast<int64_t>(offset)));
        // Sequential reads need no seek: only the jump after the held-back first block does.
        if (stream_position != static_cast<int64_t>(offset)
            && file_seek(m_image, static_cast<int64_t>(offset), SEEK_SET) != 0)
            return false;
        if (std::fread(memory, 1, bytes, m_image) != bytes)
            return false;
        stream_position = static_cast<int64_t>(offset + bytes);
        const uint64_t text_begin = m_config_offset, text_end = m_config_offset + configuration_size;
        const uint64_t overlap_begin = std::max<uint64_t>(offset, text_begin);
        const uint64_t overlap_end = std::min<uint64_t>(offset + bytes, text_end);
        if (overlap_begin < overlap_end) {
            crc = image_crc32(crc, memory, static_cast<size_t>(overlap_begin - offset));
            crc = image_crc32(crc, zeros, static_cast<size_t>(overlap_end - overlap_begin));
            crc = image_crc32(crc, memory + (overlap_end - offset), static_cast<size_t>(offset + bytes - overlap_end));
        } else {
            crc = image_crc32(crc, memory, bytes);
        }
        m_lay_text_over(memory, offset, bytes);
        padded = (bytes + sector - 1) / sector * sector;
        std::memset(memory + bytes, 0, padded - bytes);
        return true;
    };

    size_t first_bytes = 0, first_padded = 0;
    if (image_size <= 0 || !load(first.get(), 0, first_bytes, first_padded))
        return write_result::unreadable;

    int64_t written = 0;
    auto report = [&](size_t bytes) {
        written += static_cast<int64_t>(bytes);
        if (written != image_size)
            emit m_owner->report_progress(written, image_size);
    };

    for (uint64_t offset = block; static_cast<int64_t>(offset) < image_size; offset += block) {
        size_t bytes = 0, padded = 0;
        if (!load(buffer.get(), offset, bytes, padded))
            return write_result::unreadable;
        if (!write_observed(offset, buffer.get(), padded))
            return write_result::failed;
        report(bytes);
        if (m_cancel)
            return write_result::canceled;
    }
    // Every byte was read: an image that changed in the cache since it was made (a disk error, a
    // tool of someone else's) must not become a bootable stick.
    if (m_has_crc && crc != m_expected_crc) {
        KLOG(logger::fatal, "The cached image " << m_source.image << " differs from what was inflated: removed");
        image_cache::discard(m_source);
        return write_result::unreadable;
    }
    // The last chance to leave the stick without a partition table.
    if (m_cancel)
        return write_result::canceled;
    if (!write_observed(0, first.get(), first_padded))
        return write_result::failed;
    report(first_bytes);
    return write_result::complete;
}

image_burner::impl::block_writer image_burner::impl::m_observed(const block_writer& write_block) const
{
    // Every successful write passes the observer, if there is one.
    return [this, write_block](uint64_t offset, const unsigned char* data, size_t size) {
        if (!write_block(offset, data, size))
            return false;
        if (m_observer)
            m_observer(offset, data, size);
        return true;
    };
}

void image_burner::impl::m_lay_text_over(unsigned char* memory, uint64_t offset, size_t bytes) const
{
    const uint64_t text_begin = m_config_offset, text_end = m_config_offset + configuration_size;
    const uint64_t overlap_begin = std::max<uint64_t>(offset, text_begin);
    const uint64_t overlap_end = std::min<uint64_t>(offset + bytes, text_end);
    if (overlap_begin < overlap_end)
        std::memcpy(memory + (overlap_begin - offset), m_configuration.constData() + (overlap_begin - text_begin),
                    static_cast<size_t>(overlap_end - overlap_begin));
}
