#pragma once

#include "src/cli/flash_session.h"

#include "src/image/inflate_engine.h"

#include <atomic>
#include <map>

// One target of a headless run, from its name on the command line to its line in the summary.
// Once the drive's own thread runs (it writes, then reads back), the fields it changes are atomics
// or are read only after that thread has ended.
struct flash_session::drive {
    enum stage : int { waiting, downloading, inflating, preparing, writing, verifying, finished, failed };

    std::string target;       // as the operator wrote it
    std::string identity;     // the drive it names (see drive_identity)
    bool is_file = false;
    std::shared_ptr<device> disk;
    QByteArray configuration;
    std::string worker;
    std::string fixed_worker; // the station's names file gave it this name: no number is used
    bool pulled = false;      // the station saw it go after it ended: off the board

    std::atomic<int> now{waiting};
    std::atomic<qint64> done{0};
    std::atomic<qint64> total{0};
    std::atomic<qint64> stage_began_ms{0}; // on the session's clock
    std::atomic<qint64> bytes_written{0};
    std::atomic<bool> burned{false};
    bool full = false;        // the burner found no room left on the target (its thread only)
    qint64 taken_up_ns = -1;  // on the session's clock, when this run took the drive up
    double prepare_seconds = 0;
    double write_seconds = 0;
    double verify_seconds = 0;
    bool ok = false;
    std::string result;       // why it failed
    // The check of each block as it was last written, by offset, filled on the drive's thread: a
    // block written twice (the configuration text's, when the image was followed) counts as its last.
    std::map<uint64_t, uint64_t> written;
    image_burner* burner = nullptr;
    QThread* thread = nullptr;
};
