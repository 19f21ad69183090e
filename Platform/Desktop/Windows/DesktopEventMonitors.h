// Event monitors on the desktop. Local ones see the mouse-downs that reach this application's
// windows (through an application-wide event filter) and its key presses; global ones see
// mouse-downs anywhere else, from a global click source (XInput2 raw button events on X11)
// that runs only while a global monitor exists. Main thread only.
#pragma once

#include "Platform/EventMonitors.h"

#include <QObject>
#include <QPoint>
#include <functional>
#include <memory>
#include <optional>
#include <set>

class QWidget;

namespace desktop {

// Reports mouse-downs anywhere on the display, with the pointer's position in Qt's global
// coordinates. Calls back on the main thread.
class GlobalClickSource {
public:
    using Handler = std::function<void(platform::EventType, QPoint)>;
    virtual ~GlobalClickSource() = default;
    // False when the display offers no way to see other applications' clicks.
    virtual bool start(Handler handler) = 0;
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
};

class DesktopEventMonitors final : public platform::EventMonitors {
public:
    explicit DesktopEventMonitors(std::unique_ptr<GlobalClickSource> source);
    ~DesktopEventMonitors() override;

    std::optional<Token> addGlobalMonitor(std::uint64_t mask, GlobalHandler handler) override;
    void removeMonitor(Token token) override;

    // Whether the global click source is running (only while a global monitor exists).
    bool isWatchingGlobalClicks() const { return source_ && source_->isRunning(); }
    // True when the global source could not start (no X11, no XInput2): clicks in other
    // applications then reach global monitors only where the strip sees them.
    bool globalClicksUnavailable() const { return unavailable_; }
    // How many clicks from the global source went to the global monitors.
    std::uint64_t globalClicksDispatched() const { return dispatched_; }

    // Whether a click at `global` (Qt coordinates) hit a window of this application, which
    // then sees it itself; set by the host.
    std::function<bool(QPoint)> isOwnWindowAt;
    // Said once when the global source cannot start.
    std::function<void(const std::string&)> report;

    // A click the global source saw: shown to the global monitors unless one of this
    // application's windows got it.
    void globalClick(platform::EventType type, QPoint global);

private:
    std::unique_ptr<GlobalClickSource> source_;
    std::set<Token> globals_;
    bool unavailable_ = false;
    std::uint64_t dispatched_ = 0;
};

// Passes the mouse-downs that reach this application's windows through the local monitors
// (once per press, as the window system delivers it) and drops those a monitor swallows.
class LocalMouseFilter final : public QObject {
public:
    // `windowNumberAt` names the window of the application a press at `global` went to, or
    // none when the press is not one for local monitors (a menu, another application's item
    // in the strip).
    using WindowNumberAt = std::function<std::optional<std::uint32_t>(QWidget*, QPoint)>;
    LocalMouseFilter(platform::EventMonitors& monitors, WindowNumberAt windowNumberAt);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    platform::EventMonitors& monitors_;
    WindowNumberAt windowNumberAt_;
};

// The platform's event type for a mouse button (1 left, 2 middle, 3 right on X11); none for the
// wheel and other buttons.
std::optional<platform::EventType> mouseDownType(unsigned button);

} // namespace desktop
