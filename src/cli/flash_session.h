#pragma once

#include "src/cli/cli_options.h"
#include "src/cli/progress_line.h"
#include "src/config/image_configurator.h"
#include "src/config/results_record.h"
#include "src/config/worker_names.h"
#include "src/device/device_manager.h"
#include "src/device/disk_access.h"
#include "src/image/folder_lock.h"
#include "src/image/image_cache.h"
#include "src/image/image_feed.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QEventLoop;
class QThread;
class image_burner;

// One headless run: checks the settings, gets the image, prepares and writes every target in
// parallel, reads them back and reports. Exit codes: 0 all good, 1 a drive failed, 2 bad usage.
class flash_session : public QObject {
    Q_OBJECT

public:
    using reader_factory = std::function<std::unique_ptr<disk_reader>(const std::string& path)>;

    struct io {
        FILE* out = stdout;            // listings and the summary
        FILE* err = stderr;            // progress and messages
        bool terminal = false;         // progress redrawn in place
        // Asks the operator to confirm a device; returns the line typed, or "" without a terminal.
        std::function<std::string(const std::string& question)> ask;
        // Set (by a signal handler) when the operator asked to stop; null when nobody can.
        const std::atomic<bool>* stop_requested = nullptr;
    };

    flash_session(cli_request request, const std::string& folder, device_options options, io streams,
                  reader_factory readers = open_disk_reader);
    ~flash_session() override;

    int run();
    // Safe from a signal watcher on the GUI thread: stops downloads and writes after their block.
    void cancel();
    // Whether the run is to stop: cancelled, or a stop was requested and not yet passed on.
    bool stopped();

private:
    struct drive;

    // Before anything is written: what each target is, whether it may be written at all.
    int m_list_devices();
    bool m_settings_ok(settings& values);
    bool m_resolve_targets();
    bool m_confirm_devices(const std::vector<std::shared_ptr<device>>& listed);
    bool m_archive_readable();
    // Gives every target its worker number and saves the name past the last one, under the
    // folder lock: no two runs on the folder hand out one number. 0, or the exit code.
    // Drives from first on; those before it have theirs already.
    int m_reserve_numbers(settings values, size_t first = 0);

    // The image: looked up, downloaded or taken from --image, and inflated, under the folder lock.
    bool m_lock_folder();
    void m_say_waiting(const std::string& holder);
    std::string m_fetch_archive();
    // The archive, fetched or the one named, with the folder lock held when there is one.
    void m_get_archive();
    bool m_inflate(int64_t& image_size);

    // The drives: all prepared at once; each written and read back on its own thread as soon as
    // it is ready, so that a slow or failing drive holds up no other. When the image is still to
    // be made they start before it, and write it while it is being inflated.
    void m_start_drives(int64_t image_size);
    void m_start_drive(drive& run, int64_t image_size);
    void m_watch_preparations();
    void m_wait_for_drives();
    // The drive's end, good or bad: its stage, and the station's record of it.
    void m_finish(drive& run);
    void m_fail(drive& run, const std::string& why);

    // The station: every USB disk plugged in after the start is flashed, until a stop.
    int m_run_station(const settings& values);
    bool m_load_names();
    bool m_station_names_ok(const settings& values);
    void m_look_for_new_sticks();
    // Whether the disk still holds what the stick of an earlier visit was written with.
    bool m_holds_text_of(const device& disk, size_t earlier_run);
    // look_again: not now, but maybe at the next change (its node is not there yet).
    bool m_qualifies(const device& disk, bool& look_again);
    // The drive's line in the folder's record of results.
    void m_record(drive& run);
    std::string m_label(const drive& run) const;
    void m_start_writing(drive& run);
    void m_check(drive& run);
    void m_enter(drive& run, int stage, qint64 total = 0);
    void m_enter_all(int stage, qint64 total = 0);
    void m_end_when_all_ended();
    void m_print_progress(bool final_line);
    void m_print_summary();
    void m_say(const std::string& text);

    cli_request m_request;
    std::string m_folder;
    device_options m_options;
    io m_io;
    reader_factory m_readers;
    std::unique_ptr<device_manager> m_devices;
    std::vector<std::unique_ptr<drive>> m_drives;
    std::string m_archive;
    image_source m_source;
    // Held from the lookup until the image is made; released before any drive is written.
    shared_folder_lock m_lock;
    // From the lookup on: other runs' clean-ups leave this run's image alone.
    std::unique_ptr<image_cache::hold> m_hold;
    // The image being inflated while the drives write it (when it was not made before).
    image_feed m_feed;
    bool m_following = false;
    bool m_image_failed = false;
    bool m_watching = false; // preparations are watched
    // The station's own state.
    names_list m_names;
    std::unique_ptr<station_naming> m_naming;
    settings m_station_settings;
    uint64_t m_config_offset = 0;        // of the image made, where each stick holds its text
    std::string m_tag;                   // the release, for the summary and the record
    std::string m_lookup_failure;        // why the release lookup failed when a cached release is used
    std::vector<std::string> m_present;  // disks seen at the last look (seen_as: path, serial, size)
    std::vector<std::string> m_ignored;  // disks seen and left alone (the same), said once
    std::atomic<bool> m_canceled{false};
    QObject* m_retriever = nullptr;
    progress_board m_board;
    QElapsedTimer m_clock; // the stages' start times
    QElapsedTimer m_plain_clock; // the last progress printed as plain lines
    int m_running = 0;     // drives whose thread has not ended
    int m_preparing = 0;   // drives whose preparation has not reported
    QEventLoop* m_drives_loop = nullptr; // runs until both are 0
};
