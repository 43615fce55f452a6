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
    std::string target = cut(view.target, room);
    if (target.size() < static_cast<size_t>(std::min(room, 32)))
        target.resize(static_cast<size_t>(std::min(room, 32)), ' ');
    std::string line = target + tail;
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return cut(line, std::max(1, width - 1));
}
