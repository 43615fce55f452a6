#include "src/core/logger.h"

#include <QDateTime>
#include <QFile>
#include <QString>

#include <array>
#include <mutex>
#include <stdexcept>

namespace {

const std::array<std::string, 4> severity_words = {"debug", "info", "error", "fatal"};

// One lock for the installed state and the file: a line is formatted and written as a whole
// while it is held, and init/close cannot swap the file under a writer.
std::mutex& log_mutex()
{
    static std::mutex m;
    return m;
}

} // namespace

class logger::logger_impl {
public:
    explicit logger_impl(const QString& path) : file(path) {}
    QFile file;
};

std::shared_ptr<logger::logger_impl> logger::s_impl;

std::string logger::format_line(const QDateTime& when, int severity, const std::string& message)
{
    if (severity < 0 || severity >= static_cast<int>(severity_words.size()))
        throw std::out_of_range("severity value out of range");
    std::string line = when.toString(QStringLiteral("[yyyy-MM-dd hh:mm:ss.zzz]")).toStdString();
    line += " [";
    line += severity_words[static_cast<size_t>(severity)];
    line += "] ";
    line += message;
    line += '\n';
    return line;
}

void logger::init(const std::string& folder)
{
    auto fresh = std::make_shared<logger_impl>(QString::fromStdString(folder + "/KELVRA Flash Tool.log"));
    fresh->file.open(QIODevice::WriteOnly | QIODevice::Append);
    std::lock_guard<std::mutex> lock(log_mutex());
    s_impl = fresh;
}

void logger::write(int severity, const std::string& message)
{
    const std::string line = format_line(QDateTime::currentDateTime(), severity, message);
    std::lock_guard<std::mutex> lock(log_mutex());
    if (!s_impl || !s_impl->file.isOpen())
        return;
    s_impl->file.write(line.data(), static_cast<qint64>(line.size()));
    s_impl->file.flush();
}

void logger::close()
{
    std::lock_guard<std::mutex> lock(log_mutex());
    if (s_impl)
        s_impl->file.close();
}
