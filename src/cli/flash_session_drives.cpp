#include "src/cli/flash_drive.h"

#include "src/cli/progress_line.h"
#include "src/core/file_io.h"
#include "src/core/log_location.h"
#include "src/image/image_burner.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QTime>
#include <QTimer>

#include <algorithm>

namespace {

// A drive that followed the image holds the blocks written before it failed, behind a wiped first
// block: not bootable, but not as it was either.
std::string image_failed_reason(qint64 bytes_written)
{
    return std::string(bytes_written > 0 ? "partly written" : "not written") + ": the image could not be made";
}

} // namespace

void flash_session::m_enter(drive& run, int stage, qint64 total)
{
    run.done = 0;
    run.total = total;
    run.stage_began_ms = m_clock.elapsed();
    run.now = stage;
}

void flash_session::m_enter_all(int stage, qint64 total)
{
    for (auto& run : m_drives)
        m_enter(*run, stage, total);
}

void flash_session::m_end_when_all_ended()
{
    if (m_preparing == 0 && m_running == 0 && m_drives_loop)
        m_drives_loop->quit();
}

void flash_session::m_fail(drive& run, const std::string& why)
{
    run.result = why;
    run.ok = false;
    m_finish(run);
}

void flash_session::m_finish(drive& run)
{
    m_enter(run, run.ok ? drive::finished : drive::failed);
    m_record(run);
}

void flash_session::m_watch_preparations()
{
    if (!m_devices || m_watching)
        return;
    m_watching = true;
    connect(m_devices.get(), &device_manager::device_prepared, this, [this](QString path) {
        const auto found = std::find_if(m_drives.begin(), m_drives.end(), [&](const std::unique_ptr<drive>& run) {
            return !run->is_file && run->now == drive::preparing && run->disk->path == path.toStdString();
        });
        if (found == m_drives.end())
            return;
        drive& run = **found;
        --m_preparing;
        run.prepare_seconds = static_cast<double>(m_clock.elapsed() - run.stage_began_ms) / 1000.0;
        if (!run.disk->refusal.empty()) {
            KLOG(logger::fatal, "Not prepared: " << run.target << ": " << run.disk->refusal);
            m_fail(run, "not prepared: " + run.disk->refusal);
        } else if (stopped() || m_image_failed) {
            m_devices->release_device(*run.disk); // prepared, but no burner takes it over
            m_fail(run, m_image_failed ? image_failed_reason(0) : "canceled");
        } else {
            m_start_writing(run);
        }
        m_end_when_all_ended();
    });
}

void flash_session::m_start_drives(int64_t image_size)
{
    m_watch_preparations();
    // Every preparation at once: each waits for its own disk to settle, not for the others.
    for (auto& entry : m_drives)
        m_start_drive(*entry, image_size);
}

void flash_session::m_start_drive(drive& run, int64_t image_size)
{
    run.taken_up_ns = m_clock.nsecsElapsed();
    if (stopped()) {
        m_fail(run, "canceled");
        return;
    }
    if (run.is_file) {
        std::string error;
        run.disk = open_file_target(run.target, static_cast<uint64_t>(image_size), error);
        if (run.disk)
            m_start_writing(run);
        else
            m_fail(run, "cannot open the target: " + error);
        return;
    }
    KLOG(logger::info, "Preparing " << run.target << " (port " << (run.disk->port.empty() ? "?" : run.disk->port)
                                    << ", serial " << (run.disk->serial.empty() ? "?" : run.disk->serial) << ")");
    m_enter(run, drive::preparing);
    ++m_preparing;
    m_devices->unmount_device(*run.disk, false);
}

void flash_session::m_wait_for_drives()
{
    QEventLoop loop;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [this] { m_print_progress(false); });
    ticker.start(m_io.terminal ? 200 : 3000);
    if (m_preparing > 0 || m_running > 0) {
        m_drives_loop = &loop;
        loop.exec();
        m_drives_loop = nullptr;
    }
    m_print_progress(true);
}

void flash_session::m_start_writing(drive& target)
{
    drive* run = &target;
    run->burner = new image_burner(m_archive, run->disk.get(), run->configuration);
    run->burner->set_image_source(m_source);
    if (m_request.verify)
        run->burner->set_block_observer([run](uint64_t offset, const unsigned char* data, size_t size) {
            stream_check block;
            block.add(data, size);
            run->written[offset] = block.value();
        });
    if (m_following)
        run->burner->set_feed(&m_feed);
    run->thread = new QThread();
    run->thread->setStackSize(16 * 1024 * 1024);
    run->burner->moveToThread(run->thread);
    // Called on the drive's thread: they touch only the drive's own fields.
    connect(run->burner, &image_burner::report_progress, this, [run](qint64 done, qint64 total) {
        run->done = run->bytes_written = done;
        run->total = total;
    }, Qt::DirectConnection);
    connect(run->burner, &image_burner::finished, this, [run] { run->burned = true; }, Qt::DirectConnection);
    connect(run->burner, &image_burner::target_full, this, [run] { run->full = true; }, Qt::DirectConnection);
    connect(run->burner, &image_burner::error_msg, this, [this, run](QString text, bool) {
        run->result = m_canceled ? "canceled" : run->full ? "no space left on " + run->target : text.toStdString();
    }, Qt::DirectConnection);
    connect(run->burner, &image_burner::canceled, this, [run] {
        if (run->result.empty())
            run->result = "canceled";
    }, Qt::DirectConnection);

    QThread* thread = run->thread;
    connect(thread, &QThread::started, run->burner, [this, run, thread] {
        QElapsedTimer clock;
        clock.start();
        run->burner->burn_image();
        run->write_seconds = clock.elapsed() / 1000.0;
        if (run->burned && m_canceled) {
            run->result = "canceled"; // written, but the stop came before it was checked
        } else if (run->burned) {
            run->ok = true;
            clock.start();
            m_check(*run);
            run->verify_seconds = clock.elapsed() / 1000.0;
        }
        thread->quit();
    });
    connect(thread, &QThread::finished, this, [this, run] {
        if (!run->ok && m_image_failed && run->result != "canceled")
            run->result = image_failed_reason(run->bytes_written);
        m_finish(*run);
        --m_running;
        m_end_when_all_ended();
    });
    m_enter(*run, drive::writing, static_cast<qint64>(run->disk->size));
    ++m_running;
    thread->start();
}

void flash_session::m_check(drive& run)
{
    const uint64_t size = static_cast<uint64_t>(run.bytes_written.load());
    m_enter(run, drive::verifying, static_cast<qint64>(m_request.verify ? size : configuration_size));
    auto reader = m_readers(run.disk->path);
    if (!reader) {
        run.ok = false;
        run.result = "cannot read the target back";
        return;
    }
    QByteArray text(configuration_size, '\0');
    if (!reader->read(run.burner->config_offset(), reinterpret_cast<unsigned char*>(text.data()), configuration_size)
        || text != run.configuration) {
        run.ok = false;
        run.result = "the configuration text on the target differs from what was written";
        KLOG(logger::fatal, "Verification failed: " << run.target);
        return;
    }
    if (!m_request.verify)
        return;

    // Read back in the order written: every block but the first, then the first. Each must be
    // there as it was last written, and no block may be missing.
    const uint32_t sector = run.disk->sector_size ? run.disk->sector_size : 512;
    const uint32_t block = image_burner::block_size(sector);
    QByteArray buffer(static_cast<int>(block), '\0');
    bool same = run.written.size() == (size + block - 1) / block;
    auto add = [&](uint64_t offset) {
        const uint64_t bytes = std::min<uint64_t>(block, size - offset);
        const uint64_t padded = (bytes + sector - 1) / sector * sector;
        if (!reader->read(offset, reinterpret_cast<unsigned char*>(buffer.data()), static_cast<size_t>(padded)))
            return false;
        stream_check read_back;
        read_back.add(reinterpret_cast<const unsigned char*>(buffer.constData()), static_cast<size_t>(padded));
        const auto written = run.written.find(offset);
        same = same && written != run.written.end() && written->second == read_back.value();
        run.done += static_cast<qint64>(bytes);
        return true;
    };
    bool readable = true;
    for (uint64_t offset = block; readable && offset < size && !m_canceled; offset += block)
        readable = add(offset);
    if (m_canceled) {
        run.ok = false;
        run.result = "canceled";
        KLOG(logger::info, "Verification canceled: " << run.target);
        return;
    }
    readable = readable && add(0);
    if (!readable || !same) {
        run.ok = false;
        run.result = readable ? "verification failed: the target differs from what was written"
                              : "verification failed: the target cannot be read back";
        KLOG(logger::fatal, "Verification failed: " << run.target);
        return;
    }
    KLOG(logger::info, "Verified: " << run.target);
}

void flash_session::m_print_summary()
{
    if (m_request.json) {
        QJsonArray drives;
        for (auto& run : m_drives) {
            const auto text = [](const std::string& value) { return QString::fromStdString(value); };
            drives.append(QJsonObject{{"target", text(run->target)},
                                      {"port", text(run->disk ? run->disk->port : std::string())},
                                      {"serial", text(run->disk ? run->disk->serial : std::string())},
                                      {"tag", text(m_tag)},
                                      {"worker", text(run->worker)},
                                      {"result", text(run->ok ? "ok" : "failed: " + run->result)},
                                      {"bytes", static_cast<qint64>(run->bytes_written.load())},
                                      {"prepare_seconds", run->prepare_seconds},
                                      {"write_seconds", run->write_seconds},
                                      {"check_seconds", run->verify_seconds}});
        }
        std::fprintf(m_io.out, "%s", QJsonDocument(drives).toJson().constData());
        std::fflush(m_io.out);
        return;
    }
    // Which release the drives got, and whether it may be older than the server's latest.
    if (!m_tag.empty() && m_request.image.empty())
        std::fprintf(m_io.out, "\nrelease %s%s\n", m_tag.c_str(),
                     m_lookup_failure.empty() ? "" : " (cached: the release lookup failed)");
    else if (!m_archive.empty())
        std::fprintf(m_io.out, "\nimage %s\n", m_archive.c_str());
    std::vector<summary_row> rows;
    for (auto& run : m_drives) {
        summary_row row;
        row.target = run->target;
        row.worker = run->worker;
        row.port = run->disk ? run->disk->port : std::string();
        row.serial = run->disk ? run->disk->serial : std::string();
        row.ok = run->ok;
        row.why = run->result;
        row.bytes = run->bytes_written;
        row.prepare_seconds = run->prepare_seconds;
        row.write_seconds = run->write_seconds;
        row.check_seconds = run->verify_seconds;
        rows.push_back(row);
    }
    std::fputs(summary_text(rows).c_str(), m_io.out);
    std::fflush(m_io.out);
}

std::string flash_session::m_label(const drive& run) const
{
    const std::string worker = run.worker.empty() ? "-" : run.worker;
    const std::string port = run.disk && !run.disk->port.empty() ? run.disk->port : "-";
    const std::string serial = run.disk && !run.disk->serial.empty() ? run.disk->serial : "-";
    if (m_request.station)
        return port + " " + serial + " " + worker;
    if (!run.disk || (run.disk->port.empty() && run.disk->serial.empty()))
        return run.target + " " + worker;
    return run.target + " " + worker + " (" + port + " " + serial + ")";
}

void flash_session::m_print_progress(bool final_line)
{
    static const char* const names[] = {"waiting", "downloading", "inflating", "preparing",
                                        "writing", "verifying",   "done",      "failed"};
    if (!m_io.terminal && !final_line) {
        if (m_plain_clock.isValid() && m_plain_clock.elapsed() < 2500)
            return;
        m_plain_clock.start();
    }
    std::vector<board_line> lines;
    int done = 0, failed = 0, running = 0;
    const qint64 now = m_clock.elapsed();
    for (size_t i = 0; i < m_drives.size(); ++i) {
        const drive& run = *m_drives[i];
        const int stage = run.now;
        (stage == drive::finished ? done : stage == drive::failed ? failed : running) += 1;
        if (run.pulled)
            continue;
        board_line line;
        line.key = std::to_string(i);
        line.ended = stage == drive::finished || stage == drive::failed;
        progress_view& view = line.view;
        view.target = m_label(run);
        view.stage = names[stage];
        // Verified after the flush: nothing of it waits in a cache any more.
        if (stage == drive::finished && !run.is_file)
            view.stage += ", safe to pull";
        // The reason is written by the drive's thread: read it only once that thread has ended.
        if (stage == drive::failed && (!run.thread || run.thread->isFinished()))
            view.stage += ": " + run.result;
        view.done = run.done;
        view.total = run.total;
        view.seconds = static_cast<double>(now - run.stage_began_ms) / 1000.0;
        view.measured = stage == drive::downloading || stage == drive::inflating || stage == drive::writing
            || stage == drive::verifying;
        lines.push_back(std::move(line));
    }
    // The station's sticks come and go: the tally keeps count of all it handled.
    const std::string tally = !m_request.station ? std::string()
                                                 : "sticks: " + std::to_string(done) + " done, " + std::to_string(failed)
            + " failed, " + std::to_string(running) + " running";
    const std::string text = m_io.terminal
        ? m_board.redraw(lines, tally, terminal_rows(m_io.err), terminal_columns(m_io.err), final_line)
        : m_board.plain(lines, tally, QTime::currentTime().toString("HH:mm:ss").toStdString());
    std::fputs(text.c_str(), m_io.err);
    std::fflush(m_io.err);
}
