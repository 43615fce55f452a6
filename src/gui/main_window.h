#pragma once

#include "src/config/image_configurator.h"
#include "src/config/results_record.h"
#include "src/device/device_manager.h"
#include "src/image/folder_lock.h"
#include "src/gui/window_host.h"

#include <QWidget>

#include <memory>
#include <string>
#include <vector>

class QFrame;
class QLabel;
class QThread;
class device_selection;
class image_burner;
class image_retriever;
class more_settings;
class progress_button;
class text_input;
class titlebar;

// The program's one window and the owner of the flashing workflow: pick a drive, fill the form,
// press the button; download, prepare, configure and flash with one progress bar.
class main_window : public QWidget, public window_host {
    Q_OBJECT

public:
    // app_folder must outlive the window. The device options are for tests; the program uses the defaults.
    main_window(const std::string& title, const std::string& app_folder,
                const device_options& options = default_device_options());
    ~main_window() override;

    bool is_flashing() const override { return m_flashing; }
    void dialog_window_open() override;
    void dialog_window_closed() override;

signals:
    void error(QString error_msg, bool is_err);

public slots:
    void on_button_click();
    void check_size();
    void download_finished(std::string file_name);
    void set_error_msg_text(QString error_msg, bool is_err);
    void start_burning();
    void burning_finished();
    void hide_window();
    void os_configuration();
    void update_window();
    void cancel();
    void disconect_cancel();
    void start_burning_animation();
    void input_fields_changed();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private slots:
    // The burner's thread has ended, whatever the outcome: the run is over.
    void m_burner_thread_finished();
    // The release server could not be asked: the run goes on with the newest cached release.
    void m_cached_release_used(QString tag);

private:
    void m_build_form();
    void m_lock_controls(bool locked);
    void m_fill_fields();
    void m_read_fields();
    void m_animate_layout(bool expanded);
    // After a good run, the first usable stick plugged in since it began is the next one to flash.
    void m_select_new_stick();
    void m_close_stop_dialogs();

    device_manager* m_device_manager = nullptr;
    std::shared_ptr<device> m_device;
    QThread* m_burner_thread = nullptr;
    std::unique_ptr<settings> m_settings;
    std::string m_file_name;
    image_retriever* m_retriever = nullptr;
    // Held from the download until the burner has inflated the image: other runs on the folder wait.
    shared_folder_lock m_folder_lock;
    image_burner* m_burner = nullptr;
    flash_result m_result; // of the run being written, for the folder's record
    bool m_flashing = false;
    bool m_flashed_ok = false;                                // the last run ended well
    std::vector<std::shared_ptr<device>> m_listed_at_start;  // the drives when it began
    const std::string* m_app_folder;
    progress_button* m_progress_button = nullptr;
    titlebar* m_titlebar = nullptr;
    QLabel* m_status_label = nullptr;
    QLabel* m_warning_label = nullptr;
    text_input* m_worker_input = nullptr;
    text_input* m_group_input = nullptr;
    text_input* m_wireless_key_input = nullptr;
    text_input* m_ssid_input = nullptr;
    text_input* m_ssh_key_input = nullptr;
    text_input* m_btc_input = nullptr;
    device_selection* m_device_selection = nullptr;
    more_settings* m_more_settings = nullptr;
    QFrame* m_settings_panel = nullptr;
    QFrame* m_footer = nullptr;
    QFrame* m_bottom_frame = nullptr;
    QFrame* m_form_separator = nullptr;
    QFrame* m_background = nullptr;
};
