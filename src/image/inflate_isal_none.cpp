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
