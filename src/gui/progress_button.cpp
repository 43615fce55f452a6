#include "src/gui/progress_button.h"

#include "src/gui/dialog_window.h"
#include "src/gui/style_kit.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <cmath>

namespace {

const char* const white_caption = "height: 14px;font-size: 14px;font-style: normal;font-weight: bold;line-height: 1;"
                                  "text-align: center;color: #ffffff;background: transparent;";
const char* const orange_caption = "height: 14px;font-size: 14px;font-style: normal;font-weight: bold;line-height: 1;"
                                   "text-align: center;color: #fba342;background: transparent;";

QFrame* plain_frame(QWidget* parent, const char* style)
{
    auto* frame = new QFrame(parent);
    frame->setFixedSize(556, 56);
    frame->setStyleSheet(style);
    return frame;
}

QLabel* caption(QWidget* parent, const QString& text, const char* style, const QFont& font, int x, int y)
{
    auto* label = new QLabel(text, parent);
    label->setStyleSheet(style);
    label->setFont(font);
    label->move(x, y);
    return label;
}

// A share of a whole, as a percentage; a total of 0 counts as nothing done yet.
double share(qint64 part, qint64 whole)
{
    if (whole <= 0)
        return 0.0;
    return std::clamp(static_cast<double>(part) / static_cast<double>(whole), 0.0, 1.0);
}

} // namespace

progress_button::progress_button(QWidget* parent) : QWidget(parent)
{
    setCursor(Qt::PointingHandCursor);
    setFixedSize(556, 56);
    setStyleSheet("border-radius: 4px;");

    m_click_surface = new QPushButton(this);
    m_click_surface->setFlat(true);
    m_click_surface->setFixedSize(556, 56);
    m_click_surface->setStyleSheet("background: transparent");

    m_fill_frame = new QFrame(this);
    m_fill_frame->resize(0, 56);
    m_fill_frame->setStyleSheet("border-radius: 4px");
    rectangle_image(m_fill_frame);
    lightning_white_icon(m_fill_frame)->move(207, 19);
    m_fill_label = caption(m_fill_frame, QString(), white_caption, ubuntu_medium_font(), 224, 21);
    m_fill_label->setFixedSize(200, 14);

    m_track_frame = plain_frame(this, "background: #ffffff; border-radius: 4px;");
    rectangle_empty_image(m_track_frame);
    lightning_orange_icon(m_track_frame)->move(207, 19);
    m_track_label = caption(m_track_frame, QString(), orange_caption, ubuntu_medium_font(), 224, 21);
    m_track_label->setFixedSize(200, 14);

    m_done_frame = plain_frame(this, "background: #ffffff; border-radius: 4px;");
    rectangle_image(m_done_frame);
    done_icon(m_done_frame)->move(197, 20);
    caption(m_done_frame, tr("FLASH ANOTHER?"), white_caption, ubuntu_bold_font(), 223, 21);

    m_idle_frame = plain_frame(this, "background: #ffffff;border: 0px");
    rectangle_image(m_idle_frame);
    lightning_white_icon(m_idle_frame);
    caption(m_idle_frame, tr("FLASH"), white_caption, ubuntu_medium_font(), 262, 21);

    m_disabled_frame = plain_frame(this, "background: #ffffff; border-radius: 4px;");
    rectangle_done_image(m_disabled_frame);
    lightning_white_icon(m_disabled_frame);
    caption(m_disabled_frame, tr("FLASH"), white_caption, ubuntu_medium_font(), 262, 21);

    connect(m_click_surface, SIGNAL(clicked()), this, SLOT(button_clicked()));
    m_click_surface->raise();
}

int progress_button::fill_width(double percent)
{
    return static_cast<int>(std::clamp(percent, 0.0, 100.0) * 5.56);
}

int progress_button::fill_pixels() const
{
    return m_fill_frame->width();
}

QString progress_button::caption_text() const
{
    return m_track_label->text();
}

bool progress_button::clickable() const
{
    return !children().isEmpty() && children().last() == m_click_surface;
}

void progress_button::m_update_text(double percent)
{
    m_done = false;
    // Clamped before it becomes the 8-bit value, so nothing above 100 wraps around.
    const auto value = static_cast<unsigned char>(std::clamp(percent, 0.0, 100.0));
    const QString text = QString::fromStdString(m_caption) + " - " + QString::number(value) + "%";
    m_track_label->setText(text);
    m_fill_label->setText(text);
}

void progress_button::m_fill(double percent)
{
    m_fill_frame->resize(fill_width(percent), 56);
}

void progress_button::button_clicked()
{
    if (m_flashing) {
        QWidget* window = parentWidget() ? parentWidget()->parentWidget() : nullptr;
        window = window ? window->parentWidget() : nullptr;
        dialog_window* dialog = dialog_window::stop_flashing(window);
        connect(dialog, SIGNAL(accepted()), this, SIGNAL(cancel()));
        return;
    }
    m_base = 0;
    m_flashing = true;
    m_track_frame->raise();
    m_fill_frame->resize(0, 56);
    m_fill_frame->raise();
    m_click_surface->raise();
    m_update_text(0);
    emit clicked();
}

void progress_button::report_download_progress(qint64 recieved, qint64 total)
{
    if (total == -1)
        return;
    if (!m_hovered)
        m_caption = "FLASHING";
    m_base = share(recieved, total) * 33.0;
    m_update_text(m_base);
    m_fill(m_base);
}

void progress_button::report_progress_inflate(qint64 recieved, qint64 total)
{
    if (total == -1)
        return;
    m_caption = "FLASHING";
    const double part = (100.0 - m_base) * 0.5;
    const double percent = m_base + share(recieved, total) * part;
    m_fill(percent);
    m_update_text(percent);
    if (recieved == total)
        m_base += part;
}

void progress_button::report_progress(qint64 recieved, qint64 total)
{
    if (total == -1)
        return;
    if (!m_hovered)
        m_caption = "FLASHING";
    const double percent = m_base + share(recieved, total) * (100.0 - m_base);
    m_fill(percent);
    m_update_text(percent);
    if (recieved == total) {
        m_done_frame->raise();
        m_flashing = false;
        m_done = true;
        setCursor(Qt::ForbiddenCursor);
        emit done();
    }
}

void progress_button::enterEvent(QEvent*)
{
    m_hovered = true;
    m_track_label->setText("CANCEL");
    m_fill_label->setText("CANCEL");
    m_caption = "CANCEL";
}

void progress_button::leaveEvent(QEvent*)
{
    m_hovered = false;
}

void progress_button::reset()
{
    setCursor(Qt::PointingHandCursor);
    m_flashing = false;
    if (!m_done)
        m_idle_frame->raise();
    m_click_surface->raise();
}

void progress_button::disable()
{
    m_done = false;
    m_disabled_frame->raise();
    setCursor(Qt::ForbiddenCursor);
}
