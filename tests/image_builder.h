#pragma once

#include <QByteArray>
#include <QString>

// Disk images and archives as the release server would publish them, built in the tests.
namespace image_builder {

// size bytes: random and zero regions, the config offset big-endian in the last eight bytes.
QByteArray disk_image(qint64 size, quint64 config_offset, unsigned seed = 1);
QByteArray gzip(const QByteArray& data, int level = 6);
QByteArray random_bytes(int size, unsigned seed = 7);
void write_file(const QString& path, const QByteArray& bytes);
QByteArray read_file(const QString& path);
// The image as it must reach the disk: the configuration text laid over it at the offset.
QByteArray configured(QByteArray image, quint64 config_offset, const QByteArray& configuration);

} // namespace image_builder
