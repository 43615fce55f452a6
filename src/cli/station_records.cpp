#include "src/cli/station_records.h"

#include "src/core/file_io.h"

#include <QFile>
#include <QLockFile>
#include <QString>

#include <cmath>
#include <cstdio>
#include <sstream>

namespace {

std::string trimmed(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return std::string();
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

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

} // namespace

const char* const station_csv_header = "time,port,serial,size,tag,worker,result,seconds";

std::string station_names::lookup(const std::string& port, const std::string& serial) const
{
    for (const std::string* key : {&port, &serial}) {
        if (key->empty())
            continue;
        const auto found = by_key.find(*key);
        if (found != by_key.end())
            return found->second;
    }
    return std::string();
}

bool parse_station_names(const std::string& text, station_names& names, std::string& error,
                         bool (*is_valid_name)(const std::string&))
{
    // Spreadsheets save "CSV UTF-8" with a byte order mark: it is no part of the first key.
    static const std::string byte_order_mark = "\xef\xbb\xbf";
    std::istringstream lines(text.compare(0, 3, byte_order_mark) == 0 ? text.substr(3) : text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#')
            continue;
        const size_t comma = line.find(',');
        const std::string key = trimmed(line.substr(0, comma));
        const std::string name = comma == std::string::npos ? std::string() : trimmed(line.substr(comma + 1));
        if (names.by_key.empty() && (key == "port" || key == "serial") && name == "worker")
            continue;
        const auto where = "line " + std::to_string(number) + ": ";
        if (key.empty() || name.empty() || name.find(',') != std::string::npos) {
            error = where + "expected port,worker or serial,worker";
            return false;
        }
        if (name.find("(%d") != std::string::npos || !is_valid_name(name)) {
            error = where + "\"" + name + "\" is not a worker name that can be given as it stands";
            return false;
        }
        if (!names.by_key.emplace(key, name).second) {
            error = where + key + " is listed twice";
            return false;
        }
    }
    return true;
}

std::string station_csv_line(const station_record& record)
{
    char seconds[32];
    // Tenths, rounded up: a stick that was handled for a few milliseconds must not read as 0.0.
    std::snprintf(seconds, sizeof seconds, "%.1f", std::ceil(record.seconds * 10) / 10);
    return field(record.time) + "," + field(record.port) + "," + field(record.serial) + ","
        + std::to_string(record.size) + "," + field(record.tag) + "," + field(record.worker) + ","
        + field(record.result) + "," + seconds;
}

bool append_station_record(const std::string& csv_path, const station_record& record)
{
    const QString path = QString::fromStdString(csv_path);
    QLockFile lock(path + ".lock");
    lock.setStaleLockTime(0); // only a dead holder's lock is taken over
    if (!lock.tryLock(10000))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    std::string text = station_csv_line(record) + "\n";
    if (file.size() == 0)
        text = station_csv_header + std::string("\n") + text;
    const bool written = file.write(text.data(), static_cast<qint64>(text.size())) == static_cast<qint64>(text.size())
        && file.flush();
    file.close();
    return written && flush_to_disk(csv_path);
}
