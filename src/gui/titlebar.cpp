#include "src/gui/titlebar.h"

#include "src/gui/dialog_window.h"
#include "src/gui/style_kit.h"
#include "src/gui/window_host.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

titlebar::titlebar(QWidget* parent) : QFrame(parent)
{
    setObjectName("title_bar");
    setStyleSheet("QFrame#title_bar {border-radius: 5px;}");
    setMouseTracking(true);
    resize(600, 47);

    m_hide_icon = hide_icon(this);
    m_close_icon = close_icon(this);

    m_hide_button = new QPushButton(this);
    m_hide_button->setFlat(true);
    m_hide_button->setStyleSheet("QPushButton:pressed{border: none}");
    m_hide_button->resize(16, 6);
    m_hide_button->move(536, 26);
    m_hide_button->setCursor(Qt::PointingHandCursor);
    m_hide_icon->move(536, 29);
    m_hide_button->raise();

    m_close_button = new QPushButton(this);
    m_close_button->setFlat(true);
    m_close_button->setStyleSheet("QPushButton:pressed{border: none}");
    m_close_button->resize(14, 14);
    m_close_button->move(570, 17);
    m_close_button->setCursor(Qt::PointingHandCursor);
    m_close_icon->move(570, 17);
    m_close_button->raise();

    connect(m_hide_button, SIGNAL(clicked()), parent, SLOT(hide_window()));
    connect(m_close_button, SIGNAL(clicked()), this, SLOT(m_close_dialog()));
}

void titlebar::m_close_dialog()
{
    QWidget* window = parentWidget();
    auto* host = dynamic_cast<window_host*>(window);
    if (host && host->is_flashing()) {
        dialog_window* dialog = dialog_window::stop_flashing(window);
        connect(dialog, SIGNAL(accepted()), window, SLOT(close()));
        return;
    }
    window->close();
}

void titlebar::mousePressEvent(QMouseEvent* event)
{
    setCursor(Qt::ClosedHandCursor);
    m_dragging = true;
    m_press_position = event->pos();
}

void titlebar::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_dragging)
        return;
    QWidget* window = parentWidget();
    window->move(window->pos() - m_press_position + event->pos());
}

void titlebar::mouseReleaseEvent(QMouseEvent*)
{
    m_dragging = false;
    setCursor(Qt::ArrowCursor);
}
