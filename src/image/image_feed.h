#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

// An image that is still being inflated while drives already write it. Inflation (one thread)
// says how far the file it writes has come and how it ended; writers (other threads) wait for
// the bytes they need. Only atomics cross the threads: the file itself is shared through the
// file system, each writer reading it through a stream of its own.
class image_feed {
public:
    enum class state : int { not_started, growing, complete, failed };
    static constexpr uint64_t no_offset = UINT64_MAX;

    // Called by inflation, in this order: begin once, grow any number of times, then complete or fail.
    void begin(const std::string& path);
    // Bytes up to available are in the file (written and flushed from the C library's buffer);
    // estimated_size is the final size as far as it can be told yet.
    void grow(int64_t available, int64_t estimated_size);
    // The image is whole and published under final_path: its size, the CRC-32 of its bytes as
    // inflated with the configuration area counted as zeros (the cache's record of it; none when
    // unknown), and where its configuration text belongs.
    void complete(const std::string& final_path, int64_t size, std::optional<uint32_t> crc, uint64_t config_offset);
    void fail();

    // For writers. Waits until bytes up to until are there, inflation ended, or stop turned true;
    // polls, since inflation outpaces every disk and a short sleep costs nothing there.
    state wait_for(int64_t until, const std::atomic<bool>& stop) const;
    // Waits until the file exists (or inflation failed before it did).
    state wait_for_start(const std::atomic<bool>& stop) const;

    state current() const { return static_cast<state>(m_state.load(std::memory_order_acquire)); }
    int64_t available() const { return m_available.load(std::memory_order_acquire); }
    int64_t estimated_size() const { return m_estimated.load(std::memory_order_relaxed); }
    // Valid once begun: where the image grows.
    const std::string& path() const { return m_path; }
    // Valid once complete.
    const std::string& final_path() const { return m_final_path; }
    int64_t size() const { return m_size; }
    std::optional<uint32_t> crc() const { return m_crc; }
    uint64_t config_offset() const { return m_config_offset; }

private:
    std::atomic<int> m_state{static_cast<int>(state::not_started)};
    std::atomic<int64_t> m_available{0};
    std::atomic<int64_t> m_estimated{0};
    // Written before the state that publishes them (release), read after it (acquire).
    std::string m_path;
    std::string m_final_path;
    int64_t m_size = 0;
    std::optional<uint32_t> m_crc;
    uint64_t m_config_offset = no_offset;
};
