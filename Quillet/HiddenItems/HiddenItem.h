// One hidden menu-bar item: another application's status window pushed off every display.
#pragma once

#include "Platform/Geometry.h"

#include <cstdint>
#include <memory>

namespace platform {
class RunningApplication;
}

namespace quillet {

struct HiddenItem {
    std::int32_t ownerPID = 0;
    // The window server's number of the status window; also the item's identity.
    std::uint32_t windowID = 0;
    // As the window list reports it: origin at the top left of the main display, y downwards.
    platform::Rect bounds;
    // The owning application; none when the platform knows no such process.
    std::shared_ptr<platform::RunningApplication> app;

    std::uint32_t id() const { return windowID; }
};

} // namespace quillet
