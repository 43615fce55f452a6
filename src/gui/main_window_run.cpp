// The window's run: from the button to a written drive, through the release, the preparation
// and the burner's thread, and every way a run ends early.
#include "src/gui/main_window.h"

#include "src/core/log_location.h"
#include "src/gui/device_selection.h"
#include "src/gui/dialog_window.h"
#include "src/gui/more_settings.h"
#include "src/gui/progress_button.h"
#include "src/gui/text_input.h"
#include "src/image/image_burner.h"
#include "src/image/image_retriever.h"

#include <QThread>

#include <algorithm>

namespace {

constexpr uint64_t large_drive = 68719476736ULL; // 64 GiB: larger ones need a confirmation

} // namespace

void main_window::check_size()
{
    m_device = m_device_selection->get_selected_device();
    if (!m_device) {
        // Unplugged during the collapse: nothing starts.
        disconect_cancel();
        input_fields_changed();
        return;
    }
    if (m_device->size > large_drive) {
        auto* dialog = new dialog_window(
            tr("Large storage device selected, are you sure you would like to write on this device? <font "
               "color=\"#3a3939\">All data on selected USB device will be lost!</font>")
                .toStdString(),
            tr("Confirm flashing").toStdString(), tr("CONTINUE").toStdString(), tr("CANCEL").toStdString(), false,
            this);
        connect(dialog, SIGNAL(accepted()), this, SLOT(disconect_cancel()));
        connect(dialog, SIGNAL(declined()), this, SLOT(on_button_click()));
        connect(dialog, SIGNAL(closed()), this, SLOT(disconect_cancel()));
        dialog->setObjectName("confirm_flashing"); // closed by the window when its drive goes
        dialog->show();
        return;
    }
    on_button_click();
}

void main_window::on_button_click()
{
    KLOG(logger::fatal, "pressed");
    if (m_btc_input->text().isEmpty()) {
        m_btc_input->setFocus(Qt::OtherFocusReason);
        m_btc_input->setEnabled(true);
        set_error_msg_text(tr("Empty BTC address!") + QChar(0xFE0F), true);
        m_progress_button->reset();
        return;
    }
    m_flashing = true;
    m_flashed_ok = false;
    m_listed_at_start = m_device_selection->listed();
    m_lock_controls(true);
    m_folder_lock.reset();
    m_retriever = new image_retriever(*m_app_folder);
    m_retriever->request_latest_release();
    m_more_settings->disable();
    connect(m_retriever, SIGNAL(progress_updated(qint64, qint64)), m_progress_button,
            SLOT(report_download_progress(qint64, qint64)));
    connect(m_retriever, SIGNAL(finished_download(std::string)), this, SLOT(download_finished(std::string)));
    connect(m_retriever, SIGNAL(error_msg(QString, bool)), this, SLOT(set_error_msg_text(QString, bool)));
    connect(m_retriever, SIGNAL(error_msg(QString, bool)), this, SLOT(cancel()));
    connect(m_retriever, SIGNAL(using_cached_release(QString, QString)), this, SLOT(m_cached_release_used(QString)));
}

void main_window::m_cached_release_used(QString tag)
{
    // Neither a failure nor a success: the dark text of a notice.
    emit error("<font color=\"#3a3939\">" + tr("Release lookup failed: using cached release %1").arg(tag).toHtmlEscaped()
                   + "</font>",
               false);
}

void main_window::download_finished(std::string file_name)
{
    KLOG(logger::fatal, "finished");
    m_file_name = file_name;
    if (m_retriever)
        m_folder_lock = m_retriever->take_folder_lock();
    m_retriever = nullptr;
    const auto selected = m_device_selection->get_selected_device();
    bool listed = false, same = false;
    if (m_device && selected && same_disk(*selected, *m_device)) {
        // The list is as old as the last look at the system: before the wipe, the disk at the
        // drive's path is looked at once more, as another stick may have taken its place since.
        for (const auto& drive : m_device_manager->get_devices()) {
            listed = listed || drive->path == m_device->path;
            same = same || same_disk(*drive, *m_device);
        }
    }
    if (!same) {
        cancel();
        set_error_msg_text(listed ? tr("Selected device was replaced, nothing was written!") : tr("Device disconected!"),
                           true);
        return;
    }
    m_device_manager->unmount_device(*m_device, false);
}

void main_window::start_burning()
{
    KLOG(logger::debug, "Started burning");
    if (!m_device)
        return;
    m_read_fields();
    const QByteArray config = configure_image(*m_app_folder, *m_settings);
    if (config.isEmpty() || !m_flashing) {
        if (config.isEmpty())
            emit error(tr("Config file exceeds 2kB"), true);
        // No burner takes the disk over: release what the preparation left open.
        m_folder_lock.reset();
        m_device_manager->release_device(*m_device);
        m_progress_button->reset();
        m_device_manager->unmount_device(*m_device, true);
        m_lock_controls(false);
        return;
    }

    m_flashing = true;
    m_burner = new image_burner(m_file_name, m_device.get(), config);
    m_result = begin_result(m_device->path, m_device->port, m_device->serial, m_device->size, m_file_name,
                            expand_worker_name(m_settings->worker));
    m_burner->set_folder_lock(std::move(m_folder_lock));
    m_burner_thread = new QThread();
    m_burner->moveToThread(m_burner_thread);
    image_burner* burner = m_burner;
    QThread* thread = m_burner_thread;
    // The thread ends with the run, so that every way out reaches m_burner_thread_finished.
    connect(thread, &QThread::started, burner, [burner, thread] {
        burner->burn_image();
        thread->quit();
    });
    connect(m_burner, SIGNAL(finished()), this, SLOT(burning_finished()));
    connect(m_burner, SIGNAL(device_disconected()), this, SLOT(disconect_cancel()));
    connect(thread, SIGNAL(finished()), this, SLOT(m_burner_thread_finished()));
    connect(thread, SIGNAL(finished()), thread, SLOT(deleteLater()));
    connect(thread, SIGNAL(finished()), m_burner, SLOT(deleteLater()));
    connect(m_burner, SIGNAL(error_msg(QString, bool)), this, SLOT(set_error_msg_text(QString, bool)));
    connect(m_burner, &image_burner::error_msg, this, [this](QString text) { m_result.result = "failed: " + text.toStdString(); });
    connect(m_burner, SIGNAL(report_progress(qint64, qint64)), m_progress_button, SLOT(report_progress(qint64, qint64)));
    connect(m_burner, SIGNAL(report_progress_inflate(qint64, qint64)), m_progress_button,
            SLOT(report_progress_inflate(qint64, qint64)));
    connect(m_progress_button, SIGNAL(cancel()), m_burner, SLOT(cancel()));
    thread->setStackSize(0x1000000);
    thread->start(QThread::InheritPriority);
    thread->setPriority(QThread::TimeCriticalPriority);
}

void main_window::m_burner_thread_finished()
{
    if (sender() != m_burner_thread)
        return;
    m_burner_thread = nullptr;
    add_result(*m_app_folder, m_result); // every drive written, good or not, has its line
    if (m_device)
        m_device_manager->release_device(*m_device); // after an early refusal the handles are still open
    if (m_burner) {
        // Ended without finished() or a lost drive: a refusal, already reported.
        m_burner = nullptr;
        m_flashing = false;
        m_lock_controls(false);
        m_more_settings->show_more();
        m_close_stop_dialogs();
    }
}

void main_window::burning_finished()
{
    KLOG(logger::debug, "Flashing finished");
    m_burner = nullptr;
    m_flashing = false;
    m_result.result = "ok";
    if (!m_worker_input->text().isEmpty()) {
        advance_worker_name(m_settings.get());
        m_fill_fields();
        save_settings(*m_app_folder, *m_settings);
    }
    m_lock_controls(false);
    m_flashed_ok = true;
    m_close_stop_dialogs(); // the run is over: there is nothing left to stop
    emit error(tr("Flashing successful!"), false);
    if (m_device)
        m_device_manager->unmount_device(*m_device, true);
}

void main_window::cancel()
{
    m_flashing = false;
    m_folder_lock.reset();
    if (m_burner) {
        m_burner->cancel();
        KLOG(logger::fatal, "Burning canceled");
        m_burner = nullptr;
    }
    if (m_retriever) {
        image_retriever* retriever = m_retriever;
        m_retriever = nullptr; // its own error report comes back here while it cancels
        retriever->cancel();
        KLOG(logger::fatal, "Download canceled");
    }
    m_progress_button->reset();
    m_lock_controls(false);
    m_more_settings->show_more();
    m_close_stop_dialogs();
}

void main_window::disconect_cancel()
{
    m_folder_lock.reset();
    m_burner = nullptr;
    m_flashing = false;
    m_progress_button->reset();
    m_lock_controls(false);
    m_more_settings->show_more();
    m_close_stop_dialogs();
}

void main_window::m_select_new_stick()
{
    const auto selected = m_device_selection->get_selected_device();
    if (!m_flashed_ok || m_flashing || !m_device || !selected || !same_disk(*selected, *m_device))
        return; // the operator chose another drive meanwhile, or no run ended well
    for (const auto& drive : m_device_selection->listed()) {
        const bool new_one = std::none_of(m_listed_at_start.begin(), m_listed_at_start.end(),
                                          [&](const std::shared_ptr<device>& seen) { return same_disk(*seen, *drive); });
        if (new_one && drive->size > device_selection::smallest_usable) {
            m_flashed_ok = false;
            m_device_selection->select_device(drive);
            return;
        }
    }
}

void main_window::m_close_stop_dialogs()
{
    for (auto* dialog : findChildren<dialog_window*>("stop_flashing", Qt::FindDirectChildrenOnly))
        dialog->dismiss();
}
