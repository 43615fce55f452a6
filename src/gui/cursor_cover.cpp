#include "src/gui/cursor_cover.h"

#include <QEvent>

void cursor_cover::attach(QWidget* control)
{
    if (control && control->parentWidget())
        new cursor_cover(control);
}

cursor_cover::cursor_cover(QWidget* control) : QWidget(control->parentWidget()), m_control(control)
{
    control->installEventFilter(this);
    connect(control, &QObject::destroyed, this, &QObject::deleteLater);
    m_follow_control();
}

void cursor_cover::m_follow_control()
{
    if (!m_control)
        return;
    setGeometry(m_control->geometry());
    setCursor(m_control->cursor());
    const bool cover = !m_control->isHidden() && !m_control->isEnabled();
    if (cover)
        m_stack_over_control();
    setVisible(cover);
}

// Right over the control and under everything that lies over it (open lists, bubbles, dialogs).
void cursor_cover::m_stack_over_control()
{
    const QObjectList& siblings = parentWidget()->children();
    for (int i = siblings.indexOf(m_control.data()) + 1; i < siblings.size(); ++i) {
        auto* above = qobject_cast<QWidget*>(siblings[i]);
        if (above && above != this) {
            stackUnder(above);
            return;
        }
    }
    raise();
}

bool cursor_cover::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_control) {
        switch (event->type()) {
        case QEvent::EnabledChange:
        case QEvent::CursorChange:
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::ZOrderChange:
            m_follow_control();
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}
