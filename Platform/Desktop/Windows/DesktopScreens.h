// The attached screens from QScreen, in Cocoa coordinates: the origin at the bottom left of the
// primary screen, y growing upwards. The strip across the top of the primary screen is left out
// of its visible frame, as the menu bar is. Main thread only.
#pragma once

#include "Platform/Screens.h"

#include <QRect>
#include <vector>

namespace desktop {

// Converts a rectangle in Qt's virtual-desktop coordinates (top-left origin, y downwards) to
// Cocoa coordinates relative to the primary screen `primary` (also in Qt coordinates).
platform::Rect cocoaFromQt(const QRect& rect, const QRect& primary);
// The inverse, rounded to whole pixels.
QRect qtFromCocoa(const platform::Rect& rect, const QRect& primary);

// A screen as the desktop host describes it: `geometry` and `available` in Qt coordinates;
// `isPrimary` when it carries the strip of height `stripHeight`.
platform::Screen cocoaScreen(const QRect& geometry, const QRect& available, const QRect& primary,
                             bool isPrimary, double stripHeight);

class DesktopScreens final : public platform::Screens {
public:
    explicit DesktopScreens(double stripHeight) : stripHeight_(stripHeight) {}
    std::vector<platform::Screen> screens() const override;
    std::optional<platform::Screen> mainScreen() const override;

    // The primary screen's geometry in Qt coordinates (empty when no screen is attached).
    static QRect primaryGeometry();

private:
    double stripHeight_;
};

} // namespace desktop
