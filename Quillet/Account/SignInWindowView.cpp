#include "Quillet/Account/SignInWindowView.h"

#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "Platform/Host.h"
#include "Quillet/Account/AccountModel.h"
#include "Quillet/Account/CorvaneAccountBridge.h"
#include "Quillet/Account/MainTask.h"
#include "Quillet/App/Constants.h"

namespace quillet {

using corvane::CorvaneSignInScreen;
using Phase = CorvaneSignInScreen::Phase;

std::shared_ptr<SignInWindowView>
SignInWindowView::create(std::shared_ptr<AccountModel> account,
                         std::shared_ptr<CorvaneAccountBridge> bridge,
                         std::function<void()> onComplete,
                         std::function<std::shared_ptr<platform::Window>()> hostWindow) {
    std::shared_ptr<SignInWindowView> view(new SignInWindowView());
    view->account_ = std::move(account);
    view->bridge_ = std::move(bridge);
    view->onComplete_ = std::move(onComplete);
    view->hostWindow_ = std::move(hostWindow);
    return view;
}

std::string SignInWindowView::valueProp() {
    return "Tidy your menu bar, on every " + platform::host().vocabulary().computerNoun +
           " you use.";
}

CorvaneSignInScreen SignInWindowView::screen() const {
    CorvaneSignInScreen s;
    s.appIcon = std::nullopt;
    s.appName = appName;
    s.valueProp = valueProp();
    s.style = colorScheme_ == ColorScheme::dark
                  ? corvane::CorvaneProviderButtonStyle::dark(accentColor)
                  : corvane::CorvaneProviderButtonStyle::light(accentColor);
    s.phase = signInPhase_;
    s.privacyURL = Constants::Auth::privacyURL();
    s.termsURL = Constants::Auth::termsURL();
    std::weak_ptr<SignInWindowView> weak = std::const_pointer_cast<SignInWindowView>(
        std::static_pointer_cast<const SignInWindowView>(shared_from_this()));
    s.onTap = [weak](corvane::OAuthDriver::ProviderHint hint) {
        if (auto self = weak.lock())
            self->startSignIn(hint);
    };
    s.onCancel = [weak] {
        if (auto self = weak.lock())
            self->cancelSignIn();
    };
    // No retry: the screen never goes offline here.
    s.onRetry = nullptr;
    return s;
}

void SignInWindowView::setColorScheme(ColorScheme scheme) {
    if (colorScheme_ == scheme)
        return;
    colorScheme_ = scheme;
    changed();
}

void SignInWindowView::setPhase(Phase phase) {
    signInPhase_ = std::move(phase);
    changed();
}

void SignInWindowView::startSignIn(corvane::OAuthDriver::ProviderHint hint) {
    if (isWorking_)
        return;
    isWorking_ = true;
    setPhase(Phase::busy());
    startMainTask(signInTask(weak_from_this(), hint, ++attempt_), "sign_in");
}

void SignInWindowView::cancelSignIn() {
    // Ends the sign-in whatever it is doing (discovery, the browser, the exchange).
    if (bridge_)
        bridge_->manager->cancelSignIn();
    ++attempt_;
    isWorking_ = false;
    setPhase(Phase::ready());
}

boost::asio::awaitable<void> SignInWindowView::signInTask(std::weak_ptr<SignInWindowView> weak,
                                                          corvane::OAuthDriver::ProviderHint hint,
                                                          std::uint64_t attempt) {
    std::shared_ptr<platform::Window> window;
    std::shared_ptr<CorvaneAccountBridge> bridge;
    std::shared_ptr<AccountModel> account;
    if (auto self = weak.lock()) {
        window = self->hostWindow_ ? self->hostWindow_() : nullptr;
        bridge = self->bridge_;
        account = self->account_;
        // Nothing is sent without a window to present the sign-in from.
        if (!window || !bridge) {
            self->isWorking_ = false;
            self->setPhase(Phase::error(noWindowMessage));
            co_return;
        }
    } else {
        co_return;
    }

    std::optional<Phase> failure;
    try {
        auto op = bridge->manager->signIn(window, hint, std::nullopt);
        co_await std::move(op);
    } catch (const corvane::CorvaneError& e) {
        if (e.kind() == corvane::CorvaneError::Kind::authorizationCancelled)
            failure = Phase::ready();
        else
            failure = Phase::error(e.errorDescription().empty() ? genericFailureMessage
                                                                : e.errorDescription());
    } catch (...) {
        failure = Phase::error(genericFailureMessage);
    }
    // The window goes first, so a user-closed window no longer waits for this view.
    window.reset();

    if (failure) {
        if (auto self = weak.lock(); self && self->attempt_ == attempt) {
            self->isWorking_ = false;
            self->setPhase(std::move(*failure));
        }
        co_return;
    }
    if (account) {
        auto refresh = account->refresh();
        co_await std::move(refresh);
    }
    if (auto self = weak.lock()) {
        // The phase stays busy: the window closes, and a new window starts at ready.
        if (self->onComplete_)
            self->onComplete_();
        self->isWorking_ = false;
    }
}

} // namespace quillet
