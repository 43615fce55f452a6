#include "src/cli/flash_drive.h"

#include "src/config/field_rules.h"
#include "src/core/app_paths.h"
#include "src/core/log_location.h"
#include "src/image/image_burner.h"
#include "src/image/image_retriever.h"

#include <QFileInfo>
#include <QThread>

#include <algorithm>

namespace {

std::string worker_in(const QByteArray& configuration)
{
    const QByteArray marker = "\"worker\": \"";
    const int start = configuration.indexOf(marker);
    if (start < 0)
        return std::string();
    const int value = start + marker.size();
    return configuration.mid(value, configuration.indexOf('"', value) - value).toStdString();
}

} // namespace

flash_session::flash_session(cli_request request, const std::string& folder, device_options options, io streams,
                             reader_factory readers)
    : m_request(std::move(request)), m_folder(folder), m_options(std::move(options)), m_io(std::move(streams)),
      m_readers(std::move(readers))
{
}

flash_session::~flash_session()
{
    for (auto& run : m_drives) {
        if (run->thread) {
            run->thread->quit();
            run->thread->wait();
            delete run->burner;
            delete run->thread;
        }
    }
}

void flash_session::m_say(const std::string& text)
{
    // Above the board, not between its lines: it is taken off and drawn again below the message.
    if (m_io.terminal && QThread::currentThread() == thread())
        std::fputs(m_board.erase().c_str(), m_io.err);
    std::fprintf(m_io.err, "%s\n", text.c_str());
    std::fflush(m_io.err);
}

void flash_session::cancel()
{
    if (!m_canceled.exchange(true))
        m_say("stopping: nothing more is started");
    if (m_retriever)
        static_cast<image_retriever*>(m_retriever)->cancel();
    for (auto& run : m_drives)
        if (run->burner)
            run->burner->cancel();
    if (m_devices && QThread::currentThread() == thread())
        m_devices->stop_preparations();
}

bool flash_session::stopped()
{
    if (m_io.stop_requested && m_io.stop_requested->load() && !m_canceled)
        cancel();
    return m_canceled;
}

int flash_session::run()
{
    KLOG(logger::fatal, "kelvra-flash-cli version: " << application_version);
    m_clock.start();
    if (m_request.list)
        return m_list_devices();
    if (m_request.station || !m_request.devices.empty()) {
        const std::string refusal = process_disk_refusal();
        if (!refusal.empty()) {
            m_say("error: " + refusal);
            return 2;
        }
    }

    settings values = *load_settings(m_folder);
    if (!m_settings_ok(values))
        return 2;
    if (m_request.station)
        return m_run_station(values);
    for (size_t i = 0; i < m_request.devices.size() + m_request.targets.size(); ++i) {
        auto run = std::make_unique<drive>();
        run->is_file = i >= m_request.devices.size();
        run->target = run->is_file ? m_request.targets[i - m_request.devices.size()] : m_request.devices[i];
        m_drives.push_back(std::move(run));
    }
    if (!m_resolve_targets() || (!m_request.image.empty() && !m_archive_readable()))
        return stopped() ? 1 : 2;
    if (stopped())
        return 1;
    if (const int refused = m_reserve_numbers(values))
        return refused;

    // Each phase starts only when no stop came during the one before.
    int64_t image_size = 0;
    bool inflated = false;
    if (!stopped()) {
        m_get_archive();
        // An image still to be made is written while it is inflated: the drives start first.
        m_following = !m_archive.empty() && !stopped() && !image_cache::is_usable(m_source);
        if (m_following)
            m_start_drives(0);
        inflated = !m_archive.empty() && !stopped() && m_inflate(image_size);
    }
    m_lock.reset(); // the image is made: other runs may use the folder while this one writes
    m_source.made_by_this_run = inflated;
    if (!inflated || stopped()) {
        // Drives that followed the image end too: written ones stopped before their first block.
        m_image_failed = !inflated && !m_canceled;
        if (m_following) {
            if (m_feed.current() == image_feed::state::not_started || m_feed.current() == image_feed::state::growing)
                m_feed.fail(); // stopped before inflation began
            m_wait_for_drives();
            m_print_summary();
        } else {
            // Their names were reserved: the record tells where those numbers went.
            for (auto& run : m_drives)
                m_fail(*run, m_canceled ? "canceled" : "not written: the image could not be made");
        }
        if (m_canceled)
            m_say("Canceled.");
        return 1;
    }

    if (!m_following)
        m_start_drives(image_size);
    m_wait_for_drives();
    m_print_summary();
    for (auto& run : m_drives)
        if (!run->ok)
            return 1;
    return m_canceled ? 1 : 0;
}

void flash_session::m_get_archive()
{
    if (m_request.image.empty()) {
        m_archive = m_fetch_archive();
        m_source = image_cache::for_download(m_archive);
    } else if (m_lock_folder()) {
        m_archive = m_request.image;
        m_source = image_cache::for_local_archive(m_archive, m_folder + "/downloads");
        image_cache::clean(m_folder + "/downloads", m_source.image);
    }
    m_tag = release_tag(m_archive);
    if (!m_archive.empty() && !m_source.image.empty())
        m_hold = std::make_unique<image_cache::hold>(m_source.image);
}

bool flash_session::m_settings_ok(settings& values)
{
    for (const auto& change : m_request.overrides)
        for (const field_rule& rule : field_rules())
            if (change.first == rule.option)
                values.*rule.member = change.second;
    bool ok = true;
    for (const field_rule& rule : field_rules()) {
        if (!text_is_valid(rule.pattern, values.*rule.member)) {
            m_say(std::string("error: ") + rule.error + " (--" + rule.option + "): allowed are " + rule.allowed);
            ok = false;
        }
    }
    if (ok && values.btc.empty()) {
        m_say("error: a BTC address is required (--btc)");
        ok = false;
    }
    return ok;
}

int flash_session::m_reserve_numbers(settings values, size_t first)
{
    // Another run may have saved settings or handed out numbers since they were read: read them
    // again, under the lock, and lay this run's own options over them. An explicit --worker of the
    // same series never goes back behind the saved one. Every run takes the lock here once, so that
    // a folder it cannot use is found out now.
    if (!m_lock_folder())
        return m_canceled ? 1 : 2;
    const std::string wanted_worker = values.worker;
    values = *load_settings(m_folder);
    const std::string saved_worker = values.worker;
    if (!m_settings_ok(values)) {
        m_lock.reset();
        return 2;
    }
    const bool given = std::any_of(m_request.overrides.begin(), m_request.overrides.end(),
                                   [](const auto& change) { return change.first == "worker"; });
    if (given)
        values.worker = later_in_series(wanted_worker, saved_worker);
    const bool numbered = !values.worker.empty();

    settings next = values;
    const field_rule* worker_rule = nullptr;
    for (const field_rule& rule : field_rules())
        if (rule.member == &settings::worker)
            worker_rule = &rule;
    for (size_t i = first; i < m_drives.size(); ++i) {
        drive& run = *m_drives[i];
        // A name from the operator's list is given as it stands and uses no number.
        settings own = next;
        if (!run.fixed_worker.empty())
            own.worker = run.fixed_worker;
        run.configuration = configuration_text(own);
        if (run.configuration.isEmpty()) {
            m_say("error: the settings do not fit the 2048-byte configuration text; shorten the SSH key or the "
                  "wireless values");
            m_lock.reset();
            return 2;
        }
        run.worker = worker_in(run.configuration);
        if (!numbered || !run.fixed_worker.empty())
            continue;
        // A name whose number outgrows the form's limit stops counting: it would be given twice. The
        // name saved after the last drive may outgrow it; the next run then asks for a new one.
        const std::string before = next.worker;
        advance_worker_name(&next);
        const bool last = i + 1 == m_drives.size();
        if (next.worker == before || (!last && worker_rule && !text_is_valid(worker_rule->pattern, next.worker))) {
            m_say("error: the worker name " + values.worker + " cannot be numbered for "
                  + std::to_string(m_drives.size() - first) + " drives: after " + run.worker
                  + " it outgrows the 15-character limit; choose a shorter name");
            m_lock.reset();
            return 2;
        }
    }
    // A plain name given for this run leaves the folder's counter where it was: saved in its place,
    // the counter's position would be lost and a later run of that series would start again at 1.
    if (given && !has_counter(values.worker) && has_counter(saved_worker))
        next.worker = saved_worker;
    // Numbers of drives that fail later stay used: no two sticks ever carry one name.
    const bool saved = save_settings(m_folder, next);
    m_lock.reset();
    if (numbered && !saved) {
        m_say("error: cannot save the settings to " + m_folder
              + "/configuration.txt, so the worker numbers cannot be reserved (two sticks could get one name); "
                "nothing was written");
        return 2;
    }
    if (numbered)
        KLOG(logger::info, "Worker names reserved: " << m_drives[first]->worker << " to " << m_drives.back()->worker);
    return 0;
}
