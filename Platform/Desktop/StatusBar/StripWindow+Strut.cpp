// The strip's reserved band: X11 struts on the strip's window, so that the window manager keeps
// maximised windows below it.
#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/StatusBar/DesktopStatusBar.h"
#include "Platform/Desktop/StatusBar/StripWindow.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace desktop {

namespace {

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto cookie = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(c, cookie, nullptr);
    if (!reply)
        return XCB_ATOM_NONE;
    const xcb_atom_t a = reply->atom;
    std::free(reply);
    return a;
}

} // namespace

std::array<std::uint32_t, 12> topStrut(const QRect& screen, double devicePixelRatio, double height,
                                       std::optional<int> top,
                                       const std::vector<QRect>& otherScreens) {
    std::array<std::uint32_t, 12> strut{};
    if (screen.isEmpty() || devicePixelRatio <= 0 || height <= 0)
        return strut;
    // The root window has no negative coordinates: a screen left of or above it is clipped.
    long x = std::max(0, screen.x());
    const long y = std::max(0, top.value_or(screen.y()));
    long end = x + std::lround(screen.width() * devicePixelRatio) - (x - screen.x());
    if (end <= x)
        return strut;
    // Columns with a screen above this one: the widest stretch left between them.
    std::vector<std::pair<long, long>> covered;
    for (const auto& other : otherScreens)
        if (!other.isEmpty() && other.y() + other.height() <= screen.y() && other.x() < end &&
            other.x() + other.width() > x)
            covered.emplace_back(other.x(), other.x() + other.width());
    std::sort(covered.begin(), covered.end());
    long bestStart = 0, bestEnd = 0, cursor = x;
    for (const auto& [from, to] : covered) {
        if (from > cursor && from - cursor > bestEnd - bestStart)
            bestStart = cursor, bestEnd = std::min(from, end);
        cursor = std::max(cursor, to);
    }
    if (end > cursor && end - cursor > bestEnd - bestStart)
        bestStart = cursor, bestEnd = end;
    if (bestEnd <= bestStart)
        return strut;
    x = bestStart;
    end = bestEnd;
    strut[2] = static_cast<std::uint32_t>(y + std::lround(std::ceil(height * devicePixelRatio)));
    strut[8] = static_cast<std::uint32_t>(x);
    strut[9] = static_cast<std::uint32_t>(end - 1);
    return strut;
}

int stripTop(const QRect& screen, const QRect& available, std::optional<int> ownBandBottom,
             std::optional<int> previous) {
    const QRect area = available.intersected(screen);
    if (area.isEmpty())
        return previous.value_or(screen.y());
    if (ownBandBottom && area.y() == *ownBandBottom && previous)
        return *previous;
    // A work area starting far down is no panel's doing (a window manager's mistake): the
    // screen's top then.
    if (area.y() - screen.y() > screen.height() / 4)
        return screen.y();
    return area.y();
}

void StripWindow::reserveBand() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection()) {
        static bool said = false;
        if (!said) {
            said = true;
            bar_.host().logHost(platform::LogLevel::info,
                                "strip: not on X11, so no band is reserved for it (maximised "
                                "windows may cover it)");
        }
        return;
    }
    auto* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    std::vector<QRect> others;
    for (auto* s : QGuiApplication::screens())
        if (s != screen)
            others.push_back(s->geometry());
    const auto strut = topStrut(screen->geometry(), screen->devicePixelRatio(),
                                DesktopStatusBar::stripHeight, geometry().y(), others);
    const WId window = winId();
    if (reservedBand_ == strut && reservedWindow_ == window)
        return;
    xcb_connection_t* c = x11->connection();
    static const xcb_atom_t partial = atom(c, "_NET_WM_STRUT_PARTIAL");
    static const xcb_atom_t full = atom(c, "_NET_WM_STRUT");
    if (partial == XCB_ATOM_NONE || full == XCB_ATOM_NONE)
        return;
    const auto id = static_cast<xcb_window_t>(window);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, partial, XCB_ATOM_CARDINAL, 32, 12,
                        strut.data());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, full, XCB_ATOM_CARDINAL, 32, 4, strut.data());
    xcb_flush(c);
    reservedBand_ = strut;
    reservedWindow_ = window;
}

} // namespace desktop
