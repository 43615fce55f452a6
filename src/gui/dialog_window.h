#pragma once

#include <QFrame>

#include <string>

// The in-window confirmation box: a title, a message, a white left button, a red right button
// and a close icon. Used once: any of its buttons closes and deletes it.
class dialog_window : public QFrame {
    Q_OBJECT

public:
    // The parent is the main window (a window_host), which it tells when it opens and closes.
    dialog_window(const std::string& text, const std::string& title, const std::string& left_label,
                  const std::string& right_label, bool wide_right_label, QWidget* parent);

    // "Stop flashing?" over the window, asked before a running flash is stopped or the window closed.
    static dialog_window* stop_flashing(QWidget* window);

    // Closes it unanswered, as its close icon would but without a signal: what it asked about is
    // over. Nothing when it is already closing.
    void dismiss();

signals:
    void accepted();
    void declined();
    void closed();

private slots:
    void m_clicked();
};
