// A private X server for tests where the screen matters, and what it shows.
#pragma once

#include <QProcess>
#include <QString>

class x_server {
public:
    // Starts Xvfb; display() is empty when it could not be started (or is not installed).
    x_server();
    ~x_server();
    QString display() const { return m_display; }

private:
    QProcess m_process;
    QString m_display;
};

// The name of the cursor the X server draws now ("forbidden", "left_ptr", ...).
QString x_cursor_name(const QString& display);

// Asks the top-level window of that title to close, as a window manager's close button does;
// false while there is none.
bool x_close_window(const QString& display, const QString& title);
