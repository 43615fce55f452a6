#include "src/config/results_record.h"

#include "src/core/file_io.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QString>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace {

// RFC 4180: a field with a comma, a quote or a line break is quoted, its quotes doubled.
std::string field(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (const char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c == '\n' || c == '\r' ? ' ' : c);
    return quoted + "\"";
}

std::vector<std::string> fields_of(const std::string& line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"')
            fields.back() += line[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

// The lines of the station's former record in today's form: its tags as they are written now, and
// no target (it named none).
std::string former_lines(const std::string& folder)
{
    QFile file(QString::fromStdString(folder + "/" + former_results_file_name));
    if (!file.open(QIODevice::ReadOnly))
        return std::string();
    std::istringstream lines(file.readAll().toStdString());
    std::string text, line;
    for (bool first = true; std::getline(lines, line); first = false) {
        if (first || line.empty())
            continue; // its header
        const std::vector<std::string> fields = fields_of(line);
        if (fields.size() != 8) {
            text += line + ",\n";
            continue;
        }
        flash_result old;
        old.time = fields[0];
        old.port = fields[1];
        old.serial = fields[2];
        old.size = std::strtoull(fields[3].c_str(), nullptr, 10);
        old.tag = release_tag(fields[4]);
        old.worker = fields[5];
        old.result = fields[6];
        old.seconds = std::strtod(fields[7].c_str(), nullptr);
        text += results_line(old) + "\n";
    }
    return text;
}

} // namespace

const char* const results_header = "time,port,serial,size,tag,worker,result,seconds,target";

std::string results_line(const flash_result& result)
{
    char seconds[32];
    // Tenths, rounded up: a stick that was handled for a few milliseconds must not read as 0.0.
    std::snprintf(seconds, sizeof seconds, "%.1f", std::ceil(result.seconds * 10 - 1e-6) / 10);
    return field(result.time) + "," + field(result.port) + "," + field(result.serial) + ","
        + std::to_string(result.size) + "," + field(result.tag) + "," + field(result.worker) + ","
        + field(result.result) + "," + seconds + "," + field(result.target);
}

std::string release_tag(const std::string& archive_path)
{
    QString name = QFileInfo(QString::fromStdString(archive_path)).fileName();
    for (const char* suffix : {".gz", ".img"})
        if (name.endsWith(QLatin1String(suffix)))
            name.chop(static_cast<int>(std::strlen(suffix)));
    if (name.startsWith(QLatin1String("kelvra-"), Qt::CaseInsensitive) && name.size() > 7)
        name.remove(0, 7);
    return name.toStdString();
}

flash_result begin_result(const std::string& target, const std::string& port, const std::string& serial,
                          uint64_t size, const std::string& archive_path, const std::string& worker)
{
    flash_result result;
    result.target = target;
    result.port = port;
    result.serial = serial;
    result.size = size;
    result.tag = release_tag(archive_path);
    result.worker = worker;
    result.began.start();
    return result;
}

bool add_result(const std::string& folder, flash_result& result)
{
    const QDateTime now = QDateTime::currentDateTime();
    result.time = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate).toStdString();
    if (result.began.isValid())
        result.seconds = static_cast<double>(result.began.nsecsElapsed()) / 1e9;

    const std::string csv_path = folder + "/" + results_file_name;
    const QString path = QString::fromStdString(csv_path);
    QLockFile lock(path + ".lock");
    lock.setStaleLockTime(0); // only a dead holder's lock is taken over
    if (!lock.tryLock(10000))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    std::string text = results_line(result) + "\n";
    if (file.size() == 0)
        text = results_header + std::string("\n") + former_lines(folder) + text;
    const bool written = file.write(text.data(), static_cast<qint64>(text.size())) == static_cast<qint64>(text.size())
        && file.flush();
    file.close();
    return written && flush_to_disk(csv_path);
}
