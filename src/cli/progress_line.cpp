#include "src/cli/progress_line.h"

#include <algorithm>
#include <cstdio>

namespace {

// Cuts text to at most columns characters, counting a UTF-8 sequence as one.
std::string cut(const std::string& text, int columns)
{
    int seen = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) == 0x80)
            continue; // inside a character
        if (seen == columns)
            return text.substr(0, i);
        ++seen;
    }
    return text;
}

int length_of(const std::string& text)
{
    int seen = 0;
    for (const char c : text)
        seen += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return seen;
}

// Keeps the end of a long target (where /dev/sdb and /dev/sdc differ), marked as cut.
std::string keep_end(const std::string& text, int columns)
{
    const int length = length_of(text);
    if (length <= columns)
        return text;
    // Past as many characters as the mark and the rest leave no room for.
    size_t start = 0;
    for (int to_skip = length - std::max(columns - 1, 0); to_skip > 0; --to_skip) {
        ++start;
        while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
            ++start;
    }
    return "\u2026" + text.substr(start);
}

} // namespace

std::string progress_line(const progress_view& view, int width)
{
    char figures[96] = "";
    if (view.measured) {
        const double percent = view.total > 0 ? std::min(100.0, 100.0 * static_cast<double>(view.done) / static_cast<double>(view.total)) : 0.0;
        const double rate = view.seconds > 0.05 ? static_cast<double>(view.done) / 1e6 / view.seconds : 0.0;
        if (rate > 0 && view.total > 0) {
            const double left = static_cast<double>(std::max<int64_t>(0, view.total - view.done)) / 1e6 / rate;
            std::snprintf(figures, sizeof figures, " %5.1f%% %7.1f MB/s %6.0fs left", percent, rate, left);
        } else {
            std::snprintf(figures, sizeof figures, " %5.1f%%", percent);
        }
    }
    std::string stage = view.stage;
    if (stage.size() < 10)
        stage.resize(10, ' ');
    const std::string tail = " " + stage + figures;
    // The target gets what the figures leave, but never less than 12 characters.
    const int room = std::max(12, width - 1 - static_cast<int>(tail.size()));
    std::string target = keep_end(view.target, room);
    if (target.size() < static_cast<size_t>(std::min(room, 32)))
        target.resize(static_cast<size_t>(std::min(room, 32)), ' ');
    std::string line = target + tail;
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return cut(line, std::max(1, width - 1));
}
