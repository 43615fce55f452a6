#include "x_display.h"

#include <QElapsedTimer>
#include <QStandardPaths>

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <memory>

namespace {

using connection = std::unique_ptr<Display, int (*)(Display*)>;

connection open(const QString& display)
{
    return connection(XOpenDisplay(display.toLocal8Bit().constData()), XCloseDisplay);
}

QString title_of(Display* x, Window window)
{
    Atom type = 0;
    int format = 0;
    unsigned long length = 0, rest = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(x, window, XInternAtom(x, "_NET_WM_NAME", False), 0, 1024, False, AnyPropertyType, &type,
                       &format, &length, &rest, &data);
    const QString title = data && format == 8 ? QString::fromUtf8(reinterpret_cast<char*>(data), int(length)) : "";
    if (data)
        XFree(data);
    return title;
}

} // namespace

x_server::x_server()
{
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfb.isEmpty())
        return;
    // Open to every local user: programs are also run here as another user than the test's.
    m_process.start(xvfb, {"-displayfd", "1", "-screen", "0", "1280x1100x24", "-nolisten", "tcp", "-ac"});
    if (!m_process.waitForStarted(60000))
        return;
    QByteArray number;
    QElapsedTimer waited;
    waited.start();
    while (!number.contains('\n') && waited.elapsed() < 60000 && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(1000);
        number += m_process.readAllStandardOutput();
    }
    if (number.contains('\n'))
        m_display = ":" + QString::fromLatin1(number.trimmed());
}

x_server::~x_server()
{
    m_process.terminate();
    m_process.waitForFinished(10000);
}

QString x_cursor_name(const QString& display)
{
    const connection x = open(display);
    XFixesCursorImage* image = x ? XFixesGetCursorImage(x.get()) : nullptr;
    const QString name = image && image->name ? QString::fromLatin1(image->name) : QString();
    if (image)
        XFree(image);
    return name;
}

bool x_close_window(const QString& display, const QString& title)
{
    const connection x = open(display);
    if (!x)
        return false;
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    XQueryTree(x.get(), DefaultRootWindow(x.get()), &root, &parent, &children, &count);
    bool found = false;
    for (unsigned int i = 0; i < count && !found; ++i) {
        found = title_of(x.get(), children[i]) == title;
        if (!found)
            continue;
        XEvent close = {};
        close.xclient.type = ClientMessage;
        close.xclient.window = children[i];
        close.xclient.message_type = XInternAtom(x.get(), "WM_PROTOCOLS", False);
        close.xclient.format = 32;
        close.xclient.data.l[0] = static_cast<long>(XInternAtom(x.get(), "WM_DELETE_WINDOW", False));
        close.xclient.data.l[1] = CurrentTime;
        XSendEvent(x.get(), children[i], False, NoEventMask, &close);
        XFlush(x.get());
    }
    if (children)
        XFree(children);
    return found;
}
