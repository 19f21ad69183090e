#include "CorvaneAccount/UI/CorvaneSignInScreen.h"

namespace corvane {

std::optional<CorvaneProviderButtons> CorvaneSignInScreen::providerButtons() const {
    if (phase.kind == Phase::Kind::offline)
        return std::nullopt;
    CorvaneProviderButtons buttons;
    buttons.style = style;
    buttons.isBusy = phase.kind == Phase::Kind::busy;
    if (buttons.isBusy)
        buttons.onCancelPending = onCancel;
    buttons.onTap = onTap;
    return buttons;
}

std::optional<std::string> CorvaneSignInScreen::progressText() const {
    if (phase.kind != Phase::Kind::busy)
        return std::nullopt;
    return "Signing in to " + appName + "\u2026";
}

std::optional<std::string> CorvaneSignInScreen::errorMessage() const {
    if (phase.kind != Phase::Kind::error)
        return std::nullopt;
    return phase.message;
}

CorvaneColor CorvaneSignInScreen::errorColor() const {
    return style.isDark() ? CorvaneColor{1.0, 0.45, 0.42, 1} : CorvaneColor{0.72, 0.09, 0.08, 1};
}

CorvaneColor CorvaneSignInScreen::backgroundColor() const {
    return style.isDark() ? CorvaneColor{0.11, 0.11, 0.12, 1} : CorvaneColor{0.97, 0.97, 0.97, 1};
}

CorvaneColor CorvaneSignInScreen::textColor() const {
    return style.isDark() ? CorvaneColor{0.95, 0.95, 0.96, 1} : CorvaneColor{0.11, 0.11, 0.12, 1};
}

void CorvaneSignInScreen::tapProvider(OAuthDriver::ProviderHint hint) const {
    if (auto buttons = providerButtons())
        buttons->tap(hint);
}

void CorvaneSignInScreen::tapCancel() const {
    if (auto buttons = providerButtons())
        buttons->tapCancel();
}

void CorvaneSignInScreen::tapRetry() const {
    if (showsOfflineCard() && onRetry)
        onRetry();
}

} // namespace corvane
