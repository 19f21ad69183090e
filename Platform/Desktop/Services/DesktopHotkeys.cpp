#include "Platform/Desktop/Services/DesktopHotkeys.h"

#include "Platform/Desktop/Services/PortalShortcuts.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <array>
#include <cstdlib>
#include <xcb/xcb.h>

namespace desktop {

namespace {

xcb_connection_t* x11Connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_window_t rootWindow(xcb_connection_t* c) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    auto it = xcb_setup_roots_iterator(setup);
    return it.rem ? it.data->root : static_cast<xcb_window_t>(XCB_WINDOW_NONE);
}

// The locks that must not change what a key means: Caps Lock and Num Lock (Mod2).
constexpr std::uint16_t lockMasks = XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2;
constexpr std::array<std::uint16_t, 4> lockVariants{0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2,
                                                    XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

// The first keycode that gives `keysym` in any column of the keyboard mapping.
std::optional<std::uint8_t> keycodeOf(xcb_connection_t* c, std::uint32_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    const auto first = setup->min_keycode;
    const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    auto cookie = xcb_get_keyboard_mapping(c, first, count);
    xcb_get_keyboard_mapping_reply_t* reply = xcb_get_keyboard_mapping_reply(c, cookie, nullptr);
    if (!reply)
        return std::nullopt;
    const auto* syms = xcb_get_keyboard_mapping_keysyms(reply);
    const int length = xcb_get_keyboard_mapping_keysyms_length(reply);
    const int perCode = reply->keysyms_per_keycode;
    std::optional<std::uint8_t> found;
    for (int i = 0; perCode > 0 && i < length && !found; ++i)
        if (syms[i] == keysym)
            found = static_cast<std::uint8_t>(first + i / perCode);
    std::free(reply);
    return found;
}

} // namespace

std::optional<std::uint32_t> keysymOfKey(const std::string& key) {
    if (key.size() == 1) {
        const auto ch = static_cast<unsigned char>(key[0]);
        // Latin-1 keysyms are the characters themselves; letters by their lower case.
        if (ch >= 'A' && ch <= 'Z')
            return ch - 'A' + 'a';
        if (ch >= 0x20 && ch < 0x7f)
            return ch;
        return std::nullopt;
    }
    if (key.size() >= 2 && key.size() <= 3 && key[0] == 'F') {
        int n = 0;
        for (std::size_t i = 1; i < key.size(); ++i) {
            if (key[i] < '0' || key[i] > '9')
                return std::nullopt;
            n = n * 10 + (key[i] - '0');
        }
        if (n >= 1 && n <= 35)
            return 0xffbe + static_cast<std::uint32_t>(n - 1);
        return std::nullopt;
    }
    static const std::map<std::string, std::uint32_t> named{
        {"Space", 0x20},       {"Esc", 0xff1b},    {"Escape", 0xff1b}, {"Tab", 0xff09},
        {"Backspace", 0xff08}, {"Return", 0xff0d}, {"Enter", 0xff8d},  {"Ins", 0xff63},
        {"Insert", 0xff63},    {"Del", 0xffff},    {"Delete", 0xffff}, {"Home", 0xff50},
        {"End", 0xff57},       {"Left", 0xff51},   {"Up", 0xff52},     {"Right", 0xff53},
        {"Down", 0xff54},      {"PgUp", 0xff55},   {"PgDown", 0xff56}, {"Pause", 0xff13},
        {"Print", 0xff61},
    };
    auto it = named.find(key);
    if (it == named.end())
        return std::nullopt;
    return it->second;
}

DesktopHotkeys::DesktopHotkeys(std::function<void(std::function<void()>)> post,
                               std::optional<QDBusConnection> portalBus)
    : post_(std::move(post)), portalBus_(std::move(portalBus)) {}

std::uint64_t DesktopHotkeys::pressesDelivered() const {
    return delivered_ + (portal_ ? portal_->activations() : 0);
}

DesktopHotkeys::~DesktopHotkeys() {
    std::vector<Token> tokens;
    for (const auto& [token, _] : grabs_)
        tokens.push_back(token);
    portalSequences_.clear();
    portal_.reset();
    for (auto token : tokens)
        unregisterHotkey(token);
    if (filtering_ && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

platform::Hotkeys::Result DesktopHotkeys::registerHotkey(const std::string& sequence,
                                                         std::function<void()> action,
                                                         Token& token) {
    auto canonical = platform::canonicalKeySequence(sequence);
    if (!canonical || !action)
        return Result::invalid;
    auto* c = x11Connection();
    if (!c) {
        // No X server to grab keys from: the desktop portal binds them, where one runs. Whether
        // the desktop grants them is known later (it may ask the user); a refusal leaves them
        // unbound.
        auto trigger = portalTrigger(*canonical);
        if (!trigger)
            return Result::invalid;
        if (!portal_ && portalBus_ && PortalShortcuts::available(*portalBus_))
            portal_ = std::make_unique<PortalShortcuts>(*portalBus_, post_);
        if (!portal_)
            return Result::unavailable;
        for (const auto& [_, bound] : portalSequences_)
            if (bound == *canonical)
                return Result::taken;
        token = next_++;
        portalSequences_.emplace(token, *canonical);
        portal_->set(token, *trigger, "Quillet: " + *canonical, std::move(action));
        return Result::registered;
    }
    // "Ctrl+Alt+H": the modifiers before the last "+", which may itself be the key.
    std::uint16_t modifiers = 0;
    std::string rest = *canonical;
    for (auto [name, mask] :
         std::array<std::pair<const char*, std::uint16_t>, 4>{{{"Ctrl+", XCB_MOD_MASK_CONTROL},
                                                               {"Alt+", XCB_MOD_MASK_1},
                                                               {"Shift+", XCB_MOD_MASK_SHIFT},
                                                               {"Meta+", XCB_MOD_MASK_4}}}) {
        const std::string prefix = name;
        if (rest.size() > prefix.size() && rest.compare(0, prefix.size(), prefix) == 0) {
            modifiers |= mask;
            rest = rest.substr(prefix.size());
        }
    }
    auto keysym = keysymOfKey(rest);
    if (!keysym)
        return Result::invalid;
    auto keycode = keycodeOf(c, *keysym);
    if (!keycode)
        return Result::invalid;
    for (const auto& [_, grab] : grabs_)
        if (grab.keycode == *keycode && grab.modifiers == modifiers)
            return Result::taken;
    const xcb_window_t root = rootWindow(c);
    // Every lock variant, or none: a key another client holds in any of them is taken.
    std::vector<std::uint16_t> made;
    for (auto lock : lockVariants) {
        auto cookie = xcb_grab_key_checked(c, 1, root, modifiers | lock, *keycode,
                                           XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        if (xcb_generic_error_t* error = xcb_request_check(c, cookie)) {
            const bool access = error->error_code == XCB_ACCESS;
            std::free(error);
            for (auto undo : made)
                xcb_ungrab_key(c, *keycode, root, modifiers | undo);
            xcb_flush(c);
            return access ? Result::taken : Result::invalid;
        }
        made.push_back(lock);
    }
    xcb_flush(c);
    if (!filtering_) {
        QCoreApplication::instance()->installNativeEventFilter(this);
        filtering_ = true;
    }
    token = next_++;
    grabs_.emplace(token, Grab{*keycode, modifiers, std::move(action)});
    return Result::registered;
}

void DesktopHotkeys::unregisterHotkey(Token token) {
    if (portalSequences_.erase(token) > 0) {
        portal_->remove(token);
        return;
    }
    auto it = grabs_.find(token);
    if (it == grabs_.end())
        return;
    if (auto* c = x11Connection()) {
        const xcb_window_t root = rootWindow(c);
        for (auto lock : lockVariants)
            xcb_ungrab_key(c, it->second.keycode, root, it->second.modifiers | lock);
        xcb_flush(c);
    }
    grabs_.erase(it);
}

bool DesktopHotkeys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t" || !message)
        return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
        return false;
    auto* press = static_cast<xcb_key_press_event_t*>(message);
    const std::uint16_t modifiers =
        press->state & ~lockMasks &
        (XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4);
    for (const auto& [_, grab] : grabs_)
        if (grab.keycode == press->detail && grab.modifiers == modifiers) {
            ++delivered_;
            // Later, on the main loop: the action may change the grabs.
            if (post_)
                post_(grab.action);
            return true;
        }
    return false;
}

} // namespace desktop
