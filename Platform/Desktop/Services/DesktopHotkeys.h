// Global shortcuts on the desktop: on X11 a passive key grab on the root window through Qt's
// own connection (every Caps Lock and Num Lock variant), its presses read by a native event
// filter; elsewhere (Wayland) the desktop portal's GlobalShortcuts where a portal runs, else
// none. Main thread only.
#pragma once

#include "Platform/Hotkeys.h"

#include <QAbstractNativeEventFilter>
#include <QDBusConnection>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace desktop {

// The X keysym of a key as canonicalKeySequence writes it ("H", "F5", "Space", "+"); none for
// a key without one.
std::optional<std::uint32_t> keysymOfKey(const std::string& key);

class PortalShortcuts;

class DesktopHotkeys final : public platform::Hotkeys, private QAbstractNativeEventFilter {
public:
    // `post` runs a press's action on a later main-loop turn. `portalBus`: the session bus to
    // look for the desktop portal on, where there is no X server.
    explicit DesktopHotkeys(std::function<void(std::function<void()>)> post,
                            std::optional<QDBusConnection> portalBus = std::nullopt);
    ~DesktopHotkeys() override;
    DesktopHotkeys(const DesktopHotkeys&) = delete;
    DesktopHotkeys& operator=(const DesktopHotkeys&) = delete;

    Result registerHotkey(const std::string& sequence, std::function<void()> action,
                          Token& token) override;
    void unregisterHotkey(Token token) override;

    // How many presses reached an action (for --status and tests).
    std::uint64_t pressesDelivered() const;
    // The portal's shortcuts, once the portal is used.
    const PortalShortcuts* portal() const { return portal_.get(); }

private:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    struct Grab {
        std::uint8_t keycode = 0;
        std::uint16_t modifiers = 0;
        std::function<void()> action;
    };
    std::function<void(std::function<void()>)> post_;
    std::map<Token, Grab> grabs_;
    std::optional<QDBusConnection> portalBus_;
    std::unique_ptr<PortalShortcuts> portal_;
    // The canonical sequences bound through the portal, by token.
    std::map<Token, std::string> portalSequences_;
    Token next_ = 1;
    bool filtering_ = false;
    std::uint64_t delivered_ = 0;
};

} // namespace desktop
