// The attached screens: frames and visible frames in Cocoa coordinates; the first screen carries
// the menu bar. Implemented by Sim and Desktop (QScreen); main thread only.
#pragma once

#include "Platform/Geometry.h"

#include <optional>
#include <vector>

namespace platform {

struct Screen {
    Rect frame;
    // The frame less the menu bar (and the Dock).
    Rect visibleFrame;
    bool operator==(const Screen&) const = default;
};

// The screen that holds the largest part of `frame`, the first in `screens`' order on a tie;
// none when no screen holds any of it. A frame without area belongs to the first screen that
// contains its centre.
std::optional<Screen> screenHolding(const Rect& frame, const std::vector<Screen>& screens);

class Screens {
public:
    virtual ~Screens() = default;
    virtual std::vector<Screen> screens() const = 0;
    // The screen with the menu bar; none when no screen is attached.
    virtual std::optional<Screen> mainScreen() const = 0;
};

} // namespace platform
