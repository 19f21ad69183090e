// The library's ready-made sign-in screen: header (icon, name, value line), the provider
// buttons, and by phase a progress row, an offline card or an error line, with the privacy and
// terms links at the bottom. It holds no sign-in logic: taps go to the host's callbacks and the
// host feeds the phase back. A view value; main thread only.
#pragma once

#include "CorvaneAccount/UI/CorvaneProviderButtons.h"
#include "Platform/Symbols.h"

#include <functional>
#include <optional>
#include <string>

namespace corvane {

struct CorvaneSignInScreen {
    // What the screen shows below the header.
    struct Phase {
        enum class Kind { error, ready, busy, offline };
        Kind kind = Kind::ready;
        // The text to show, for `error`.
        std::string message;

        static Phase error(std::string message) { return {Kind::error, std::move(message)}; }
        static Phase ready() { return {Kind::ready, {}}; }
        static Phase busy() { return {Kind::busy, {}}; }
        static Phase offline() { return {Kind::offline, {}}; }
        bool operator==(const Phase&) const = default;
    };

    // Layout, in points.
    static constexpr double padding = 32;
    static constexpr double namePointSize = 28;
    static constexpr double valuePropPointSize = 15;
    static constexpr double valuePropOpacity = 0.6;
    static constexpr double errorPointSize = 13;
    static constexpr double progressSpacing = 8;
    static constexpr double progressTopSpacing = 2;
    // The offline card.
    static constexpr const char* offlineSymbol = "wifi.slash";
    static constexpr double offlineSymbolPointSize = 26;
    static constexpr const char* offlineTitle = "Can't reach Corvane";
    static constexpr double offlineTitlePointSize = 16;
    static constexpr const char* offlineMessage = "Check your connection and try again.";
    static constexpr double offlineMessagePointSize = 13;
    static constexpr const char* retryTitle = "Retry";
    // The footer.
    static constexpr const char* privacyTitle = "Privacy Policy";
    static constexpr const char* termsTitle = "Terms of Service";

    std::optional<platform::Image> appIcon;
    std::string appName;
    std::string valueProp;
    CorvaneProviderButtonStyle style;
    Phase phase;
    std::string privacyURL;
    std::string termsURL;
    std::function<void(OAuthDriver::ProviderHint)> onTap;
    std::function<void()> onCancel;
    std::function<void()> onRetry;

    // --- presentation ---
    bool showsIcon() const { return appIcon.has_value(); }
    // The provider buttons: busy in `busy` (with onCancel as their cancel action); none offline.
    std::optional<CorvaneProviderButtons> providerButtons() const;
    bool showsOfflineCard() const { return phase.kind == Phase::Kind::offline; }
    // "Signing in to <appName>…" while busy.
    std::optional<std::string> progressText() const;
    // The error line under the buttons.
    std::optional<std::string> errorMessage() const;
    // A darker red on the light style, a lighter red on the dark one.
    CorvaneColor errorColor() const;
    // The screen's own background and text colours for the style.
    CorvaneColor backgroundColor() const;
    CorvaneColor textColor() const;

    // --- what the user does ---
    void tapProvider(OAuthDriver::ProviderHint hint) const;
    void tapCancel() const;
    // The offline card's "Retry"; nothing when the card is not shown.
    void tapRetry() const;
};

} // namespace corvane
