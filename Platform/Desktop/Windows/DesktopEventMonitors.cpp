#include "Platform/Desktop/Windows/DesktopEventMonitors.h"

#include "Platform/Desktop/Windows/DesktopScreens.h"

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

namespace desktop {

namespace {

platform::Point cocoaPoint(QPoint global) {
    const QRect primary = DesktopScreens::primaryGeometry();
    return {static_cast<double>(global.x() - primary.x()),
            static_cast<double>(primary.y() + primary.height() - global.y()) - 0.5};
}

} // namespace

std::optional<platform::EventType> mouseDownType(unsigned button) {
    switch (button) {
    case 1:
        return platform::EventType::leftMouseDown;
    case 3:
        return platform::EventType::rightMouseDown;
    case 2:
    case 8:
    case 9:
        return platform::EventType::otherMouseDown;
    default:
        return std::nullopt; // 4 to 7 are the wheel's steps, not clicks
    }
}

DesktopEventMonitors::DesktopEventMonitors(std::unique_ptr<GlobalClickSource> source)
    : source_(std::move(source)) {}

DesktopEventMonitors::~DesktopEventMonitors() {
    if (source_)
        source_->stop();
}

std::optional<platform::EventMonitors::Token>
DesktopEventMonitors::addGlobalMonitor(std::uint64_t mask, GlobalHandler handler) {
    auto token = platform::EventMonitors::addGlobalMonitor(mask, std::move(handler));
    if (!token)
        return token;
    globals_.insert(*token);
    // The source runs only while someone listens: no wakeups for an idle application.
    if (source_ && !source_->isRunning() && !unavailable_) {
        const bool started =
            source_->start([this](platform::EventType type, QPoint p) { globalClick(type, p); });
        if (!started) {
            unavailable_ = true;
            if (report)
                report("global event monitors: this display offers no way to see clicks in "
                       "other applications; only clicks on the strip reach them");
        }
    }
    return token;
}

void DesktopEventMonitors::removeMonitor(Token token) {
    platform::EventMonitors::removeMonitor(token);
    if (globals_.erase(token) && globals_.empty() && source_)
        source_->stop();
}

void DesktopEventMonitors::globalClick(platform::EventType type, QPoint global) {
    if (globals_.empty())
        return;
    // Our own windows (the strip included) see their clicks themselves.
    if (isOwnWindowAt && isOwnWindowAt(global))
        return;
    platform::Event e;
    e.type = type;
    e.windowNumber = 0;
    e.locationInScreen = cocoaPoint(global);
    ++dispatched_;
    dispatchGlobal(e);
}

LocalMouseFilter::LocalMouseFilter(platform::EventMonitors& monitors, WindowNumberAt windowNumberAt)
    : monitors_(monitors), windowNumberAt_(std::move(windowNumberAt)) {}

bool LocalMouseFilter::eventFilter(QObject* watched, QEvent* event) {
    // A press from the window system reaches the top-level QWindow once, before any widget;
    // presses forwarded inside the application (to a QML scene) are not spontaneous.
    if (event->type() != QEvent::MouseButtonPress || !event->spontaneous() ||
        !watched->isWindowType())
        return false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    platform::EventType type;
    if (mouse->button() == Qt::LeftButton)
        type = platform::EventType::leftMouseDown;
    else if (mouse->button() == Qt::RightButton)
        type = platform::EventType::rightMouseDown;
    else
        return false;
    auto* window = static_cast<QWindow*>(watched);
    QWidget* top = nullptr;
    for (auto* w : QApplication::topLevelWidgets())
        if (w->windowHandle() == window)
            top = w;
    const QPoint global = mouse->globalPosition().toPoint();
    auto number = windowNumberAt_ ? windowNumberAt_(top, global) : std::nullopt;
    if (!number)
        return false;
    platform::Event e;
    e.type = type;
    e.windowNumber = *number;
    e.locationInScreen = cocoaPoint(global);
    // A monitor that swallows the press keeps it from the window.
    return !monitors_.dispatchLocal(e).has_value();
}

} // namespace desktop
