#include "mapwatcher.h"

#include "benchsupport.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

namespace bench {

namespace {

// A window may be gone by the time its name is read: not fatal here.
int ignoreXError(Display *, XErrorEvent *)
{
    return 0;
}

} // namespace

MapWatcher::~MapWatcher()
{
    if (m_display)
        XCloseDisplay(m_display);
}

bool MapWatcher::open(std::string *error)
{
    m_display = XOpenDisplay(nullptr);
    if (!m_display) {
        *error = "cannot open the X display (run under xvfb-run)";
        return false;
    }
    XSetErrorHandler(ignoreXError);
    m_netWmName = XInternAtom(m_display, "_NET_WM_NAME", False);
    m_wmName = XA_WM_NAME;
    // Without a window manager the programs' top-level windows are children
    // of the root, so the root's substructure sees their MapNotify.
    XSelectInput(m_display, DefaultRootWindow(m_display), SubstructureNotifyMask);
    XSync(m_display, False);
    return true;
}

void MapWatcher::expect(const std::string &title)
{
    // Events of an earlier run are stale.
    while (XPending(m_display)) {
        XEvent event;
        XNextEvent(m_display, &event);
    }
    m_title = title;
    m_mappedAt = -1;
}

void MapWatcher::pump(int waitMs)
{
    if (!XPending(m_display)) {
        pollfd readable{ConnectionNumber(m_display), POLLIN, 0};
        ::poll(&readable, 1, waitMs);
    }
    while (XPending(m_display)) {
        XEvent event;
        XNextEvent(m_display, &event);
        const double at = nowMs();
        if (event.type != MapNotify || event.xmap.override_redirect || m_mappedAt >= 0)
            continue;
        if (windowName(event.xmap.window) == m_title)
            m_mappedAt = at;
    }
}

// XFetchName only reads a WM_NAME of type STRING; Qt writes UTF8_STRING, so
// the property is read as it is, _NET_WM_NAME first.
std::string MapWatcher::windowName(unsigned long window) const
{
    char *fetched = nullptr;
    if (XFetchName(m_display, window, &fetched) && fetched) {
        std::string name(fetched);
        XFree(fetched);
        return name;
    }
    for (const unsigned long property : {m_netWmName, m_wmName}) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(m_display, window, property, 0, 1024, False, AnyPropertyType, &type,
                               &format, &count, &after, &data)
                == Success
            && data) {
            std::string name(reinterpret_cast<char *>(data), format == 8 ? count : 0);
            XFree(data);
            if (!name.empty())
                return name;
        }
    }
    return {};
}

} // namespace bench
