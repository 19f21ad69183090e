// The sign-in window's content: the library's sign-in screen with the application's name,
// colours and links, running a sign-in through the bridge when a provider is tapped. A view
// model: the desktop renders it with SignInWindowView.qml, tests read screen() and tap it.
// Main thread only.
#pragma once

#include "CorvaneAccount/UI/CorvaneSignInScreen.h"
#include "Platform/View.h"

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {
class Window;
}

namespace quillet {

class AccountModel;
class CorvaneAccountBridge;

enum class ColorScheme { light, dark };

class SignInWindowView final : public platform::ViewModel,
                               public std::enable_shared_from_this<SignInWindowView> {
public:
    static constexpr double width = 520;
    static constexpr double height = 640;
    static constexpr const char* appName = "Quillet";
    // "Tidy your menu bar, on every Mac you use.", with the host's noun for the computer.
    static std::string valueProp();
    // The application's accent colour, sRGB 163/230/53.
    static constexpr corvane::CorvaneColor accentColor{163 / 255.0, 230 / 255.0, 53 / 255.0, 1};
    static constexpr const char* noWindowMessage = "Couldn't start sign-in. Please try again.";
    static constexpr const char* genericFailureMessage = "Sign-in failed. Please try again.";

    static std::shared_ptr<SignInWindowView>
    create(std::shared_ptr<AccountModel> account, std::shared_ptr<CorvaneAccountBridge> bridge,
           std::function<void()> onComplete,
           std::function<std::shared_ptr<platform::Window>()> hostWindow);

    std::string viewName() const override { return "SignInWindowView"; }

    // The screen as it is drawn now, its callbacks bound to this view.
    corvane::CorvaneSignInScreen screen() const;

    const corvane::CorvaneSignInScreen::Phase& signInPhase() const { return signInPhase_; }
    bool isWorking() const { return isWorking_; }
    ColorScheme colorScheme() const { return colorScheme_; }
    // The environment's colour scheme changed (the desktop follows the system's).
    void setColorScheme(ColorScheme scheme);

    // --- what the screen's callbacks do ---
    // Starts a sign-in with the tapped provider; ignored while one runs.
    void startSignIn(corvane::OAuthDriver::ProviderHint hint);
    // "Cancel sign-in": abandons the pending sign-in and returns to ready.
    void cancelSignIn();

private:
    SignInWindowView() = default;
    void setPhase(corvane::CorvaneSignInScreen::Phase phase);
    static boost::asio::awaitable<void> signInTask(std::weak_ptr<SignInWindowView> weak,
                                                   corvane::OAuthDriver::ProviderHint hint,
                                                   std::uint64_t attempt);

    std::shared_ptr<AccountModel> account_;
    std::shared_ptr<CorvaneAccountBridge> bridge_;
    std::function<void()> onComplete_;
    std::function<std::shared_ptr<platform::Window>()> hostWindow_;
    ColorScheme colorScheme_ = ColorScheme::light;
    corvane::CorvaneSignInScreen::Phase signInPhase_ = corvane::CorvaneSignInScreen::Phase::ready();
    bool isWorking_ = false;
    // The sign-in the screen shows; a cancelled one that ends later leaves the screen alone.
    std::uint64_t attempt_ = 0;
};

} // namespace quillet
