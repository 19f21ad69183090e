#include "Platform/Desktop/Windows/DesktopWindowList.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Window.h"

#include <QGuiApplication>
#include <QScreen>

namespace desktop {

platform::Rect DesktopWindowList::displayRect(const platform::Rect& cocoa, double primaryHeight) {
    return platform::makeRect(cocoa.minX(), primaryHeight - cocoa.maxY(), cocoa.width(),
                              cocoa.height());
}

std::shared_ptr<const platform::Value>
DesktopWindowList::copyWindowInfo(std::uint32_t /*option*/, std::uint32_t /*relativeTo*/) {
    auto main = host_.screens().mainScreen();
    const double primaryHeight = main ? main->frame.height() : 0;
    platform::Array list;
    auto entry = [&](std::uint32_t number, std::int64_t layer, const platform::Rect& frame,
                     std::int32_t pid, const std::string& owner) {
        list.push_back(
            platform::Dictionary{{platform::windowinfo::number, static_cast<std::int64_t>(number)},
                                 {platform::windowinfo::layer, layer},
                                 {platform::windowinfo::bounds,
                                  platform::dictionaryFromRect(displayRect(frame, primaryHeight))},
                                 {platform::windowinfo::ownerPID, static_cast<std::int64_t>(pid)},
                                 {platform::windowinfo::ownerName, owner}});
    };
    for (const auto& s : host_.desktopStatusBar().itemStates())
        if (s.visible)
            entry(s.windowNumber, platform::statusWindowLevel, s.frame, s.ownerPID, s.owner);
    for (const auto& w : host_.application().windows())
        if (w->isVisible())
            entry(w->windowNumber(), 0, w->frame(), host_.processInfo().processIdentifier,
                  host_.applicationName());
    return std::make_shared<const platform::Value>(std::move(list));
}

std::int32_t DesktopWindowList::getActiveDisplayList(std::uint32_t capacity,
                                                     platform::DisplayID* displays,
                                                     std::uint32_t* count) {
    const auto screens = host_.screens().screens();
    const auto n = static_cast<std::uint32_t>(screens.size());
    if (capacity == 0 || !displays) {
        if (count)
            *count = n;
        return 0;
    }
    const auto returned = std::min(capacity, n);
    for (std::uint32_t i = 0; i < returned; ++i)
        displays[i] = i + 1;
    if (count)
        *count = returned;
    return 0;
}

platform::Rect DesktopWindowList::displayBounds(platform::DisplayID display) {
    const auto screens = host_.screens().screens();
    if (display == 0 || display > screens.size())
        return {};
    const double primaryHeight = screens.front().frame.height();
    return displayRect(screens[display - 1].frame, primaryHeight);
}

} // namespace desktop
