#pragma once

#include <memory>
#include <string>

class QDateTime;

// Process-wide, append-only log. Every call writes and flushes one whole line; calls from
// different threads never interleave inside a line.
class logger {
public:
    enum severity : int { debug = 0, info = 1, error = 2, fatal = 3 };

    static void init(const std::string& folder);
    static void write(int severity, const std::string& message);
    static void close();

    // The exact bytes of one line, without touching any file. Throws std::out_of_range for an
    // unknown severity.
    static std::string format_line(const QDateTime& when, int severity, const std::string& message);

private:
    class logger_impl;
    static std::shared_ptr<logger_impl> s_impl;
};
