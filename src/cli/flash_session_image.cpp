#include "src/cli/flash_drive.h"

#include "src/image/image_manipulator.h"
#include "src/image/image_retriever.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

bool flash_session::m_lock_folder()
{
    if (m_lock)
        return true;
    // The signal watcher of Ctrl-C runs in the event loop: keep it turning while waiting.
    std::string failure;
    m_lock = wait_for_folder_lock(
        m_folder + "/downloads",
        [this] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            return stopped();
        },
        [this](const std::string& holder) { m_say_waiting(holder); }, &failure);
    if (!m_lock && !failure.empty())
        m_say("error: " + failure);
    return m_lock != nullptr;
}

void flash_session::m_say_waiting(const std::string& holder)
{
    m_say("waiting for another run using " + m_folder
          + (holder.empty() ? std::string()
                            : " (" + holder + "; if that run is gone, remove " + m_folder + "/downloads/.lock)"));
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
    connect(retriever, &image_retriever::using_cached_release, &loop, [this](QString tag, QString reason) {
        m_lookup_failure = reason.toStdString();
        m_say("release lookup failed (" + m_lookup_failure + "): using cached release " + tag.toStdString());
    });
    connect(retriever, &image_retriever::waiting_for_folder, &loop,
            [this](QString, QString holder) { m_say_waiting(holder.toStdString()); });
    connect(retriever, &image_retriever::error_msg, &loop, [&, retriever](QString text, bool) {
        // The window's short text gives no URL; the operator of a farm needs both.
        const QString detail = retriever->failure_detail();
        if (!m_canceled) // a stop ends the download with an error of its own making
            m_say("error: " + (detail.isEmpty() ? text : detail).toStdString());
    });
    QElapsedTimer said;
    connect(retriever, &image_retriever::progress_updated, &loop, [&](qint64 done, qint64 total) {
        // A station fetches its image before it has any stick to show it on.
        if (m_drives.empty()) {
            if (!said.isValid() || said.elapsed() >= 3000 || (total > 0 && done == total)) {
                said.start();
                m_say("downloading the image: " + std::to_string(done / 1000000)
                      + (total > 0 ? " of " + std::to_string(total / 1000000) : std::string()) + " MB");
            }
            return;
        }
        if (m_drives.front()->now != drive::downloading)
            m_enter_all(drive::downloading);
        for (auto& run : m_drives) {
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
    manipulator.set_stop_flag(&m_canceled);
    if (m_following)
        manipulator.set_feed(&m_feed);
    QElapsedTimer last;
    // Drives already preparing or writing (following the image) show their own stage.
    for (auto& run : m_drives)
        if (run->now == drive::waiting || run->now == drive::downloading)
            m_enter(*run, drive::inflating);
    connect(&manipulator, &image_manipulator::report_progress, this, [this, &last](qint64 done, qint64 total) {
        for (auto& run : m_drives) {
            if (run->now != drive::inflating)
                continue;
            run->done = done;
            run->total = total;
        }
        // Inflation blocks this thread: let Ctrl-C through between its blocks.
        stopped();
        QCoreApplication::processEvents();
        if (!last.isValid() || last.elapsed() > (m_io.terminal ? 200 : 3000)) {
            last.start();
            m_print_progress(false);
        }
    });
    FILE* image = manipulator.decompress_image(m_source);
    const uint64_t offset = manipulator.read_config_offset(image);
    m_config_offset = offset;
    if (image) {
        image_size = static_cast<int64_t>(QFileInfo(QString::fromStdString(m_source.image)).size());
        std::fclose(image);
    }
    if (!image) {
        if (manipulator.last_failure() == image_manipulator::failure::stopped)
            return false;
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
    return true;
}
