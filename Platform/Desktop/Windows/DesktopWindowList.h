// The window list and the active displays of the desktop host: the status item windows of the
// strip (this process's and other applications'), at the status window level, and the
// application's own windows, in global display coordinates (top-left origin of the primary
// screen). Displays are the attached screens, the primary first. Main thread only.
#pragma once

#include "Platform/WindowList.h"

namespace desktop {

class DesktopHost;

class DesktopWindowList final : public platform::WindowList {
public:
    explicit DesktopWindowList(DesktopHost& host) : host_(host) {}

    std::shared_ptr<const platform::Value> copyWindowInfo(std::uint32_t option,
                                                          std::uint32_t relativeToWindow) override;
    std::int32_t getActiveDisplayList(std::uint32_t capacity, platform::DisplayID* displays,
                                      std::uint32_t* count) override;
    platform::Rect displayBounds(platform::DisplayID display) override;

    // A Cocoa frame in global display coordinates, for a primary screen `primaryHeight` high.
    static platform::Rect displayRect(const platform::Rect& cocoa, double primaryHeight);

private:
    DesktopHost& host_;
};

} // namespace desktop
