#include "src/cli/flash_drive.h"

#include "src/config/field_rules.h"
#include "src/core/invoking_user.h"
#include "src/core/log_location.h"
#include "src/device/disk_access.h"
#include "src/image/image_cache.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>

namespace {

constexpr uint64_t smallest_station_drive = 2000000000; // bytes; the window's limit

bool is_worker_name(const std::string& name)
{
    for (const field_rule& rule : field_rules())
        if (rule.member == &settings::worker)
            return text_is_valid(rule.pattern, name);
    return false;
}

bool contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// A disk as one look sees it: a stick swapped for another within one look may take over the
// path, not the serial number and size as well.
std::string seen_as(const device& disk)
{
    return disk.path + "\n" + disk.serial + "\n" + std::to_string(disk.size);
}

std::string size_text(uint64_t bytes)
{
    return std::to_string(bytes / 1000000) + " MB";
}

} // namespace

bool flash_session::m_load_names()
{
    QFile file(QString::fromStdString(m_request.names));
    if (!file.open(QIODevice::ReadOnly)) {
        m_say("error: cannot read --names " + m_request.names + ": " + file.errorString().toStdString());
        return false;
    }
    std::string error;
    if (!parse_names_list(file.readAll().toStdString(), m_names, error, is_worker_name)) {
        m_say("error: --names " + m_request.names + ", " + error);
        return false;
    }
    return true;
}

bool flash_session::m_station_names_ok(const settings& values)
{
    // Every stick gets a name of its own: from a counter, or from the operator's list.
    const bool given = std::any_of(m_request.overrides.begin(), m_request.overrides.end(),
                                   [](const auto& change) { return change.first == "worker"; });
    const bool numbered = has_counter(values.worker);
    if (!numbered && (m_request.names.empty() || (given && !values.worker.empty()))) {
        m_say("error: a station gives every stick a name of its own: give --worker with a counter, such as "
              "'rig(%d)', or --names" + (values.worker.empty() ? std::string() : " (" + values.worker + " has none)"));
        return false;
    }
    if (!m_request.names.empty() && !m_load_names())
        return false;
    std::string error;
    if (numbered && !names_clear_of_series(m_names, values.worker, error)) {
        m_say("error: --names " + m_request.names + ", " + error);
        return false;
    }
    m_naming = std::make_unique<station_naming>(m_names, numbered);
    return true;
}

int flash_session::m_run_station(const settings& values)
{
    m_request.verify = true; // a station's stick leaves only when every byte was read back
    m_station_settings = values;
    if (!m_station_names_ok(values) || (!m_request.image.empty() && !m_archive_readable()))
        return 2;
    // A folder this run cannot use is found out before anything else.
    if (!m_lock_folder())
        return m_canceled ? 1 : 2;
    m_lock.reset();

    m_devices = std::make_unique<device_manager>(m_options);
    // Disks here before the station started are left alone, whatever they are.
    for (const auto& disk : m_devices->get_devices())
        m_present.push_back(seen_as(*disk));

    // The image once, before any stick: each stick then writes the image in the cache.
    int64_t image_size = 0;
    if (!stopped())
        m_get_archive();
    const bool made = !m_archive.empty() && !stopped() && m_inflate(image_size);
    m_lock.reset();
    m_source.made_by_this_run = made;
    if (!made) {
        if (m_canceled)
            m_say("Canceled.");
        return 1;
    }

    m_watch_preparations();
    connect(m_devices.get(), &device_manager::devices_changed, this, [this] { m_look_for_new_sticks(); });
    m_say("station: flashing " + m_tag + " onto every USB disk plugged in from now on (up to "
          + size_text(m_request.max_size) + "); results go to " + m_folder + "/"
          + results_file_name + "; Ctrl-C ends");
    KLOG(logger::info, "Station started: " << m_tag);

    QEventLoop loop;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [this, &loop] {
        if (stopped() && m_running == 0 && m_preparing == 0)
            loop.quit();
        else
            m_print_progress(false);
    });
    ticker.start(m_io.terminal ? 200 : 1000);
    loop.exec();
    m_print_progress(true);
    m_print_summary();
    KLOG(logger::info, "Station ended");
    for (auto& run : m_drives)
        if (!run->ok)
            return 1;
    return 0;
}

bool flash_session::m_qualifies(const device& disk, bool& look_again)
{
    look_again = false;
    std::string why;
    if (disk.is_system)
        why = "the disk of the running system";
    else if (disk.size <= smallest_station_drive)
        why = "too small (more than 2 GB needed)";
    else if (disk.size > m_request.max_size)
        why = "larger than --max-size " + std::to_string(m_request.max_size) + " bytes";
    else
        why = disk_write_refusal(disk.path);
    if (why.empty())
        return true;
    // The system lists a stick a moment before its node is there: it is looked at again at the
    // next change instead of being left alone for good.
    if (why == disk_missing_refusal) {
        look_again = true;
        return false;
    }
    if (!contains(m_ignored, seen_as(disk))) {
        m_ignored.push_back(seen_as(disk));
        m_say("left alone: " + disk.path + " (" + disk.name + ", " + size_text(disk.size) + ", port "
              + (disk.port.empty() ? "?" : disk.port) + "): " + why);
        KLOG(logger::info, "Station left alone: " << disk.path << ": " << why);
    }
    return false;
}

void flash_session::m_look_for_new_sticks()
{
    const auto listed = m_devices->get_devices();
    std::vector<std::string> now;
    for (const auto& disk : listed)
        now.push_back(seen_as(*disk));
    for (auto& run : m_drives) {
        const bool ended = run->now == drive::finished || run->now == drive::failed;
        if (ended && !contains(now, seen_as(*run->disk)))
            run->pulled = true; // off the board
    }
    m_ignored.erase(std::remove_if(m_ignored.begin(), m_ignored.end(),
                                   [&](const std::string& seen) { return !contains(now, seen); }),
                    m_ignored.end());
    const std::vector<std::string> before = m_present;
    m_present = now;
    if (stopped())
        return;

    const auto look_again = [this](const std::string& path) {
        m_present.erase(std::remove(m_present.begin(), m_present.end(), path), m_present.end());
    };
    for (const auto& disk : listed) {
        bool node_missing = false;
        if (contains(before, seen_as(*disk)))
            continue;
        if (!m_qualifies(*disk, node_missing)) {
            if (node_missing)
                look_again(seen_as(*disk));
            continue;
        }
        // Never two runs on one disk: a stick still being flashed that was missed for a moment.
        const bool busy = std::any_of(m_drives.begin(), m_drives.end(), [&](const std::unique_ptr<drive>& run) {
            return !run->pulled && run->disk->path == disk->path && run->now != drive::finished
                && run->now != drive::failed;
        });
        // Looked at again when a run ends: it may be a stick of its own by then.
        if (busy) {
            look_again(seen_as(*disk));
            continue;
        }
        const auto name = m_naming->choose(disk->port, disk->serial, disk->size,
                                           [&](const station_naming::given& earlier) {
                                               return m_holds_text_of(*disk, earlier.run);
                                           });
        if (name.how == station_naming::choice::wait) {
            look_again(seen_as(*disk));
            continue;
        }
        const std::string where = disk->path + " (port " + (disk->port.empty() ? "?" : disk->port) + ", serial "
            + (disk->serial.empty() ? "?" : disk->serial) + ")";
        if (name.how == station_naming::choice::refused) {
            if (!contains(m_ignored, seen_as(*disk))) {
                m_ignored.push_back(seen_as(*disk));
                m_say("left alone: " + where + ": " + name.why);
                KLOG(logger::info, "Station left alone: " << where << ": " << name.why);
            }
            continue;
        }
        auto entry = std::make_unique<drive>();
        drive& run = *entry;
        run.target = disk->path;
        run.identity = drive_identity(disk->path);
        run.disk = disk;
        if (name.how != station_naming::choice::numbered)
            run.fixed_worker = name.name;
        run.stage_began_ms = m_clock.elapsed();
        m_drives.push_back(std::move(entry));
        if (name.how == station_naming::choice::again)
            m_say("same stick again: " + where + " gets " + name.name + " as before");
        if (m_reserve_numbers(m_station_settings, m_drives.size() - 1) != 0) {
            m_fail(run, "no worker name could be reserved (see above)");
            continue;
        }
        m_naming->note({disk->port, disk->serial, disk->size, run.worker, false, false, m_drives.size() - 1});
        KLOG(logger::info, "Station: " << where << " gets " << run.worker);
        // The cache counts the image as in use: no other run prunes it while the station needs it.
        image_cache::touch(m_source);
        m_start_drive(run, 0);
    }
}

bool flash_session::m_holds_text_of(const device& disk, size_t earlier_run)
{
    const auto reader = m_readers(disk.path);
    QByteArray text(configuration_size, '\0');
    return reader && reader->read(m_config_offset, reinterpret_cast<unsigned char*>(text.data()), configuration_size)
        && text == m_drives[earlier_run]->configuration;
}

void flash_session::m_record(drive& run)
{
    flash_result line;
    line.target = run.target;
    line.port = run.disk ? run.disk->port : std::string();
    line.serial = run.disk ? run.disk->serial : std::string();
    line.size = run.disk ? run.disk->size : 0;
    // A file grows as the image is written into it: its size is known at the end, not when it was opened.
    if (run.is_file)
        line.size = std::max<uint64_t>(line.size, static_cast<uint64_t>(std::max<qint64>(0, QFileInfo(QString::fromStdString(run.target)).size())));
    line.tag = m_tag;
    line.worker = run.worker;
    line.result = run.ok ? "ok" : "failed: " + run.result;
    // From taking the drive up to its end, whatever stage it ended in: a stick stopped while it was
    // prepared has no stage times, yet it was in the run's hands.
    line.seconds = run.taken_up_ns < 0 ? 0 : static_cast<double>(m_clock.nsecsElapsed() - run.taken_up_ns) / 1e9;
    if (!add_result(m_folder, line))
        m_say("warning: cannot add to " + m_folder + "/" + results_file_name + ": " + results_line(line));
    hand_over_to_folder_owner(m_folder); // a long station's record stays the user's while it runs
    KLOG(logger::info, "Result: " << run.target << " (port " << line.port << ", serial " << line.serial << ") "
                                  << run.worker << ": " << line.result);
    if (!m_naming)
        return;
    for (auto& given : m_naming->given_names()) {
        if (m_drives[given.run].get() == &run) {
            given.ended = true;
            given.ok = run.ok;
        }
    }
    // A stick that waited for this one is looked at again.
    QTimer::singleShot(0, this, [this] { m_look_for_new_sticks(); });
}
