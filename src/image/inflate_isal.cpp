#include "src/image/inflate_engine.h"

#include <isa-l/crc.h>
#include <isa-l/crc64.h>
#include <isa-l/igzip_lib.h>

namespace {

class isal_engine : public inflate_engine {
public:
    isal_engine() { reset(); }

    void reset() override
    {
        isal_inflate_init(&m_state);
        m_state.crc_flag = ISAL_GZIP; // gzip header, and the CRC and length of the trailer checked
    }

    step inflate(const unsigned char* input, size_t input_size, unsigned char* output, size_t output_size) override
    {
        step result;
        m_state.next_in = const_cast<unsigned char*>(input);
        m_state.avail_in = static_cast<uint32_t>(input_size);
        m_state.next_out = output;
        m_state.avail_out = static_cast<uint32_t>(output_size);
        const int code = isal_inflate(&m_state);
        result.consumed = input_size - m_state.avail_in;
        result.produced = output_size - m_state.avail_out;
        if (code < 0 || code == ISAL_NEED_DICT)
            result.state = status::damaged;
        else if (m_state.block_state == ISAL_BLOCK_FINISH)
            result.state = status::end;
        return result;
    }

private:
    inflate_state m_state{};
};

} // namespace

std::unique_ptr<inflate_engine> make_isal_engine()
{
    return std::make_unique<isal_engine>();
}

uint32_t image_crc32(uint32_t crc, const unsigned char* data, size_t size)
{
    return crc32_gzip_refl(crc, data, size);
}

void stream_check::add(const unsigned char* data, size_t size)
{
    m_value = crc64_ecma_refl(m_value, data, size);
}
