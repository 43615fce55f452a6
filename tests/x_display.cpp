#include "x_display.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <memory>

namespace {

using connection = std::unique_ptr<Display, int (*)(Display*)>;

connection open(const QString& display)
{
    return connection(XOpenDisplay(display.toLocal8Bit().constData()), XCloseDisplay);
}

} // namespace

x_server::x_server()
{
    // Open to every local user: programs are also run here as another user than the test's. Not
    // reset when its last client leaves: a reset turns away whoever connects meanwhile.
    m_process.start("Xvfb",
                    {"-displayfd", "1", "-screen", "0", "1280x1100x24", "-nolisten", "tcp", "-ac", "-noreset"});
    // The number comes in one write, once the server listens.
    if (m_process.waitForStarted(60000) && m_process.waitForReadyRead(60000))
        m_display = ":" + QString::fromLatin1(m_process.readLine().trimmed());
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
    XFree(image);
    return name;
}

bool x_close_window(const QString& display, const QString& title)
{
    const connection x = open(display);
    Window root = 0, parent = 0, *children = nullptr, found = 0;
    unsigned int count = 0;
    if (x)
        XQueryTree(x.get(), DefaultRootWindow(x.get()), &root, &parent, &children, &count);
    for (unsigned int i = 0; i < count && !found; ++i) {
        char* name = nullptr;
        if (XFetchName(x.get(), children[i], &name) && title == QString::fromUtf8(name))
            found = children[i];
        XFree(name);
    }
    XFree(children);
    if (!found)
        return false;
    XEvent close = {};
    close.xclient.type = ClientMessage;
    close.xclient.window = found;
    close.xclient.message_type = XInternAtom(x.get(), "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = static_cast<long>(XInternAtom(x.get(), "WM_DELETE_WINDOW", False));
    XSendEvent(x.get(), found, False, NoEventMask, &close);
    XFlush(x.get());
    return true;
}
