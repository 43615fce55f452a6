#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// One gzip stream being inflated, piece by piece, by whichever library does it fastest here.
class inflate_engine {
public:
    enum class status { more, end, damaged };
    struct step {
        size_t consumed = 0;
        size_t produced = 0;
        status state = status::more;
    };

    virtual ~inflate_engine() = default;
    // Inflates from input into output; the end comes only after the gzip trailer checked out.
    virtual step inflate(const unsigned char* input, size_t input_size, unsigned char* output, size_t output_size) = 0;
    // Starts over for the next gzip member of the same archive.
    virtual void reset() = 0;
};

std::unique_ptr<inflate_engine> make_zlib_engine();
// Null when the program was built without ISA-L.
std::unique_ptr<inflate_engine> make_isal_engine();

// The gzip CRC-32 (as zlib's crc32), continued from crc over data; ISA-L's where the build has it.
uint32_t image_crc32(uint32_t crc, const unsigned char* data, size_t size);

// A 64-bit check of a byte stream, fast enough to follow a disk at full speed: ISA-L's CRC-64
// where the build has it, zlib's CRC-32 and Adler-32 side by side otherwise. Equal checks of two
// streams of one length mean equal bytes, short of deliberate forgery.
class stream_check {
public:
    void add(const unsigned char* data, size_t size);
    uint64_t value() const { return m_value; }

private:
    uint64_t m_value = 0;
};
