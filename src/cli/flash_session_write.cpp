#include "src/cli/flash_drive.h"

#include "src/core/log_location.h"
#include "src/image/image_burner.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <algorithm>

void flash_session::m_write_all()
{
    QEventLoop loop;
    int running = 0;
    for (auto& entry : m_drives) {
        drive* run = entry.get();
        if (!run->disk || !run->disk->refusal.empty() || m_canceled) {
            if (run->result.empty())
                run->result = m_canceled ? "canceled" : "not prepared";
            if (run->disk && !run->is_file)
                m_devices->release_device(*run->disk); // prepared, but no burner takes it over
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
    for (uint64_t offset = block; readable && offset < size && !m_canceled; offset += block) {
        readable = add(offset);
        QCoreApplication::processEvents(); // reading back blocks this thread: let Ctrl-C through
    }
    if (m_canceled) {
        run.ok = false;
        run.result = "canceled";
        KLOG(logger::info, "Verification canceled: " << run.target);
        return;
    }
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

void flash_session::m_print_summary()
{
    std::fprintf(m_io.out, "\n%-32s %-8s %-20s %12s %8s\n", "target", "result", "worker", "bytes", "seconds");
    for (auto& run : m_drives)
        std::fprintf(m_io.out, "%-32s %-8s %-20s %12lld %8.1f%s%s\n", run->target.c_str(), run->ok ? "ok" : "FAILED",
                     run->worker.c_str(), static_cast<long long>(run->bytes_written),
                     run->clock.isValid() ? run->clock.elapsed() / 1000.0 : 0.0, run->ok ? "" : "  ",
                     run->ok ? "" : run->result.c_str());
    std::fflush(m_io.out);
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
