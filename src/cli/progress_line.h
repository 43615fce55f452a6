#pragma once

#include <cstdint>
#include <string>

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
