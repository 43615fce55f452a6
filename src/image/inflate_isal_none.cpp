#include "src/image/inflate_engine.h"

#include <zlib.h>

// Built without ISA-L: zlib does all the inflating.
std::unique_ptr<inflate_engine> make_isal_engine()
{
    return nullptr;
}

uint32_t image_crc32(uint32_t crc, const unsigned char* data, size_t size)
{
    return static_cast<uint32_t>(crc32_z(crc, data, size));
}

void stream_check::add(const unsigned char* data, size_t size)
{
    // High half CRC-32, low half Adler-32 (which starts at 1, kept here as 0 until the first add).
    uint32_t crc = static_cast<uint32_t>(m_value >> 32);
    uint32_t adler = m_value == 0 ? 1u : static_cast<uint32_t>(m_value);
    crc = static_cast<uint32_t>(crc32_z(crc, data, size));
    adler = static_cast<uint32_t>(adler32_z(adler, data, size));
    m_value = (static_cast<uint64_t>(crc) << 32) | adler;
}
