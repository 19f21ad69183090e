// The application object: activation policy, activation, the current event, layout direction,
// windows, main menu, termination. Implemented by Sim and Desktop; main thread only.
#pragma once

#include "Platform/Geometry.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class Window;
class Menu;

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

enum class LayoutDirection { leftToRight = 0, rightToLeft = 1 };

// Event types keep their platform numbering so that masks are 1 << type.
enum class EventType : std::uint32_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    keyDown = 10,
    otherMouseDown = 25,
};

constexpr std::uint64_t eventMask(EventType t) {
    return std::uint64_t{1} << static_cast<int>(t);
}

struct Event {
    EventType type = EventType::leftMouseUp;
    // Window number the event went to; 0 when it went to no window of this application.
    std::uint32_t windowNumber = 0;
    Point locationInScreen;
    std::uint16_t keyCode = 0;
    std::string characters;
    std::uint64_t modifierFlags = 0;
};

// What the application object asks of its delegate.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() {}
    virtual bool applicationShouldTerminateAfterLastWindowClosed() { return true; }
    virtual bool applicationSupportsSecureRestorableState() { return false; }
    virtual bool applicationShouldHandleReopen(bool /*hasVisibleWindows*/) { return true; }
    virtual void openURLs(const std::vector<std::string>& /*urls*/) {}
};

class Application {
public:
    virtual ~Application() = default;

    virtual ActivationPolicy activationPolicy() const = 0;
    virtual bool setActivationPolicy(ActivationPolicy policy) = 0;
    virtual void activate(bool ignoringOtherApps) = 0;
    virtual bool isActive() const = 0;

    // The event being handled right now, if any.
    virtual std::optional<Event> currentEvent() const = 0;
    virtual LayoutDirection userInterfaceLayoutDirection() const = 0;

    // The application's own windows and panels, in order (status item windows are not listed).
    virtual std::vector<std::shared_ptr<Window>> windows() const = 0;

    virtual std::shared_ptr<Menu> mainMenu() const = 0;
    virtual void setMainMenu(std::shared_ptr<Menu> menu) = 0;

    // Installs the delegate (held weakly) and runs the application: finishes launching, then
    // runs the main loop until terminate() (the simulated host returns after launching).
    virtual void run(std::weak_ptr<ApplicationDelegate> delegate) = 0;
    // The standard terminate action (Quit).
    virtual void terminate() = 0;
    // Ends the process at once with `status`. The simulated host records it and stops the
    // simulated process; callers return right after calling it.
    virtual void exit(int status) = 0;
};

} // namespace platform
