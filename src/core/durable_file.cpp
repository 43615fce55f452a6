#include "src/core/durable_file.h"

#include "src/core/file_io.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

std::string temporary_name(const std::string& final_path)
{
    return final_path + "." + std::to_string(QCoreApplication::applicationPid()) + "-"
        + std::to_string(QRandomGenerator::global()->generate()) + ".part";
}

bool write_durably(const std::string& path, const QByteArray& contents)
{
    const std::string temporary = temporary_name(path);
    FILE* stream = open_file(temporary, "wb");
    if (!stream)
        return false;
    const size_t size = static_cast<size_t>(contents.size());
    const bool written = std::fwrite(contents.constData(), 1, size, stream) == size;
    const bool closed = std::fclose(stream) == 0;
    if (!written || !closed || !flush_to_disk(temporary) || !replace_file(temporary, path)) {
        QFile::remove(QString::fromStdString(temporary));
        return false;
    }
    flush_folder(QFileInfo(QString::fromStdString(path)).absolutePath().toStdString());
    return true;
}
