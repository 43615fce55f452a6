#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One drive's line of the headless progress display, built without any I/O so that it can be
// checked directly.
struct progress_view {
    std::string target;
    std::string stage;     // "waiting", "downloading", "inflating", "preparing", "writing", "verifying", "done", ...
    int64_t done = 0;      // bytes of this stage
    int64_t total = 0;     // bytes of this stage; 0 when unknown
    double seconds = 0;    // since this stage began
    bool measured = false; // the stage moves bytes: show percent, MB/s and time left
};

// The line, cut to at most width - 1 characters (never splitting a UTF-8 character), so that it
// never wraps and a redraw in place moves up exactly one row per line.
std::string progress_line(const progress_view& view, int width);

// One drive on the board.
struct board_line {
    std::string key;    // the drive, the same from one drawing to the next
    progress_view view;
    bool ended = false; // done or failed: the first to leave a board too small for every drive
};

// The progress of a run as the operator follows it. On a terminal, a board redrawn in place: one
// line per drive still there and a tally, never taller than the screen, so that each redraw finds
// the first line of the one before. Piped, plain lines with the time, a drive's only when its stage
// or its whole percentage changed.
class progress_board {
public:
    // Drawn over the board drawn before. A last board stays: what follows is printed below it.
    std::string redraw(const std::vector<board_line>& lines, const std::string& tally, int rows, int columns,
                       bool last = false);
    // Takes the board off the screen before a message, which then stands above the next board.
    std::string erase();
    std::string plain(const std::vector<board_line>& lines, const std::string& tally, const std::string& time);

private:
    int m_drawn = 0;
    std::map<std::string, std::string> m_printed; // what each drive's last plain line said
};

// One drive in the summary at the end of a run.
struct summary_row {
    std::string target, worker, port, serial;
    bool ok = false;
    std::string why; // the reason it failed
    int64_t bytes = 0;
    double prepare_seconds = 0, write_seconds = 0, check_seconds = 0;
};

// The summary as a table within 80 columns: a target too long for its column stands on a line of
// its own above its figures; port, serial and the reason follow on labelled lines.
std::string summary_text(const std::vector<summary_row>& rows);
