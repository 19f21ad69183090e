#include "Platform/Desktop/DesktopApplication.h"

#include <QApplication>
#include <QGuiApplication>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

namespace desktop {

bool DesktopApplication::setActivationPolicy(platform::ActivationPolicy policy) {
    if (policy == policy_)
        return true;
    policy_ = policy;
    if (onPresentationChange)
        onPresentationChange();
    return true;
}

void DesktopApplication::setActive(bool active) {
    if (active == active_)
        return;
    if (active && onWillBecomeActive)
        onWillBecomeActive();
    active_ = active;
    if (active && onDidBecomeActive)
        onDidBecomeActive();
}

void DesktopApplication::activate(bool /*ignoringOtherApps*/) {
    // An accessory application without windows becomes active too, as on a Mac.
    setActive(true);
    // Brings the application's own visible windows to the front; the strip stays as it is.
    for (auto* widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible() || widget->property("quilletStrip").toBool())
            continue;
        widget->raise();
        widget->activateWindow();
    }
}

bool DesktopApplication::isActive() const {
    return active_;
}

platform::LayoutDirection DesktopApplication::userInterfaceLayoutDirection() const {
    return QGuiApplication::layoutDirection() == Qt::RightToLeft
               ? platform::LayoutDirection::rightToLeft
               : platform::LayoutDirection::leftToRight;
}

void DesktopApplication::addWindow(const std::shared_ptr<platform::Window>& window) {
    std::erase_if(windows_, [](const auto& w) { return w.expired(); });
    windows_.push_back(window);
}

std::vector<std::shared_ptr<platform::Window>> DesktopApplication::windows() const {
    std::erase_if(windows_, [](const auto& w) { return w.expired(); });
    std::vector<std::shared_ptr<platform::Window>> out;
    out.reserve(windows_.size());
    for (const auto& w : windows_)
        if (auto window = w.lock())
            out.push_back(std::move(window));
    return out;
}

void DesktopApplication::setMainMenu(std::shared_ptr<platform::Menu> menu) {
    mainMenu_ = std::move(menu);
    if (onPresentationChange)
        onPresentationChange();
}

void DesktopApplication::withCurrentEvent(const platform::Event& event,
                                          const std::function<void()>& handle) {
    auto previous = currentEvent_;
    currentEvent_ = event;
    handle();
    currentEvent_ = previous;
}

void DesktopApplication::run(std::weak_ptr<platform::ApplicationDelegate> delegate) {
    delegate_ = delegate;
    if (auto d = delegate.lock())
        d->applicationDidFinishLaunching();
    launched_ = true;
    if (onDidFinishLaunching)
        onDidFinishLaunching();
    // Quit during launch: the loop never starts.
    if (terminateRequested_)
        return;
    QApplication::exec();
}

void DesktopApplication::terminate() {
    terminateRequested_ = true;
    QCoreApplication::quit();
}

void DesktopApplication::exit(int status) {
    // At once, as the platform's exit does: defaults are already on disk (written on change).
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

} // namespace desktop
