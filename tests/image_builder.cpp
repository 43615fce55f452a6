#include "image_builder.h"

#include <QFile>

#include <random>
#include <zlib.h>

namespace image_builder {

QByteArray disk_image(qint64 size, quint64 config_offset, unsigned seed)
{
    std::mt19937 generator(seed);
    QByteArray image(static_cast<int>(size), '\0');
    // Alternate random and zero stretches of 64 KiB, like a file system with free space.
    for (qint64 at = 0; at < size; at += 65536)
        if ((at / 65536) % 3 != 2)
            for (qint64 i = at; i < qMin(size, at + 65536); ++i)
                image[static_cast<int>(i)] = static_cast<char>(generator());
    for (int i = 0; i < 8; ++i)
        image[static_cast<int>(size) - 1 - i] = static_cast<char>((config_offset >> (8 * i)) & 0xff);
    return image;
}

QByteArray gzip(const QByteArray& data, int level)
{
    z_stream stream{};
    deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(static_cast<int>(deflateBound(&stream, static_cast<uLong>(data.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(static_cast<int>(stream.total_out));
    deflateEnd(&stream);
    return out;
}

QByteArray random_bytes(int size, unsigned seed)
{
    std::mt19937 generator(seed);
    QByteArray bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

void write_file(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(bytes);
}

QByteArray read_file(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray configured(QByteArray image, quint64 config_offset, const QByteArray& configuration)
{
    image.replace(static_cast<int>(config_offset), configuration.size(), configuration);
    return image;
}

} // namespace image_builder
