#include "src/cli/flash_session.h"

#include "src/config/field_rules.h"
#include "src/core/app_paths.h"
#include "src/core/file_io.h"
#include "src/core/log_location.h"
#include "src/image/image_burner.h"
#include "src/image/image_manipulator.h"
#include "src/image/image_retriever.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdarg>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint64_t smallest_usable_drive = 2000000000; // bytes; the window's limit

std::string megabytes(uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

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

struct flash_session::drive {
    std::string target;
    bool is_file = false;
    std::shared_ptr<device> disk;
    QByteArray configuration;
    std::string worker;
    std::string phase = "waiting";
    qint64 done = 0;
    qint64 total = 0;
    QElapsedTimer clock;
    qint64 bytes_written = 0;
    bool ok = false;
    std::string result;
    QCryptographicHash written{QCryptographicHash::Sha256}; // filled on the burner's thread
    image_burner* burner = nullptr;
    QThread* thread = nullptr;
    bool running = false;
};

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
    std::fprintf(m_io.err, "%s\n", text.c_str());
    std::fflush(m_io.err);
}

void flash_session::cancel()
{
    m_canceled = true;
    if (m_retriever)
        static_cast<image_retriever*>(m_retriever)->cancel();
    for (auto& run : m_drives)
        if (run->burner)
            run->burner->cancel();
}

int flash_session::run()
{
    KLOG(logger::fatal, "kelvra-flash-cli version: " << application_version);
    if (m_request.list)
        return m_list_devices();

    settings values = *load_settings(m_folder);
    if (!m_settings_ok(values))
        return 2;

    // One configuration text per target, numbered as consecutive runs of the window would be.
    const size_t count = m_request.devices.size() + m_request.targets.size();
    settings numbered = values;
    for (size_t i = 0; i < count; ++i) {
        auto run = std::make_unique<drive>();
        run->is_file = i >= m_request.devices.size();
        run->target = run->is_file ? m_request.targets[i - m_request.devices.size()] : m_request.devices[i];
        run->configuration = configuration_text(numbered);
        if (run->configuration.isEmpty()) {
            m_say("error: the settings do not fit the 2048-byte configuration text; shorten the SSH key or the "
                  "wireless values");
            return 2;
        }
        run->worker = worker_in(run->configuration);
        if (!numbered.worker.empty())
            advance_worker_name(&numbered);
        m_drives.push_back(std::move(run));
    }

    std::vector<std::shared_ptr<device>> listed;
    if (!m_request.devices.empty()) {
        m_devices = std::make_unique<device_manager>(m_options);
        listed = m_devices->get_devices();
        if (!m_confirm_devices(listed))
            return 2;
    }
    for (auto& run : m_drives)
        if (run->is_file && QFileInfo(QString::fromStdString(run->target)).isDir()) {
            m_say("error: --target " + run->target + " is a folder, not a disk-image file");
            return 2;
        }

    if (!m_request.image.empty() && !m_archive_readable())
        return 2;

    save_settings(m_folder, values);
    if (m_request.image.empty()) {
        m_archive = m_fetch_archive();
        m_source = image_cache::for_download(m_archive);
    } else if (m_lock_folder()) {
        m_archive = m_request.image;
        m_source = image_cache::for_local_archive(m_archive, m_folder + "/downloads");
        image_cache::clean(m_folder + "/downloads", m_source.image);
    }
    int64_t image_size = 0;
    const bool inflated = !m_archive.empty() && !m_canceled && m_inflate(image_size);
    m_lock.reset(); // the image is made: other runs may use the folder while this one writes
    if (!inflated) {
        if (m_canceled)
            m_say("Canceled.");
        return 1;
    }

    m_open_targets(image_size);
    m_write_all();
    for (auto& run : m_drives)
        if (run->ok)
            m_check(*run);

    // The saved name moves past the last number written successfully, so that no two sticks ever
    // carry the same name; failed drives before it leave gaps.
    size_t advance = 0;
    for (size_t i = 0; i < m_drives.size(); ++i)
        if (m_drives[i]->ok)
            advance = i + 1;
    if (!values.worker.empty() && advance > 0) {
        for (size_t i = 0; i < advance; ++i)
            advance_worker_name(&values);
        save_settings(m_folder, values);
    }

    bool all_ok = true;
    std::fprintf(m_io.out, "\n%-32s %-8s %-20s %12s %8s\n", "target", "result", "worker", "bytes", "seconds");
    for (auto& run : m_drives) {
        all_ok = all_ok && run->ok;
        std::fprintf(m_io.out, "%-32s %-8s %-20s %12lld %8.1f%s%s\n", run->target.c_str(), run->ok ? "ok" : "FAILED",
                     run->worker.c_str(), static_cast<long long>(run->bytes_written),
                     run->clock.isValid() ? run->clock.elapsed() / 1000.0 : 0.0, run->ok ? "" : "  ",
                     run->ok ? "" : run->result.c_str());
    }
    std::fflush(m_io.out);
    return all_ok && !m_canceled ? 0 : 1;
}

int flash_session::m_list_devices()
{
    device_manager manager(m_options);
    const auto listed = manager.get_devices();
    if (listed.empty())
        std::fprintf(m_io.out, "No USB disk found.\n");
    for (const auto& disk : listed)
        std::fprintf(m_io.out, "%s\t%s\t%s%s\n", disk->path.c_str(), disk->name.c_str(), megabytes(disk->size).c_str(),
                     disk->size <= smallest_usable_drive ? "\t(too small)" : "");
    std::fflush(m_io.out);
    return 0;
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

bool flash_session::m_confirm_devices(const std::vector<std::shared_ptr<device>>& listed)
{
    for (auto& run : m_drives) {
        if (run->is_file)
            continue;
        const auto found = std::find_if(listed.begin(), listed.end(),
                                        [&](const std::shared_ptr<device>& d) { return d->path == run->target; });
        if (found == listed.end()) {
            m_say("error: " + run->target + " is not a USB disk that can be flashed (see --list)");
            return false;
        }
        if ((*found)->size <= smallest_usable_drive) {
            m_say("error: " + run->target + " is too small (" + megabytes((*found)->size) + "; more than 2 GB needed)");
            return false;
        }
        run->disk = *found;
        if (m_request.yes)
            continue;
        const std::string answer = m_io.ask ? m_io.ask("All data on " + run->target + " (" + (*found)->name + ", "
                                                       + megabytes((*found)->size)
                                                       + ") will be lost. Type its path to confirm: ")
                                            : std::string();
        if (answer != run->target) {
            m_say("error: " + run->target + " not confirmed; nothing was written (use --yes to skip the question)");
            return false;
        }
    }
    return true;
}

bool flash_session::m_archive_readable()
{
    // The user's own file: checked before anything is written, and never touched.
    const std::string& archive = m_request.image;
    FILE* stream = open_file(archive, "rb");
    const int error = errno;
    if (stream && QFileInfo(QString::fromStdString(archive)).isFile()) {
        std::fclose(stream);
        return true;
    }
    if (stream)
        std::fclose(stream);
    m_say("error: cannot read --image " + archive + ": " + (stream ? "not a file" : std::strerror(error)));
    return false;
}

bool flash_session::m_lock_folder()
{
    // The signal watcher of Ctrl-C runs in the event loop: keep it turning while waiting.
    m_lock = wait_for_folder_lock(
        m_folder + "/downloads",
        [this] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            return m_canceled.load();
        },
        [this] { m_say("waiting for another run using " + m_folder); });
    return m_lock != nullptr;
}

std::string flash_session::m_fetch_archive()
{
    auto* retriever = new image_retriever(m_folder);
    m_retriever = retriever;
    std::string archive;
    QEventLoop loop;
    connect(retriever, &image_retriever::finished_download, &loop, [&, retriever](std::string path) {
        archive = path;
        m_lock = retriever->take_folder_lock();
    });
    connect(retriever, &image_retriever::waiting_for_folder, &loop,
            [this](QString) { m_say("waiting for another run using " + m_folder); });
    connect(retriever, &image_retriever::error_msg, &loop,
            [&](QString text, bool) { m_say("error: " + text.toStdString()); });
    connect(retriever, &image_retriever::progress_updated, &loop, [&](qint64 done, qint64 total) {
        for (auto& run : m_drives) {
            run->phase = "download";
            run->done = done;
            run->total = total;
        }
    });
    connect(retriever, &QObject::destroyed, &loop, &QEventLoop::quit);
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [this] { m_print_progress(false); });
    ticker.start(m_io.terminal ? 200 : 3000);
    retriever->request_latest_release();
    loop.exec();
    m_retriever = nullptr;
    return archive;
}

bool flash_session::m_inflate(int64_t& image_size)
{
    // Once for all targets: their burners then find the image in place.
    image_manipulator manipulator;
    QElapsedTimer last;
    connect(&manipulator, &image_manipulator::report_progress, this, [this, &last](qint64 done, qint64 total) {
        for (auto& run : m_drives) {
            run->phase = "inflate";
            run->done = done;
            run->total = total;
        }
        if (!last.isValid() || last.elapsed() > (m_io.terminal ? 200 : 3000)) {
            last.start();
            m_print_progress(false);
        }
    });
    FILE* image = manipulator.decompress_image(m_source);
    const uint64_t offset = manipulator.read_config_offset(image);
    if (image) {
        image_size = static_cast<int64_t>(QFileInfo(QString::fromStdString(m_source.image)).size());
        std::fclose(image);
    }
    if (!image) {
        std::string why = ": it or the downloads folder cannot be read or written (see the log)";
        if (manipulator.last_failure() == image_manipulator::failure::damaged)
            why = m_source.archive_is_ours ? ": the archive is damaged and was removed; run again to fetch it anew"
                                           : ": the archive is damaged or incomplete (it was left as it is)";
        m_say("error: cannot inflate " + m_archive + why);
        return false;
    }
    if (offset == image_manipulator::no_offset) {
        m_say("error: the image inflated from " + m_archive
              + " has no place for the settings (no valid config offset in its last eight bytes)");
        return false;
    }
    m_config_offset = offset;
    return true;
}

void flash_session::m_open_targets(int64_t image_size)
{
    for (auto& run : m_drives) {
        run->clock.start();
        if (run->is_file) {
            std::string error;
            run->disk = open_file_target(run->target, static_cast<uint64_t>(image_size), error);
            if (!run->disk)
                run->result = "cannot open the target: " + error;
            continue;
        }
        // Devices are prepared one after another: each preparation reports on the manager.
        run->phase = "prepare";
        m_print_progress(false);
        QEventLoop loop;
        connect(m_devices.get(), &device_manager::unmount_finished, &loop, &QEventLoop::quit);
        m_devices->unmount_device(*run->disk, false);
        loop.exec();
        if (m_canceled)
            break;
    }
}

void flash_session::m_write_all()
{
    QEventLoop loop;
    int running = 0;
    for (auto& entry : m_drives) {
        drive* run = entry.get();
        if (!run->disk || m_canceled) {
            if (run->result.empty())
                run->result = m_canceled ? "canceled" : "not prepared";
            continue;
        }
        run->phase = "write";
        run->burner = new image_burner(m_archive, run->disk.get(), run->configuration);
        run->burner->set_image_source(m_source);
        if (m_request.verify)
            run->burner->set_block_observer([run](uint64_t, const unsigned char* data, size_t size) {
                run->written.addData(reinterpret_cast<const char*>(data), static_cast<int>(size));
            });
        run->thread = new QThread();
        run->thread->setStackSize(16 * 1024 * 1024);
        run->burner->moveToThread(run->thread);
        connect(run->burner, &image_burner::report_progress, this, [run](qint64 done, qint64 total) {
            run->phase = "write";
            run->done = run->bytes_written = done;
            run->total = total;
        });
        connect(run->burner, &image_burner::finished, this, [run] { run->ok = true; });
        connect(run->burner, &image_burner::error_msg, this, [this, run](QString text, bool) {
            run->result = m_canceled ? "canceled" : text.toStdString();
        });
        connect(run->burner, &image_burner::canceled, this, [run] {
            if (run->result.empty())
                run->result = "canceled";
        });
        image_burner* burner = run->burner;
        QThread* thread = run->thread;
        connect(thread, &QThread::started, burner, [burner, thread] {
            burner->burn_image();
            thread->quit();
        });
        connect(thread, &QThread::finished, this, [run, &running, &loop] {
            run->running = false;
            run->phase = run->ok ? "check" : "failed";
            if (--running == 0)
                loop.quit();
        });
        run->running = true;
        ++running;
        thread->start();
    }
    if (running == 0)
        return;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [this] { m_print_progress(false); });
    ticker.start(m_io.terminal ? 200 : 3000);
    loop.exec();
    m_print_progress(true);
}

void flash_session::m_check(drive& run)
{
    run.phase = "verify";
    auto reader = m_readers(run.disk->path);
    if (!reader) {
        run.ok = false;
        run.result = "cannot read the target back";
        return;
    }
    QByteArray text(configuration_size, '\0');
    if (!reader->read(m_config_offset, reinterpret_cast<unsigned char*>(text.data()), configuration_size)
        || text != run.configuration) {
        run.ok = false;
        run.result = "the configuration text on the target differs from what was written";
        KLOG(logger::fatal, "Verification failed: " << run.target);
        return;
    }
    if (!m_request.verify)
        return;

    // Read back in the order written: every block but the first, then the first.
    const uint32_t sector = run.disk->sector_size ? run.disk->sector_size : 512;
    const uint32_t block = image_burner::block_size(sector);
    const uint64_t size = static_cast<uint64_t>(run.bytes_written);
    QCryptographicHash read_back(QCryptographicHash::Sha256);
    QByteArray buffer(static_cast<int>(block), '\0');
    auto add = [&](uint64_t offset) {
        const uint64_t bytes = std::min<uint64_t>(block, size - offset);
        const uint64_t padded = (bytes + sector - 1) / sector * sector;
        if (!reader->read(offset, reinterpret_cast<unsigned char*>(buffer.data()), static_cast<size_t>(padded)))
            return false;
        read_back.addData(buffer.constData(), static_cast<int>(padded));
        return true;
    };
    bool readable = true;
    for (uint64_t offset = block; readable && offset < size; offset += block)
        readable = add(offset);
    readable = readable && add(0);
    if (!readable || read_back.result() != run.written.result()) {
        run.ok = false;
        run.result = readable ? "verification failed: the target differs from what was written"
                              : "verification failed: the target cannot be read back";
        KLOG(logger::fatal, "Verification failed: " << run.target);
        return;
    }
    KLOG(logger::info, "Verified: " << run.target);
}

void flash_session::m_print_progress(bool final_line)
{
    if (m_io.terminal && m_progress_lines > 0)
        std::fprintf(m_io.err, "\x1b[%dA", m_progress_lines); // back to the first line of the block
    m_progress_lines = 0;
    for (auto& run : m_drives) {
        const double percent = run->total > 0 ? 100.0 * static_cast<double>(run->done) / static_cast<double>(run->total) : 0.0;
        const double seconds = run->clock.isValid() ? run->clock.elapsed() / 1000.0 : 0.0;
        const double rate = seconds > 0 && run->phase == "write" ? static_cast<double>(run->done) / 1e6 / seconds : 0.0;
        const double left = rate > 0 ? (static_cast<double>(run->total - run->done) / 1e6) / rate : 0.0;
        std::fprintf(m_io.err, "%s%-32s %-8s %5.1f%% %7.1f MB/s %6.0fs left\n", m_io.terminal ? "\x1b[2K" : "",
                     run->target.c_str(), run->phase.c_str(), std::min(percent, 100.0), rate, left);
        ++m_progress_lines;
    }
    if (!m_io.terminal || final_line)
        m_progress_lines = 0;
    std::fflush(m_io.err);
}
