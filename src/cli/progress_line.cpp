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

std::string progress_board::redraw(const std::vector<board_line>& lines, const std::string& tally, int rows,
                                   int columns, bool last)
{
    // A row stays free below the board for the cursor: the board's first line never scrolls away.
    const size_t rows_free = static_cast<size_t>(std::max(1, rows - 1));
    const bool counted = !tally.empty() || lines.size() > rows_free;
    const size_t room = rows_free - (counted ? 1 : 0);
    std::vector<const board_line*> shown;
    for (const board_line& line : lines)
        shown.push_back(&line);
    // Too many for the screen: the ended drives give way first (the tally counts them), then the latest.
    for (auto it = shown.begin(); shown.size() > room && it != shown.end();)
        it = (*it)->ended ? shown.erase(it) : it + 1;
    shown.resize(std::min(shown.size(), room));
    const size_t hidden = lines.size() - shown.size();

    std::string text = m_drawn > 0 ? "\x1b[" + std::to_string(m_drawn) + "A" : std::string();
    m_drawn = 0;
    // From the first column: the terminal may just have echoed ^C.
    const auto put = [&](const std::string& line) {
        text += "\r\x1b[2K" + line + "\n";
        ++m_drawn;
    };
    for (const board_line* line : shown)
        put(progress_line(line->view, columns));
    if (counted) {
        const std::string more = hidden > 0 ? std::to_string(hidden) + " more not shown" : std::string();
        put(cut(tally.empty() ? more : more.empty() ? tally : tally + ", " + more, std::max(1, columns - 1)));
    }
    text += "\x1b[J"; // the lines of drives gone since the last drawing
    if (last)
        m_drawn = 0;
    return text;
}

std::string progress_board::erase()
{
    if (m_drawn == 0)
        return std::string();
    const std::string text = "\x1b[" + std::to_string(m_drawn) + "A\r\x1b[J";
    m_drawn = 0;
    return text;
}

std::string progress_board::plain(const std::vector<board_line>& lines, const std::string& tally, const std::string& time)
{
    std::string text;
    const auto put = [&](const std::string& key, const std::string& state, const std::string& line) {
        std::string& printed = m_printed[key];
        if (printed == state)
            return;
        printed = state;
        text += time + " " + line + "\n";
    };
    for (const board_line& line : lines) {
        const progress_view& view = line.view;
        const int64_t percent = view.measured && view.total > 0 ? view.done * 100 / view.total : -1;
        put(line.key, view.target + "\n" + view.stage + "\n" + std::to_string(percent), progress_line(view, 1000));
    }
    if (!tally.empty())
        put(std::string(), tally, tally);
    return text;
}

namespace {

// Words of text on lines of at most columns characters, each after indent; a word longer than a line
// (a path) stands whole on its own.
std::string wrapped(const std::string& text, const std::string& indent, int columns)
{
    std::string result, line = indent;
    bool words = false; // on this line
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string word = text.substr(start, end - start);
        if (words && length_of(line) + 1 + length_of(word) > columns) {
            result += line + "\n";
            line = std::string(indent.size(), ' ');
        }
        line += " " + word;
        words = true;
        start = end + 1;
    }
    return result + line + "\n";
}

} // namespace

std::string summary_text(const std::vector<summary_row>& rows)
{
    constexpr int target_width = 22;
    char line[160];
    std::snprintf(line, sizeof line, "\n%-*s %-6s %-15s %8s %7s %7s %7s\n", target_width, "target", "result", "worker",
                  "MB", "prep s", "write s", "check s");
    std::string text = line;
    for (const summary_row& row : rows) {
        const bool own_line = length_of(row.target) > target_width;
        if (own_line)
            text += row.target + "\n";
        std::snprintf(line, sizeof line, "%-*s %-6s %-15s %8.1f %7.2f %7.2f %7.2f\n", target_width,
                      own_line ? "" : row.target.c_str(), row.ok ? "ok" : "FAILED",
                      row.worker.empty() ? "-" : row.worker.c_str(), static_cast<double>(row.bytes) / 1e6,
                      row.prepare_seconds, row.write_seconds, row.check_seconds);
        text += line;
        if (!row.port.empty() || !row.serial.empty())
            text += "  port " + (row.port.empty() ? "-" : row.port) + ", serial " + (row.serial.empty() ? "-" : row.serial) + "\n";
        if (!row.ok)
            text += wrapped(row.why, "  why:", 80);
    }
    return text;
}
