#pragma once

#include <QFrame>
#include <QPoint>

class QLabel;
class QPushButton;

// The frameless window's own title bar: drags the window, minimises it and closes it, asking
// first while a flash runs.
class titlebar : public QFrame {
    Q_OBJECT

public:
    // The parent is the main window: it has the slot hide_window() and is a window_host.
    explicit titlebar(QWidget* parent);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private slots:
    void m_close_dialog();

private:
    QLabel* m_hide_icon;
    QLabel* m_close_icon;
    QPushButton* m_hide_button;
    QPushButton* m_close_button;
    bool m_dragging = false;
    QPoint m_press_position;
};
