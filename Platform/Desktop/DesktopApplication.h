// The application object over QApplication: activation policy (shown in the strip), activation,
// the current event, layout direction, windows, main menu, and the main loop. Main thread only.
#pragma once

#include "Platform/Application.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace desktop {

class DesktopApplication final : public platform::Application {
public:
    platform::ActivationPolicy activationPolicy() const override { return policy_; }
    bool setActivationPolicy(platform::ActivationPolicy policy) override;
    void activate(bool ignoringOtherApps) override;
    bool isActive() const override;

    std::optional<platform::Event> currentEvent() const override { return currentEvent_; }
    platform::LayoutDirection userInterfaceLayoutDirection() const override;

    std::vector<std::shared_ptr<platform::Window>> windows() const override;
    std::shared_ptr<platform::Menu> mainMenu() const override { return mainMenu_; }
    void setMainMenu(std::shared_ptr<platform::Menu> menu) override;

    void run(std::weak_ptr<platform::ApplicationDelegate> delegate) override;
    void terminate() override;
    void exit(int status) override;

    // --- host side ---
    std::shared_ptr<platform::ApplicationDelegate> delegate() const { return delegate_.lock(); }
    bool hasLaunched() const { return launched_; }
    // Sets the current event for the duration of `handle`.
    void withCurrentEvent(const platform::Event& event, const std::function<void()>& handle);
    // Lists a window while its owners hold it: a window nobody holds any more is freed.
    void addWindow(const std::shared_ptr<platform::Window>& window);
    // Called when what the strip shows for the application (policy, main menu) changes.
    std::function<void()> onPresentationChange;
    // The application became active (activate(), or one of its windows took the focus) or
    // stopped being active; the host posts the activation notifications.
    void setActive(bool active);
    std::function<void()> onWillBecomeActive;
    std::function<void()> onDidBecomeActive;
    // Called once launching has finished, before the main loop starts.
    std::function<void()> onDidFinishLaunching;

private:
    platform::ActivationPolicy policy_ = platform::ActivationPolicy::regular;
    std::optional<platform::Event> currentEvent_;
    mutable std::vector<std::weak_ptr<platform::Window>> windows_;
    std::shared_ptr<platform::Menu> mainMenu_;
    std::weak_ptr<platform::ApplicationDelegate> delegate_;
    bool launched_ = false;
    bool terminateRequested_ = false;
    bool active_ = false;
};

} // namespace desktop
