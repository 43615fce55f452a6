#include "src/image/image_feed.h"

#include <chrono>
#include <thread>

void image_feed::begin(const std::string& path)
{
    m_path = path;
    m_state.store(static_cast<int>(state::growing), std::memory_order_release);
}

void image_feed::grow(int64_t available, int64_t estimated_size)
{
    m_estimated.store(estimated_size, std::memory_order_relaxed);
    m_available.store(available, std::memory_order_release);
}

void image_feed::complete(const std::string& final_path, int64_t size, std::optional<uint32_t> crc,
                          uint64_t config_offset)
{
    m_final_path = final_path;
    m_size = size;
    m_crc = crc;
    m_config_offset = config_offset;
    m_estimated.store(size, std::memory_order_relaxed);
    m_available.store(size, std::memory_order_release);
    m_state.store(static_cast<int>(state::complete), std::memory_order_release);
}

void image_feed::fail()
{
    m_state.store(static_cast<int>(state::failed), std::memory_order_release);
}

image_feed::state image_feed::wait_for(int64_t until, const std::atomic<bool>& stop) const
{
    for (;;) {
        const state now = current();
        if (now == state::complete || now == state::failed || stop.load())
            return now;
        if (now == state::growing && available() >= until)
            return now;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

image_feed::state image_feed::wait_for_start(const std::atomic<bool>& stop) const
{
    for (;;) {
        const state now = current();
        if (now != state::not_started || stop.load())
            return now;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
