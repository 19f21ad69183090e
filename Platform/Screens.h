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

class Screens {
public:
    virtual ~Screens() = default;
    virtual std::vector<Screen> screens() const = 0;
    // The screen with the menu bar; none when no screen is attached.
    virtual std::optional<Screen> mainScreen() const = 0;
};

} // namespace platform
