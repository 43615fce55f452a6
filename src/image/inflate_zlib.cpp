#include "src/image/inflate_engine.h"

#include <zlib.h>

namespace {

class zlib_engine : public inflate_engine {
public:
    zlib_engine()
    {
        // 15 + 32: a 32 KiB window and a gzip or zlib header recognised by itself
        m_ready = inflateInit2_(&m_stream, 47, "1.2.11", static_cast<int>(sizeof(z_stream))) == Z_OK;
    }
    ~zlib_engine() override
    {
        if (m_ready)
            inflateEnd(&m_stream);
    }

    step inflate(const unsigned char* input, size_t input_size, unsigned char* output, size_t output_size) override
    {
        step result;
        if (!m_ready) {
            result.state = status::damaged;
            return result;
        }
        m_stream.next_in = const_cast<unsigned char*>(input);
        m_stream.avail_in = static_cast<uInt>(input_size);
        m_stream.next_out = output;
        m_stream.avail_out = static_cast<uInt>(output_size);
        const int code = ::inflate(&m_stream, Z_NO_FLUSH);
        result.consumed = input_size - m_stream.avail_in;
        result.produced = output_size - m_stream.avail_out;
        if (code == Z_STREAM_END)
            result.state = status::end;
        else if (code != Z_OK && code != Z_BUF_ERROR)
            result.state = status::damaged;
        return result;
    }

    void reset() override
    {
        if (m_ready)
            m_ready = inflateReset(&m_stream) == Z_OK;
    }

private:
    z_stream m_stream{};
    bool m_ready = false;
};

} // namespace

std::unique_ptr<inflate_engine> make_zlib_engine()
{
    return std::make_unique<zlib_engine>();
}
