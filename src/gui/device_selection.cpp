#include "src/gui/device_selection.h"

#include "src/core/log_location.h"
#include "src/gui/shadow_backdrop.h"
#include "src/gui/style_kit.h"

#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QScrollBar>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

const char* const dark_title = "height: 20px; font-size: 14px; font-weight: normal; line-height: 1.43; color: #3a3939;";
const char* const grey_title = "height: 20px; font-size: 14px; font-weight: normal; line-height: 1.43; color: #959595;";
const char* const grey_note = "height: 16px; font-size: 12px; font-weight: normal; line-height: 1.33; color: #959595;";
const char* const red_note = "height: 16px; font-size: 12px; font-weight: normal; line-height: 1.33; color: #e92424;";

QString six_decimals(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%f", value);
    return QString::fromLatin1(text);
}

} // namespace

QString device_selection::two_decimals(double value)
{
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(2);
    out << value;
    std::string text = out.str();
    while (!text.empty() && text.back() == '0')
        text.pop_back();
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return QString::fromStdString(text);
}

device_selection_widget::device_selection_widget(std::shared_ptr<device> device, device_selection* owner)
    : m_device(std::move(device)), m_owner(owner)
{
    setFixedSize(552, 72);
    const bool usable = m_device->size > device_selection::smallest_usable;
    const double size = static_cast<double>(m_device->size);

    register_resources();
    auto* icon = new QLabel(this);
    icon->setFixedSize(40, 40);
    icon->setScaledContents(true);
    icon->setPixmap(QPixmap(usable ? ":/resources/usb-head/usb-head-circle.svg"
                                   : ":/resources/usb-head/usb-head-circle-grey.svg"));
    icon->move(16, 19);

    auto* name = new QLabel(QString::fromStdString(m_device->name), this);
    name->move(72, 16);
    name->setFont(ubuntu_regular_font());
    name->setStyleSheet(usable ? dark_title : grey_title);

    QString text;
    if (usable)
        text = device_selection::two_decimals(size / 1e9) + " GB" + owner->told_apart(*m_device);
    else if (size > 1e9)
        text = device_selection::two_decimals(size / 1e9) + " GB - <font color=\"#e92424\"> "
            + tr("Not enough space (2GB minimum)") + "</font>";
    else
        text = device_selection::two_decimals(size / 1e6) + " MB - <font color=\"#e92424\"> "
            + tr("Not enough space (2GB minimum)") + "</font>";
    auto* size_label = new QLabel(text, this);
    size_label->move(73, 40);
    size_label->setFont(ubuntu_regular_font());
    size_label->setStyleSheet(grey_note);
}

void device_selection_widget::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    emit clicked(m_device);
    emit m_owner->item_selected();
}

device_selection::device_selection(QWidget* parent) : QFrame(parent), m_parent_window(parent)
{
    qRegisterMetaType<std::shared_ptr<device>>("std::shared_ptr<device>");
    setCursor(Qt::PointingHandCursor);
    setStyleSheet("QFrame {border-radius : 4px; border: 0px}");

    m_list = new QListWidget(this);
    m_list->hide();
    m_list->move(0, 72);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_list->setStyleSheet("QListWidget::item:selected {background: white; border-radius: 4px;} QListWidget::item "
                          "{border-radius: 4px;} QListWidget {background: #ffffff; border : none; border-radius: 4px;}");
    auto* scroll_bar = new QScrollBar(m_list);
    scroll_bar->setStyleSheet(
        "QScrollBar::vertical {background: transparent; width: 8px;} QScrollBar::add-line:vertical {border: "
        "none;background: none;color: none;} QScrollBar::sub-line:vertical {border: none;background: none;color: "
        "none;} QScrollBar::handle:vertical {background: #cecdcd; border-radius: 4px} "
        "QScrollBar::handle:vertical::hover {background: #959595}");
    m_list->setVerticalScrollBar(scroll_bar);

    m_background = new QFrame(this);
    m_background->setStyleSheet("background: #ffffff;");
    shadow_backdrop::cast(m_background, standard_shadow(m_background));
    m_background->setFixedSize(552, 72);

    m_title = new QLabel(this);
    m_title->move(16, 16);
    m_title->setFont(ubuntu_medium_font());
    m_title->setStyleSheet(dark_title);
    m_subtitle = new QLabel(this);
    m_subtitle->move(16, 40);
    m_subtitle->setFont(ubuntu_medium_font());

    m_arrow = arrow_up_down_icon(this);
    m_arrow->move(527, 30);

    resize(552, 72);
    m_no_drive_state();
}

QString device_selection::title_text() const
{
    return m_title->text();
}

QString device_selection::subtitle_text() const
{
    return m_subtitle->text();
}

bool device_selection::list_visible() const
{
    return m_list->isVisible();
}

bool device_selection::arrow_shown() const
{
    return !m_arrow->isHidden();
}

void device_selection::set_locked(bool locked)
{
    m_locked = locked;
    if (locked) {
        m_list->hide();
        resize(552, 72);
    }
    setEnabled(!locked);
    m_show_openable();
    // Unlocked, it offers itself again; the next change of the drives sets the cursor by their count.
    if (!locked)
        setCursor(Qt::PointingHandCursor);
}

// The arrow and the cursor say whether a click opens the list.
void device_selection::m_show_openable()
{
    const bool openable = m_expandable && !m_locked;
    m_arrow->setVisible(openable);
    setCursor(openable ? Qt::PointingHandCursor : Qt::ForbiddenCursor);
}

void device_selection::m_fit_labels()
{
    m_title->resize(m_title->sizeHint().width(), 20);
    m_subtitle->resize(m_subtitle->sizeHint().width(), 16);
}

void device_selection::m_no_drive_state()
{
    m_title->setText(tr("No external USB flash drive detected!"));
    m_subtitle->setText(tr("To continue, insert USB flash drive"));
    m_subtitle->setStyleSheet(red_note);
    m_arrow->hide();
    m_fit_labels();
}

void device_selection::m_prompt_state()
{
    m_title->setText(tr("Select external USB flash drive"));
    m_title->setStyleSheet(dark_title);
    m_subtitle->setText(tr("Make sure that selected USB flash drive is empty!"));
    m_subtitle->setStyleSheet(grey_note);
    setEnabled(!m_locked);
    m_fit_labels();
}

void device_selection::m_device_selected()
{
    m_valid = false;
    if (!m_selected) {
        m_prompt_state();
        return;
    }
    KLOG(logger::info, "Shown device: " << m_selected->name << ", size: " << m_selected->size);
    const double size = static_cast<double>(m_selected->size);
    m_title->setText(QString::fromStdString(m_selected->name));
    if (m_selected->size <= smallest_usable) {
        m_title->setStyleSheet(grey_title);
        if (m_selected->size < smallest_usable)
            m_subtitle->setText(six_decimals(size / 1e9) + " GB -<font color=\"#e92424\"> "
                                + tr("Not enough space (4GB minimum)") + "</font>");
        else
            m_subtitle->setText(six_decimals(size / 1e6) + " MB -<font color=\"#e92424\">"
                                + tr("Not enough space (4GB minimum)") + "</font>");
        m_fit_labels();
        return;
    }
    m_valid = true;
    m_title->setStyleSheet(dark_title);
    m_subtitle->setText(two_decimals(size / 1e9) + " GB" + told_apart(*m_selected));
    m_subtitle->setStyleSheet(grey_note);
    m_fit_labels();
}

QString device_selection::told_apart(const device& drive) const
{
    const bool twin = std::any_of(m_devices.begin(), m_devices.end(), [&](const std::shared_ptr<device>& other) {
        return other->path != drive.path && other->name == drive.name && other->size == drive.size;
    });
    if (!twin)
        return QString();
    if (!drive.port.empty())
        return " - " + tr("port") + " " + QString::fromStdString(drive.port);
    if (!drive.serial.empty())
        return " - " + tr("serial") + " " + QString::fromStdString(drive.serial);
    return QString();
}

void device_selection::collapse_list()
{
    m_list->hide();
    if (!m_devices.empty())
        m_device_selected();
    else
        m_no_drive_state();
    resize(552, 72);
}

int device_selection::m_list_height() const
{
    const int count = static_cast<int>(m_devices.size());
    return count < 3 ? 73 * count - 1 : count + 216;
}

void device_selection::update_devices_list(std::vector<std::shared_ptr<device>> devices)
{
    m_devices = std::move(devices);
    m_list->clear();
    m_list->resize(552, m_list_height());
    collapse_list();

    if (m_devices.size() >= 2) {
        setStyleSheet(".QFrame {border: 0px; border-radius : 4px;}");
        shadow_backdrop::cast(this, standard_shadow(m_parent_window));
        m_expandable = true;
        m_show_openable();
        m_device_selected();
    } else {
        m_expandable = false;
        m_show_openable();
        m_list->hide();
        setStyleSheet(".QFrame {border: 1px solid #eeeeee; border-radius : 4px;}");
        shadow_backdrop::cast(this, nullptr);
        if (m_devices.size() == 1) {
            KLOG(logger::debug, "Found 1 device");
            m_selected = m_devices.front();
            m_device_selected();
        } else {
            KLOG(logger::debug, "No device found");
            m_no_drive_state();
            m_selected.reset();
        }
    }

    bool found = false;
    for (const std::shared_ptr<device>& drive : m_devices) {
        // Another stick swapped in at the same path is not the one that was chosen.
        if (m_selected && same_disk(*m_selected, *drive))
            found = true;
        auto* row = new device_selection_widget(drive, this);
        auto* item = new QListWidgetItem(m_list);
        item->setSizeHint(QSize(552, 72));
        m_list->setItemWidget(item, row);
        if (drive->size > smallest_usable)
            connect(row, SIGNAL(clicked(std::shared_ptr<device>)), this, SLOT(select_device(std::shared_ptr<device>)));
        if (drive != m_devices.back()) {
            auto* gap = new QListWidgetItem(m_list);
            gap->setSizeHint(QSize(552, 1));
            auto* holder = new QFrame(m_list);
            auto* rule = new QFrame(holder);
            rule->setFrameShape(QFrame::HLine);
            rule->setFrameShadow(QFrame::Plain);
            rule->setStyleSheet("background: #eeeeee;");
            rule->setFixedSize(520, 1);
            rule->move(16, 0);
            m_list->setItemWidget(gap, holder);
        }
    }
    if (found)
        return; // the run in progress holds this very record

    if (!m_devices.empty())
        m_prompt_state();
    m_selected.reset();
    m_valid = false;
}

void device_selection::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_expandable || m_locked)
        return;
    if (m_list->isVisible()) {
        collapse_list();
        m_device_selected();
        return;
    }
    m_prompt_state();
    if (QWidget* focused = m_parent_window ? m_parent_window->focusWidget() : nullptr)
        focused->clearFocus();
    const int height = m_list_height();
    resize(552, 72 + height);
    m_list->resize(552, height);
    m_list->show();
}

void device_selection::select_device(std::shared_ptr<device> device)
{
    m_selected = std::move(device);
    m_list->hide();
    m_device_selected();
    resize(552, 72);
}
