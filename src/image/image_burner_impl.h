#pragma once

#include "src/image/image_burner.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>

class image_feed;

// The burner's state and the platform-neutral half of its work; each platform defines
// burn_image() around its own disk handle.
class image_burner::impl {
public:
    impl(image_burner* owner, const std::string& archive_path, device* target, const QByteArray& configuration);
    ~impl();

    void burn_image();
    void cancel() { m_cancel = true; }

    void set_block_observer(block_observer observer) { m_observer = std::move(observer); }
    void set_image_source(const image_source& source) { m_source = source; m_has_source = true; }
    void set_folder_lock(shared_folder_lock lock) { m_lock = std::move(lock); }
    void set_feed(image_feed* feed) { m_feed = feed; }
    uint64_t config_offset() const { return m_config_offset; }

private:
    enum class write_result { complete, canceled, failed, unreadable };
    // Writes whole sectors at a byte offset; false when the disk refused them.
    using block_writer = std::function<bool(uint64_t offset, const unsigned char* data, size_t size)>;

    // Inflates and embeds; leaves m_image null when there is nothing sound to write. Logs as the
    // platform file that calls it (__FILE__, __LINE__ of the call).
    void m_prepare_image(const char* file, int line);
    // Stopped while the image was being made or waited for: reports the stop (logged as the
    // calling platform unit) and leaves the disk as it is.
    bool m_stopped_while_preparing(const char* file, int line);
    // Every block but the first in order, then the first: the disk shows a partition table only
    // once everything behind it is there. Each block is padded to whole sectors.
    write_result m_write_image(const block_writer& write_block);
    // The same while the image is still being inflated: each block is written once it is there,
    // the blocks of the configuration area again once the image is whole (only then is its place
    // known), and the first block last.
    write_result m_write_following(const block_writer& write_block);
    // Opens the image a feed is growing; null when inflation failed or the run was stopped first.
    void m_open_following(const char* file, int line);
    // write_block, followed by the observer when the write succeeded.
    block_writer m_observed(const block_writer& write_block) const;
    // Lays this run's configuration text over the image bytes [offset, offset + bytes) in memory.
    void m_lay_text_over(unsigned char* memory, uint64_t offset, size_t bytes) const;
    void m_close_image();

    std::atomic<bool> m_cancel{false};
    image_burner* m_owner;
    FILE* m_image = nullptr;
    const std::string* m_archive_path;
    device* m_target;
    QByteArray m_configuration;
    uint64_t m_config_offset = UINT64_MAX;
    int64_t m_image_size = 0;
    block_observer m_observer;
    image_source m_source;
    bool m_has_source = false;
    shared_folder_lock m_lock;
    // The image is this run's until it ends: another run's clean-up leaves it alone.
    std::unique_ptr<image_cache::hold> m_hold;
    // What the cache's record promises the image holds outside its configuration area.
    bool m_has_crc = false;
    uint32_t m_expected_crc = 0;
    image_feed* m_feed = nullptr;
};

// Direct I/O wants page-aligned memory.
constexpr size_t burner_buffer_alignment = 4096;
struct aligned_delete {
    void operator()(unsigned char* memory) const
    {
        ::operator delete[](memory, std::align_val_t(burner_buffer_alignment));
    }
};
using aligned_block = std::unique_ptr<unsigned char[], aligned_delete>;
inline aligned_block allocate_block(size_t size)
{
    return aligned_block(static_cast<unsigned char*>(::operator new[](size, std::align_val_t(burner_buffer_alignment))));
}
