// A window or panel of the application, or the window of a status item. Frames are in Cocoa
// screen coordinates (origin at the bottom left of the main screen). Implemented by both hosts;
// main thread only.
#pragma once

#include "Platform/Geometry.h"
#include "Platform/Screens.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class ViewModel;

// Window and panel attributes, with the platform's values.
namespace windowstyle {
inline constexpr std::uint64_t titled = 1 << 0;
inline constexpr std::uint64_t closable = 1 << 1;
inline constexpr std::uint64_t miniaturizable = 1 << 2;
inline constexpr std::uint64_t resizable = 1 << 3;
inline constexpr std::uint64_t nonactivatingPanel = 1 << 7;
inline constexpr std::uint64_t fullSizeContentView = 1 << 15;
} // namespace windowstyle

namespace collection {
inline constexpr std::uint64_t moveToActiveSpace = 1 << 1;
inline constexpr std::uint64_t ignoresCycle = 1 << 6;
inline constexpr std::uint64_t fullScreenAuxiliary = 1 << 8;
} // namespace collection

inline constexpr int backingStoreBuffered = 2;

struct WindowAttributes {
    Rect contentRect;
    std::uint64_t styleMask = windowstyle::titled | windowstyle::closable;
    int backing = backingStoreBuffered;
    bool defer = false;
    std::int64_t level = 0;
    std::uint64_t collectionBehavior = 0;
    bool isFloatingPanel = false;
    bool becomesKeyOnlyIfNeeded = false;
    bool clearBackground = false;
    bool isOpaque = true;
    bool hasShadow = true;
    bool hidesOnDeactivate = false;
    bool isReleasedWhenClosed = true;
    // "darkAqua" for the dark appearance; empty for the system's.
    std::string appearance;
    bool canBecomeKey = true;
    bool canBecomeMain = true;
    std::string title;
    Size minSize;
};

class Window {
public:
    virtual ~Window() = default;

    virtual std::uint32_t windowNumber() const = 0;
    virtual Rect frame() const = 0;
    virtual void setFrame(Rect frame) = 0;
    virtual bool isVisible() const = 0;
    // The screen that holds the largest part of the window (the first in screen order on a
    // tie); none when the window is on no screen.
    std::optional<Screen> screen() const;
    // Panels (and their subclasses) do not keep the application regular.
    virtual bool isPanel() const = 0;
    virtual void orderFront() = 0;
    virtual void orderOut() = 0;
    // Closes the window as its close button does: posts windowWillCloseNotification with the
    // window as sender, then orders it out (the window object stays usable).
    virtual void close();

    // Orders the window front even when the application is not active (not made key).
    virtual void orderFrontRegardless() { orderFront(); }
    virtual void makeKeyAndOrderFront() { orderFront(); }
    virtual bool isKeyWindow() const { return false; }
    // The hosted view.
    virtual void setContentView(std::shared_ptr<ViewModel> view) { content_ = std::move(view); }
    std::shared_ptr<ViewModel> contentView() const { return content_; }
    // Redraws the content.
    virtual void display() {}
    virtual WindowAttributes attributes() const { return {}; }

private:
    std::shared_ptr<ViewModel> content_;
};

} // namespace platform
