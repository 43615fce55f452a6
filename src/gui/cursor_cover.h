#pragma once

#include <QPointer>
#include <QWidget>

// The cursor of a disabled control, shown on the screen.
//
// Over a disabled widget Qt shows the cursor of its nearest enabled ancestor (for a locked field,
// the window's arrow), whatever cursor the widget itself was given. While the control is
// disabled, an enabled widget that paints nothing lies right over it and carries the control's
// cursor; clicks on it go to the control's parent, as they would from the disabled control.
class cursor_cover : public QWidget {
    Q_OBJECT

public:
    // The control must have a parent; the cover follows it and goes with it.
    static void attach(QWidget* control);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit cursor_cover(QWidget* control);
    void m_follow_control();
    void m_stack_over_control();

    QPointer<QWidget> m_control;
};
