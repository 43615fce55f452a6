#include "src/gui/tooltip.h"

#include "src/gui/style_kit.h"

#include <QApplication>

tooltip_pop_up::tooltip_pop_up(const std::string& text, int arrow_x, QWidget* parent) : QFrame(parent)
{
    QLabel* arrow = dark_bubble_arrow(this);
    QFrame* bubble = dark_bubble_frame(this);

    auto* label = new QLabel(tr(text.c_str()), bubble);
    label->setStyleSheet("font-size: 12px;font-weight: normal;line-height: 1.33;color: #fcfcfc;background: transparent;");
    label->setFont(ubuntu_regular_font());
    if (label->sizeHint().width() >= 417) {
        label->setFixedWidth(417);
        label->setWordWrap(true);
    }
    label->move(16, 8);

    bubble->setFixedSize(label->sizeHint().width() + 32, label->sizeHint().height() + 16);
    arrow->move(arrow_x, bubble->height());
    resize(bubble->width(), bubble->height() + arrow->height());
    setStyleSheet("background: transparent");
}

tooltip::tooltip(const std::string& text, int x, int y, QWidget* parent) : QLabel(parent), m_parent(parent)
{
    setMouseTracking(true);
    register_resources();
    setPixmap(QPixmap(":/resources/icons/info-circle.png"));
    adjustSize();
    move(x, y);
    m_pop_up = new tooltip_pop_up(text, x - 23, parent);
    m_pop_up->move(24, y - m_pop_up->height());
    m_pop_up->hide();
}

void tooltip::enterEvent(QEvent*)
{
    m_pop_up->show();
    m_pop_up->raise();
    setCursor(Qt::PointingHandCursor);
    if (QWidget* focused = m_parent ? m_parent->focusWidget() : nullptr)
        focused->clearFocus();
}

void tooltip::leaveEvent(QEvent*)
{
    m_pop_up->hide();
}
