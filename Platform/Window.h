// A window or panel of the application, or the window of a status item. Frames are in Cocoa
// screen coordinates (origin at the bottom left of the main screen). Implemented by both hosts;
// main thread only.
#pragma once

#include "Platform/Geometry.h"

#include <cstdint>

namespace platform {

class Window {
public:
    virtual ~Window() = default;

    virtual std::uint32_t windowNumber() const = 0;
    virtual Rect frame() const = 0;
    virtual void setFrame(Rect frame) = 0;
    virtual bool isVisible() const = 0;
    // Panels (and their subclasses) do not keep the application regular.
    virtual bool isPanel() const = 0;
    virtual void orderFront() = 0;
    virtual void orderOut() = 0;
};

} // namespace platform
