#include "src/gui/main_window.h"

#include "src/config/field_rules.h"
#include "src/core/log_location.h"
#include "src/gui/cursor_cover.h"
#include "src/gui/device_selection.h"
#include "src/gui/dialog_window.h"
#include "src/gui/more_settings.h"
#include "src/gui/progress_button.h"
#include "src/gui/shadow_backdrop.h"
#include "src/gui/style_kit.h"
#include "src/gui/text_input.h"
#include "src/gui/titlebar.h"
#include "src/gui/tooltip.h"
#include "src/image/image_burner.h"
#include "src/image/image_retriever.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QParallelAnimationGroup>
#include <QPauseAnimation>
#include <QPropertyAnimation>
#include <QSequentialAnimationGroup>


namespace {

const char* const heading_style = "height: 24px; font-size: 16px; font-weight: 500; line-height: 1.5; color: #3a3939;";
const char* const field_label_style =
    "height: 16px;font-size: 12px;font-weight: normal;line-height: 1.33;color: #959595;";
const char* const banner_style =
    "background: transparent;border: none;font-size: 14px;font-weight: 500;font-style: normal;line-height: 1.43;";

const field_rule& rule_for(std::string settings::*member)
{
    for (const field_rule& rule : field_rules())
        if (rule.member == member)
            return rule;
    return field_rules().front();
}

QPropertyAnimation* animation(QObject* target, const char* property, const QVariant& end, QObject* parent,
                              int duration = -1)
{
    auto* animation = new QPropertyAnimation(target, property, parent);
    if (duration >= 0)
        animation->setDuration(duration);
    animation->setEndValue(end);
    return animation;
}

} // namespace

main_window::main_window(const std::string& title, const std::string& app_folder, const device_options& options)
    : QWidget(nullptr), m_settings(load_settings(app_folder)), m_app_folder(&app_folder)
{
    setWindowTitle(QCoreApplication::translate("mainWindow", title.c_str()));
    setAttribute(Qt::WA_TranslucentBackground);
    setStyleSheet("background: transparent");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    resize(610, 585);

    m_background = new QFrame(this);
    m_background->setObjectName("white_background");
    m_background->setStyleSheet("QFrame#white_background {background: #ffffff; border-radius: 5px;border: none;}");
    m_background->resize(600, 575);
    m_background->move(5, 5);
    shadow_backdrop::cast(m_background, window_shadow(m_background));

    m_titlebar = new titlebar(this);
    m_titlebar->move(5, 5);
    wide_line(m_background)->move(16, 47);
    m_form_separator = form_line(m_background);
    m_form_separator->move(24, 208);

    m_settings_panel = new QFrame(this);
    m_settings_panel->setStyleSheet("background: transparent;");
    m_settings_panel->resize(600, 110);
    m_settings_panel->move(5, 238);
    m_build_form();

    m_more_settings = new more_settings(m_background);
    m_more_settings->move(24, 353);
    connect(m_more_settings, SIGNAL(clicked()), this, SLOT(os_configuration()));

    m_bottom_frame = new QFrame(m_background);
    m_bottom_frame->resize(600, 100);
    m_bottom_frame->move(0, 389);
    m_warning_label = new QLabel(tr("All data on selected device will be lost."), m_bottom_frame);
    m_warning_label->move(197, 85);
    m_warning_label->setStyleSheet("height: 20px;font-size: 12px;font-weight: normal;line-height: 1.33;color: #E92424;");
    m_warning_label->setFont(ubuntu_regular_font());
    form_line(m_bottom_frame)->move(24, 0);
    m_progress_button = new progress_button(m_bottom_frame);
    m_progress_button->move(22, 24);
    m_progress_button->disable();
    connect(m_progress_button, SIGNAL(clicked()), this, SLOT(start_burning_animation()));
    m_status_label = new QLabel(m_bottom_frame);
    m_status_label->setFixedSize(600, 20);
    m_status_label->move(0, 96);
    m_status_label->setFrameStyle(QFrame::Panel);
    m_status_label->setFont(ubuntu_medium_font());
    m_status_label->hide();
    connect(this, SIGNAL(error(const QString, bool)), this, SLOT(set_error_msg_text(const QString&, bool)));

    m_footer = new QFrame(m_background);
    m_footer->setObjectName("footer");
    m_footer->setStyleSheet("QFrame#footer {background: #ffffff;border-radius 5px;}");
    m_footer->setFixedSize(600, 80);
    m_footer->move(0, 494);
    form_line(m_footer)->move(24, 0);
    logo_image(m_footer)->move(155, 24);
    vertical_line(m_footer)->move(321, 28);
    auto* caption = new QLabel(tr("FLASH TOOL"), m_footer);
    caption->move(338, 35);
    caption->setStyleSheet("height: 20px;font-size: 10px;font-weight: normal;color: #959595;");
    caption->setFont(roboto_regular_font());

    usb_head_icon(m_background)->move(33, 77);
    auto* select_label = new QLabel(tr("Select USB flash drive"), m_background);
    select_label->move(61, 77);
    select_label->setStyleSheet(heading_style);
    select_label->setFont(ubuntu_medium_font());

    m_device_selection = new device_selection(this);
    m_device_selection->move(29, 117);
    shadow_backdrop::cast(m_device_selection, standard_shadow(m_device_selection));
    // Locked, they show the forbidden cursor on the screen too.
    cursor_cover::attach(m_btc_input);
    cursor_cover::attach(m_device_selection);

    m_device_manager = new device_manager(options);
    connect(m_device_manager, SIGNAL(unmount_finished()), this, SLOT(start_burning()));
    connect(m_device_manager, SIGNAL(devices_changed()), this, SLOT(update_window()));
    connect(m_device_selection, SIGNAL(item_selected()), this, SLOT(update_window()));
    for (text_input* field :
         {m_btc_input, m_worker_input, m_group_input, m_ssid_input, m_wireless_key_input, m_ssh_key_input})
        connect(field, SIGNAL(textChanged(const QString&)), this, SLOT(input_fields_changed()));
    connect(m_progress_button, SIGNAL(cancel()), this, SLOT(cancel()));
    if (auto* worker_tip = m_settings_panel->findChildren<tooltip*>().value(0))
        worker_tip->raise();

    m_device_selection->update_devices_list(m_device_manager->get_devices());
    update_window();
    m_fill_fields();

    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
}

main_window::~main_window()
{
    delete m_device_manager;
}

void main_window::m_build_form()
{
    struct row {
        text_input** field;
        std::string settings::*member;
        int label_y;
        int field_y;
        const char* tip;
    };
    const row rows[] = {
        {&m_btc_input, &settings::btc, 40, 64, nullptr},
        {&m_worker_input, &settings::worker, 112, 136,
         "Name your mining machine (sometimes referred to as rig name). Have in mind, that worker name is limited to "
         "alphanumeric characters from English alphabet, a to z, A to Z, 0 to 9 and characters - (hyphen), "
         "_(underscore)."},
        {&m_group_input, &settings::group, 192, 215, "Put your mining machine into group."},
        {&m_ssid_input, &settings::ssid, 272, 296, "SSID to provide the name for a wireless network access."},
        {&m_wireless_key_input, &settings::wireless_key, 352, 376,
         "Security key for wireless network access authentication."},
        {&m_ssh_key_input, &settings::ssh_key, 432, 456, "SSH public key for user authentication."},
    };

    auto* group_label = new QLabel(m_settings_panel); // styled and placed with its row below
    card_information_icon(m_settings_panel)->move(24, 0);
    auto* heading = new QLabel(tr("Orvane OS configuration"), m_settings_panel);
    heading->move(56, 0);
    heading->setStyleSheet(heading_style);
    heading->setFont(ubuntu_medium_font());

    for (const row& r : rows) {
        const field_rule& rule = rule_for(r.member);
        QLabel* label = r.member == &settings::group ? group_label : new QLabel(m_settings_panel);
        label->setText(tr(rule.label));
        label->setStyleSheet(field_label_style);
        label->setFont(ubuntu_regular_font());
        label->move(24, r.label_y);
        if (r.tip)
            new tooltip(r.tip, label->sizeHint().width() + 28, r.label_y, m_settings_panel);
        *r.field = new text_input(rule.label, rule.pattern, rule.error, m_settings_panel);
        (*r.field)->set_position(r.field_y);
    }
}

void main_window::m_fill_fields()
{
    m_btc_input->setText(QString::fromStdString(m_settings->btc));
    m_worker_input->setText(QString::fromStdString(m_settings->worker));
    m_group_input->setText(QString::fromStdString(m_settings->group));
    m_ssh_key_input->setText(QString::fromStdString(m_settings->ssh_key));
    m_wireless_key_input->setText(QString::fromStdString(m_settings->wireless_key));
    m_ssid_input->setText(QString::fromStdString(m_settings->ssid));
}

void main_window::m_read_fields()
{
    auto fresh = std::make_unique<settings>();
    fresh->btc = m_btc_input->text().toStdString();
    fresh->ssid = m_ssid_input->text().toStdString();
    fresh->wireless_key = m_wireless_key_input->text().toStdString();
    fresh->ssh_key = m_ssh_key_input->text().toStdString();
    fresh->worker = m_worker_input->text().toStdString();
    fresh->group = m_group_input->text().toStdString();
    m_settings = std::move(fresh);
}

void main_window::m_lock_controls(bool locked)
{
    m_btc_input->setEnabled(!locked);
    m_btc_input->setCursor(locked ? Qt::ForbiddenCursor : Qt::IBeamCursor);
    m_device_selection->set_locked(locked);
}

void main_window::dialog_window_open()
{
    m_progress_button->setEnabled(false);
    m_titlebar->setEnabled(false);
}

void main_window::dialog_window_closed()
{
    m_progress_button->setEnabled(true);
    m_titlebar->setEnabled(true);
}

void main_window::update_window()
{
    m_device_selection->update_devices_list(m_device_manager->get_devices());
    m_select_new_stick();
    // A question about a drive that is gone, or no longer the chosen one, ends as CANCEL would end it.
    auto* confirm = findChild<dialog_window*>("confirm_flashing", Qt::FindDirectChildrenOnly);
    const auto selected = m_device_selection->get_selected_device();
    if (confirm && !confirm->isHidden() && (!selected || !m_device || !same_disk(*selected, *m_device))) {
        confirm->dismiss();
        disconect_cancel();
    }
    m_background->resize(600, 575);
    m_footer->move(0, 494);
    m_bottom_frame->move(0, 389);
    m_more_settings->move(24, 353);
    m_settings_panel->resize(600, 110);
    m_device_selection->collapse_list();
    m_form_separator->show();
    m_status_label->hide();

    // A run keeps its locks and its progress bar whatever else changes meanwhile (a stick plugged
    // in during a flash): the retriever is gone once the drive is being prepared or written.
    if (m_flashing) {
        m_more_settings->disable();
        m_btc_input->setEnabled(false);
    } else if (m_progress_button->in_run()) {
        // Pressed, and the run not begun yet (the form collapsing, or the large-drive question):
        // the button keeps its run, or its progress would go on under the idle look and a click
        // would start a second run instead of asking to stop.
        m_btc_input->setEnabled(true);
        m_more_settings->show_more();
        m_warning_label->hide();
    } else if (!m_device_selection->has_valid_device() || !m_retriever) {
        m_btc_input->setEnabled(true);
        m_more_settings->show_more();
        m_progress_button->disable();
        m_warning_label->hide();
        input_fields_changed();
    } else {
        m_btc_input->setEnabled(true);
        m_progress_button->reset();
        m_warning_label->show();
        m_more_settings->show_more();
        input_fields_changed();
    }
    resize(610, 585);
}

void main_window::input_fields_changed()
{
    bool valid = true;
    for (text_input* field :
         {m_btc_input, m_worker_input, m_group_input, m_ssid_input, m_wireless_key_input, m_ssh_key_input}) {
        if (field && !field->is_valid()) {
            valid = false;
            break;
        }
    }
    if (!m_device_selection || !m_progress_button)
        return; // still being built
    if (m_progress_button->in_run())
        return; // the run's own outcome decides what the button shows next
    if (valid && !m_btc_input->text().isEmpty() && m_device_selection->has_valid_device())
        m_progress_button->reset();
    else
        m_progress_button->disable();
}

void main_window::m_animate_layout(bool expanded)
{
    const int grow = expanded ? 400 : 0;
    const int duration = 300;
    animation(m_settings_panel, "size", QSize(600, 110 + (expanded ? 402 : 0)), this, duration)->start(QAbstractAnimation::DeleteWhenStopped);
    animation(m_more_settings, "pos", QPoint(24, 353 + grow), this, duration)->start(QAbstractAnimation::DeleteWhenStopped);
    animation(m_footer, "pos", QPoint(0, 494 + grow), this, duration)->start(QAbstractAnimation::DeleteWhenStopped);
    animation(this, "size", QSize(610, 585 + grow), this, duration)->start(QAbstractAnimation::DeleteWhenStopped);
    animation(m_bottom_frame, "pos", QPoint(0, 389 + grow), this, duration)->start(QAbstractAnimation::DeleteWhenStopped);
}

void main_window::start_burning_animation()
{
    KLOG(logger::fatal, "Animation");
    if (QWidget* focused = focusWidget())
        focused->clearFocus();
    m_device_selection->collapse_list();
    m_animate_layout(false);
    m_more_settings->show_more();
    QPropertyAnimation* background = animation(m_background, "size", QSize(600, 575), this, 300);
    connect(background, SIGNAL(finished()), this, SLOT(check_size()));
    background->start(QAbstractAnimation::DeleteWhenStopped);
}

void main_window::os_configuration()
{
    if (QWidget* focused = focusWidget())
        focused->clearFocus();
    m_device_selection->collapse_list();
    const bool expand = m_settings_panel->height() == 110;
    m_animate_layout(expand);
    animation(m_background, "size", QSize(600, expand ? 975 : 575), this, 300)->start(QAbstractAnimation::DeleteWhenStopped);
    if (expand)
        m_more_settings->show_less();
    else
        m_more_settings->show_more();
}

void main_window::hide_window()
{
    showMinimized();
}

void main_window::set_error_msg_text(QString error_msg, bool is_err)
{
    m_more_settings->disable();
    m_status_label->setText(error_msg);
    m_status_label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    m_status_label->show();
    if (is_err) {
        m_status_label->setStyleSheet(QString(banner_style) + "color: #e92424;");
        m_flashing = false;
        m_progress_button->reset();
        m_progress_button->disable();
        m_close_stop_dialogs();
    } else {
        m_status_label->setStyleSheet(QString(banner_style) + "color: #68b641;");
    }

    int background_height = m_background->height();
    int footer_y = m_footer->y();
    int bottom_height = m_bottom_frame->height();
    // One banner at a time (a notice and the run's end may come within its 2.5 s): the new one
    // grows from where the shown one began, and the shown one's end no longer hides the new text.
    for (auto* shown : findChildren<QSequentialAnimationGroup*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (shown->state() == QAbstractAnimation::Stopped)
            continue;
        auto* shrink = static_cast<QAnimationGroup*>(shown->animationAt(2));
        background_height = static_cast<QPropertyAnimation*>(shrink->animationAt(0))->endValue().toSize().height();
        footer_y = static_cast<QPropertyAnimation*>(shrink->animationAt(1))->endValue().toPoint().y();
        bottom_height = static_cast<QPropertyAnimation*>(shrink->animationAt(2))->endValue().toSize().height();
        disconnect(shown, nullptr, this, nullptr);
        shown->stop();
    }
    auto* sequence = new QSequentialAnimationGroup(this);
    auto* grow = new QParallelAnimationGroup(sequence);
    grow->addAnimation(animation(this, "size", QSize(610, 620), grow));
    grow->addAnimation(animation(m_background, "size", QSize(600, background_height + 38), grow));
    grow->addAnimation(animation(m_footer, "pos", QPoint(0, footer_y + 38), grow));
    grow->addAnimation(animation(m_bottom_frame, "size", QSize(600, bottom_height + 38), grow));
    sequence->addAnimation(grow);
    sequence->addPause(2000);
    auto* shrink = new QParallelAnimationGroup(sequence);
    shrink->addAnimation(animation(m_background, "size", QSize(600, background_height), shrink));
    shrink->addAnimation(animation(m_footer, "pos", QPoint(0, footer_y), shrink));
    shrink->addAnimation(animation(m_bottom_frame, "size", QSize(600, bottom_height), shrink));
    shrink->addAnimation(animation(this, "size", QSize(610, 585), shrink));
    sequence->addAnimation(shrink);
    connect(sequence, SIGNAL(finished()), this, SLOT(update_window()));
    sequence->start(QAbstractAnimation::DeleteWhenStopped);
}

void main_window::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    if (QWidget* focused = focusWidget())
        focused->clearFocus();
    m_device_selection->collapse_list();
}

void main_window::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    if (isMinimized()) {
        KLOG(logger::info, "Window hiden");
    } else {
        showNormal();
        KLOG(logger::info, "Window shown");
    }
}

void main_window::showEvent(QShowEvent* event)
{
    // Qt marks the window visible before this event arrives; a show of our own (not the window
    // system's restore) is the moment it becomes visible.
    if (!event->spontaneous())
        KLOG(logger::fatal, "visible");
    QWidget::showEvent(event);
}

void main_window::closeEvent(QCloseEvent* event)
{
    const std::string downloads = *m_app_folder + "/downloads";
    const QStringList images = QDir(QString::fromStdString(downloads))
                                   .entryList({"*.img"}, QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : images)
        QFile::remove(QString::fromStdString(downloads + "/") + name);
    m_read_fields();
    save_settings(*m_app_folder, *m_settings);
    event->accept();
}
