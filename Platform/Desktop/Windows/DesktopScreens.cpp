#include "Platform/Desktop/Windows/DesktopScreens.h"

#include <QGuiApplication>
#include <QScreen>
#include <cmath>

namespace desktop {

platform::Rect cocoaFromQt(const QRect& rect, const QRect& primary) {
    // Qt's QRect::bottom() is inclusive; work with exclusive edges throughout.
    const double primaryBottom = primary.y() + primary.height();
    return platform::makeRect(rect.x() - primary.x(), primaryBottom - (rect.y() + rect.height()),
                              rect.width(), rect.height());
}

QRect qtFromCocoa(const platform::Rect& rect, const QRect& primary) {
    const double primaryBottom = primary.y() + primary.height();
    const double top = primaryBottom - rect.maxY();
    return QRect(static_cast<int>(std::lround(rect.minX() + primary.x())),
                 static_cast<int>(std::lround(top)), static_cast<int>(std::lround(rect.width())),
                 static_cast<int>(std::lround(rect.height())));
}

platform::Screen cocoaScreen(const QRect& geometry, const QRect& available, const QRect& primary,
                             bool isPrimary, double stripHeight) {
    platform::Screen s;
    s.frame = cocoaFromQt(geometry, primary);
    QRect visible = available.isValid() ? available.intersected(geometry) : geometry;
    if (isPrimary) {
        // The strip covers the top of the primary screen; the visible frame starts below it.
        const int stripBottom = geometry.y() + static_cast<int>(std::ceil(stripHeight));
        if (visible.y() < stripBottom) {
            const int cut = stripBottom - visible.y();
            visible.setTop(visible.top() + std::min(cut, visible.height()));
        }
    }
    s.visibleFrame = cocoaFromQt(visible, primary);
    return s;
}

QRect DesktopScreens::primaryGeometry() {
    auto* primary = QGuiApplication::primaryScreen();
    return primary ? primary->geometry() : QRect();
}

std::vector<platform::Screen> DesktopScreens::screens() const {
    std::vector<platform::Screen> out;
    auto* primary = QGuiApplication::primaryScreen();
    if (!primary)
        return out;
    const QRect p = primary->geometry();
    // The screen with the menu bar comes first, as on a Mac.
    out.push_back(cocoaScreen(p, primary->availableGeometry(), p, true, stripHeight_));
    for (auto* screen : QGuiApplication::screens())
        if (screen != primary)
            out.push_back(cocoaScreen(screen->geometry(), screen->availableGeometry(), p, false,
                                      stripHeight_));
    return out;
}

std::optional<platform::Screen> DesktopScreens::mainScreen() const {
    auto all = screens();
    if (all.empty())
        return std::nullopt;
    return all.front();
}

} // namespace desktop
