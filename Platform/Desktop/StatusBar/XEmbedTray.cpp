#include "Platform/Desktop/StatusBar/XEmbedTray.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/Services/DesktopWorkspace.h"
#include "Platform/Desktop/StatusBar/DesktopStatusBar.h"
#include "Platform/Desktop/StatusBar/ForeignItems.h"
#include "Platform/Desktop/StatusBar/StripWindow.h"
#include "Platform/Desktop/StatusBar/TrayHost.h"
#include "Platform/Desktop/StatusBar/TrayIcons.h"
#include "Platform/Desktop/Windows/DesktopAppearance.h"
#include "Platform/StatusBar.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <xcb/shape.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

namespace desktop {

namespace {

// The system tray's opcodes and XEmbed's messages and flags.
constexpr std::uint32_t requestDock = 0;
constexpr std::uint32_t embeddedNotify = 0;
constexpr std::uint32_t xembedMapped = 1;
constexpr std::uint32_t horizontal = 0;

xcb_connection_t* x11Connection() {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

template <typename Reply> struct Freed {
    Reply* reply;
    ~Freed() { std::free(reply); }
    Reply* operator->() const { return reply; }
    explicit operator bool() const { return reply != nullptr; }
};
template <typename Reply> Freed<Reply> owned(Reply* reply) {
    return {reply};
}

// A property's bytes, at most `longs` 32-bit units of them; empty when it is absent.
std::string propertyBytes(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property,
                          xcb_atom_t type, std::uint32_t longs) {
    auto reply = owned(xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, property, type, 0, longs), nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE)
        return {};
    const int length = xcb_get_property_value_length(reply.reply);
    if (length <= 0)
        return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.reply)),
                       static_cast<std::size_t>(length));
}

// Only letters, digits and a few marks: the name becomes part of a defaults key.
std::string cleanName(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (out.size() >= 64)
            break;
        const auto u = static_cast<unsigned char>(ch);
        if (std::isalnum(u) || ch == '-' || ch == '_' || ch == '.')
            out.push_back(ch);
    }
    return out;
}

} // namespace

XEmbedTray::XEmbedTray(DesktopHost& host) : host_(host) {}

XEmbedTray::~XEmbedTray() {
    if (filtering_)
        QCoreApplication::instance()->removeNativeEventFilter(this);
    if (!c_)
        return;
    // The programs keep their icons: each goes back to the root window, to dock with the next
    // tray.
    std::vector<std::uint32_t> windows;
    for (const auto& [window, _] : icons_)
        windows.push_back(window);
    for (auto window : windows)
        undock(window, true);
    if (managerWindow_)
        xcb_destroy_window(c_, managerWindow_);
    xcb_flush(c_);
}

bool XEmbedTray::start() {
    c_ = x11Connection();
    if (!c_)
        return false;
    const xcb_setup_t* setup = xcb_get_setup(c_);
    // Qt's connection is to the display's default screen: ":0.1" names screen 1.
    int screenNumber = 0;
    if (const char* env = std::getenv("DISPLAY")) {
        if (const char* dot = std::strrchr(env, '.'); dot && std::strchr(env, ':') < dot)
            screenNumber = std::atoi(dot + 1);
    }
    auto roots = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && roots.rem; ++i)
        xcb_screen_next(&roots);
    if (!roots.rem)
        return false;
    root_ = roots.data->root;
    rootVisual_ = roots.data->root_visual;
    rootDepth_ = roots.data->root_depth;
    colormap_ = roots.data->default_colormap;

    const std::string selectionName = "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber);
    const std::pair<std::uint32_t*, std::string> names[] = {
        {&atoms_.selection, selectionName},
        {&atoms_.opcode, "_NET_SYSTEM_TRAY_OPCODE"},
        {&atoms_.manager, "MANAGER"},
        {&atoms_.xembed, "_XEMBED"},
        {&atoms_.xembedInfo, "_XEMBED_INFO"},
        {&atoms_.visual, "_NET_SYSTEM_TRAY_VISUAL"},
        {&atoms_.orientation, "_NET_SYSTEM_TRAY_ORIENTATION"},
        {&atoms_.netWmPid, "_NET_WM_PID"},
        {&atoms_.netWmName, "_NET_WM_NAME"},
        {&atoms_.utf8, "UTF8_STRING"},
        {&atoms_.probe, "_QUILLET_TRAY_TIME"}};
    std::vector<xcb_intern_atom_cookie_t> cookies;
    for (const auto& [_, name] : names)
        cookies.push_back(
            xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(name.size()), name.data()));
    for (std::size_t i = 0; i < cookies.size(); ++i) {
        auto reply = owned(xcb_intern_atom_reply(c_, cookies[i], nullptr));
        if (!reply)
            return false;
        *names[i].first = reply->atom;
    }
    const auto* shape = xcb_get_extension_data(c_, &xcb_shape_id);
    shapeAvailable_ = shape && shape->present;
    // Qt reads the pointer and keys through XInput2 where the server has it.
    const auto* input = xcb_get_extension_data(c_, &xcb_input_id);
    inputOpcode_ = input && input->present ? input->major_opcode : 0;

    QCoreApplication::instance()->installNativeEventFilter(this);
    filtering_ = true;
    // The containers show the strip's colour around and behind the icons, in either scheme.
    connect(&host_.appearance(), &DesktopAppearance::changed, this, [this] {
        const std::uint32_t pixel = backgroundPixel();
        for (const auto& [_, icon] : icons_) {
            xcb_change_window_attributes(c_, icon.container, XCB_CW_BACK_PIXEL, &pixel);
            xcb_clear_area(c_, 1, icon.container, 0, 0, 0, 0);
        }
        xcb_flush(c_);
    });
    tryAcquire();
    return true;
}

void XEmbedTray::createManagerWindow() {
    // The tray's own window: it holds the selection and says how icons are drawn.
    managerWindow_ = xcb_generate_id(c_);
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_PROPERTY_CHANGE};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, managerWindow_, root_, -1, -1, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, managerWindow_, atoms_.visual, XCB_ATOM_VISUALID,
                        32, 1, &rootVisual_);
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, managerWindow_, atoms_.orientation,
                        XCB_ATOM_CARDINAL, 32, 1, &horizontal);
}

void XEmbedTray::tryAcquire() {
    // Another tray (a desktop's panel) keeps the icons; this one steps in when it goes.
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto reply = owned(xcb_get_selection_owner_reply(
            c_, xcb_get_selection_owner(c_, atoms_.selection), nullptr));
        const xcb_window_t owner = reply ? reply->owner : xcb_window_t{XCB_WINDOW_NONE};
        if (owner == XCB_WINDOW_NONE || (managerWindow_ && owner == managerWindow_))
            break;
        const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        auto cookie = xcb_change_window_attributes_checked(c_, owner, XCB_CW_EVENT_MASK, &mask);
        if (auto* error = xcb_request_check(c_, cookie)) {
            // It went while asked: look again.
            std::free(error);
            continue;
        }
        otherOwner_ = owner;
        state_ = State::waiting;
        xcb_flush(c_);
        host_.logHost(platform::LogLevel::info,
                      "another program is the system tray: its icons stay there");
        return;
    }
    // The selection is taken with a time of the server's, which a property change gives.
    state_ = State::acquiring;
    if (!managerWindow_)
        createManagerWindow();
    xcb_change_property(c_, XCB_PROP_MODE_APPEND, managerWindow_, atoms_.probe, XCB_ATOM_STRING, 8,
                        0, nullptr);
    xcb_flush(c_);
}

void XEmbedTray::acquire(std::uint32_t time) {
    xcb_set_selection_owner(c_, managerWindow_, atoms_.selection, time);
    auto reply = owned(
        xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, atoms_.selection), nullptr));
    if (!reply || reply->owner != managerWindow_) {
        // Someone was quicker.
        tryAcquire();
        return;
    }
    state_ = State::manager;
    // Programs waiting for a tray learn of it from the root window.
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = root_;
    message.type = atoms_.manager;
    message.data.data32[0] = time;
    message.data.data32[1] = atoms_.selection;
    message.data.data32[2] = managerWindow_;
    xcb_send_event(c_, 0, root_, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(c_);
    host_.logHost(platform::LogLevel::info, "this program is the system tray");
}

void XEmbedTray::lose() {
    // Another tray took the selection: the icons go to it.
    host_.logHost(platform::LogLevel::info, "another program took over the system tray");
    std::vector<std::uint32_t> windows;
    for (const auto& [window, _] : icons_)
        windows.push_back(window);
    for (auto window : windows)
        undock(window, true);
    // The window that held the selection goes: its end tells the new tray, and programs that
    // remember the tray by its window, that this one has stepped down.
    xcb_destroy_window(c_, managerWindow_);
    managerWindow_ = 0;
    state_ = State::waiting;
    tryAcquire();
}

void XEmbedTray::dock(std::uint32_t window) {
    if (state_ != State::manager || window == XCB_WINDOW_NONE || icons_.count(window))
        return;
    // Never the root window nor one of this program's own (the strip, its panels): a forged
    // request must not pull them into a container or change what this connection hears.
    const xcb_setup_t* setup = xcb_get_setup(c_);
    if (window == root_ ||
        (window & ~setup->resource_id_mask) == (setup->resource_id_base & ~setup->resource_id_mask))
        return;
    if (icons_.size() >= maxIcons) {
        host_.logHost(platform::LogLevel::error,
                      "too many system tray icons: a program's icon is not shown");
        return;
    }
    // Its end, its mapping and its XEmbed flags are followed; a window already gone is not.
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    if (auto* error = xcb_request_check(
            c_, xcb_change_window_attributes_checked(c_, window, XCB_CW_EVENT_MASK, &mask))) {
        std::free(error);
        return;
    }
    const std::uint32_t strip = stripWindow();
    if (!strip)
        return;
    Icon& icon = icons_[window];
    icon.window = window;
    icon.number = nextNumber_++;
    readEmbedInfo(icon);
    // Who it belongs to: its process and its class (else its title).
    const std::string pid = propertyBytes(c_, window, atoms_.netWmPid, XCB_ATOM_CARDINAL, 1);
    if (pid.size() == 4) {
        std::uint32_t value = 0;
        std::memcpy(&value, pid.data(), 4);
        if (value > 0 && value < 0x7fffffff)
            icon.pid = static_cast<std::int32_t>(value);
    }
    const std::string wmClass = propertyBytes(c_, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 64);
    std::string className;
    if (auto nul = wmClass.find('\0'); nul != std::string::npos)
        className = wmClass.substr(nul + 1, wmClass.find('\0', nul + 1) - nul - 1);
    std::string title = propertyBytes(c_, window, atoms_.netWmName, atoms_.utf8, 64);
    if (title.empty())
        title = propertyBytes(c_, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 64);
    icon.owner = !className.empty() ? className : !title.empty() ? title : "Tray icon";
    icon.owner = icon.owner.substr(0, 128);

    // A container of the screen's own depth in the strip holds it; the strip takes the
    // pointer over it (an empty input region), so clicks and Ctrl-drags reach the strip,
    // which hands clicks on to the icon.
    const int size = iconPixels();
    icon.container = xcb_generate_id(c_);
    const std::uint32_t values[] = {backgroundPixel(), 0, colormap_};
    xcb_create_window(c_, rootDepth_, icon.container, strip, 0, 0, static_cast<std::uint16_t>(size),
                      static_cast<std::uint16_t>(size), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      rootVisual_, XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_COLORMAP,
                      values);
    if (shapeAvailable_)
        xcb_shape_rectangles(c_, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED,
                             icon.container, 0, 0, 0, nullptr);
    // Should this program end first, the icon goes back to the root window, not with it.
    xcb_change_save_set(c_, XCB_SET_MODE_INSERT, window);
    icon.reparentSequence =
        static_cast<std::uint16_t>(xcb_reparent_window(c_, window, icon.container, 0, 0).sequence);
    icon.reparentPending = true;
    const std::uint32_t geometry[] = {0, 0, static_cast<std::uint32_t>(size),
                                      static_cast<std::uint32_t>(size)};
    xcb_configure_window(c_, window,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                             XCB_CONFIG_WINDOW_HEIGHT,
                         geometry);
    xcb_client_message_event_t notify{};
    notify.response_type = XCB_CLIENT_MESSAGE;
    notify.format = 32;
    notify.window = window;
    notify.type = atoms_.xembed;
    notify.data.data32[0] = lastTime_;
    notify.data.data32[1] = embeddedNotify;
    notify.data.data32[3] = icon.container;
    notify.data.data32[4] = 0;
    xcb_send_event(c_, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&notify));
    // It shows once its window is mapped (now, when its flags ask for it).
    applyEmbedInfo(icon);
    xcb_flush(c_);
}

void XEmbedTray::readEmbedInfo(Icon& icon) {
    // Version and flags; without the property the icon is taken as wanting to be shown.
    const std::string info =
        propertyBytes(c_, icon.window, atoms_.xembedInfo, XCB_GET_PROPERTY_TYPE_ANY, 2);
    if (info.size() >= 8) {
        std::uint32_t flags = 0;
        std::memcpy(&flags, info.data() + 4, 4);
        icon.wantsMapped = (flags & xembedMapped) != 0;
    } else {
        icon.wantsMapped = true;
    }
}

void XEmbedTray::applyEmbedInfo(Icon& icon) {
    if (icon.wantsMapped)
        xcb_map_window(c_, icon.window);
    else
        xcb_unmap_window(c_, icon.window);
}

void XEmbedTray::undock(std::uint32_t window, bool giveBack) {
    auto it = icons_.find(window);
    if (it == icons_.end())
        return;
    Icon& icon = it->second;
    hide(icon);
    trayicons::remove(icon.number);
    if (giveBack) {
        // Back to the root window, unmapped, for the next tray to take.
        xcb_unmap_window(c_, window);
        xcb_reparent_window(c_, window, root_, 0, 0);
        xcb_change_save_set(c_, XCB_SET_MODE_DELETE, window);
        const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
        xcb_change_window_attributes(c_, window, XCB_CW_EVENT_MASK, &none);
    }
    xcb_destroy_window(c_, icon.container);
    icons_.erase(it);
    xcb_flush(c_);
}

void XEmbedTray::show(Icon& icon) {
    if (icon.item)
        return;
    auto& bar = host_.desktopStatusBar();
    std::string base = "xembed." + cleanName(icon.owner);
    if (base == "xembed.")
        base += "icon";
    icon.autosaveName = autosaveNameFor(base);
    autosaveNames_.insert(icon.autosaveName);
    ForeignItemSpec spec;
    spec.kind = ForeignItemSpec::Kind::tray;
    spec.ownerName = icon.owner;
    spec.ownerPID = icon.pid;
    spec.autosaveName = icon.autosaveName;
    spec.width = TrayHost::itemWidth;
    spec.image = icon.image;
    // Where the user put it last, else just on the edge's side of the dot.
    auto position = bar.foreignPosition(icon.autosaveName);
    if (!position)
        if (auto kept = host_.userDefaults().object(TrayHost::positionKey(icon.autosaveName)))
            position = kept->asNumber();
    spec.preferredPosition = position ? *position : newItemPosition();
    const std::uint32_t window = icon.window;
    spec.onClick = [this, window](ForeignClick c, QPoint) { click(window, c); };
    spec.onScroll = [this, window](int delta, Qt::Orientation o) { scroll(window, delta, o); };
    auto item = bar.addForeignItem(spec);
    // Adding laid the strip out while the item was not known here yet.
    auto again = icons_.find(window);
    if (again == icons_.end())
        return;
    again->second.item = std::move(item);
    updateApplication(again->second);
    place();
    if (onIconShown)
        onIconShown();
}

void XEmbedTray::hide(Icon& icon) {
    if (icon.containerMapped) {
        xcb_unmap_window(c_, icon.container);
        icon.containerMapped = false;
    }
    if (icon.item) {
        autosaveNames_.erase(icon.autosaveName);
        auto item = std::move(icon.item);
        icon.item.reset();
        host_.desktopStatusBar().removeForeignItem(item);
    }
    apps_.release(icon.appPID);
}

void XEmbedTray::place() {
    if (!c_ || icons_.empty())
        return;
    auto& bar = host_.desktopStatusBar();
    auto* strip = bar.strip();
    if (!strip)
        return;
    const double ratio = strip->devicePixelRatioF();
    const int size = iconPixels();
    bool changed = false;
    for (auto& [_, icon] : icons_) {
        if (!icon.item)
            continue;
        auto window = bar.windowOf(icon.item);
        const QRect r = window ? strip->localRect(window->frame()) : QRect();
        const int logical = static_cast<int>(std::lround(size / ratio));
        const QRect square(r.x() + (r.width() - logical) / 2, r.y() + (r.height() - logical) / 2,
                           logical, logical);
        const bool onScreen = window && window->isVisible() && strip->rect().contains(square);
        if (onScreen) {
            const std::uint32_t xy[] = {
                static_cast<std::uint32_t>(std::lround(square.x() * ratio)),
                static_cast<std::uint32_t>(std::lround(square.y() * ratio))};
            xcb_configure_window(c_, icon.container, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, xy);
            if (!icon.containerMapped) {
                xcb_map_window(c_, icon.container);
                icon.containerMapped = true;
            }
            changed = true;
        } else if (icon.containerMapped) {
            // What it looked like last stands for it in the panel.
            snapshot(icon);
            xcb_unmap_window(c_, icon.container);
            icon.containerMapped = false;
            changed = true;
        }
    }
    if (changed)
        xcb_flush(c_);
}

void XEmbedTray::snapshot(Icon& icon) {
    if (!icon.mapped)
        return;
    const int size = iconPixels();
    auto reply = owned(xcb_get_image_reply(
        c_,
        xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, icon.container, 0, 0,
                      static_cast<std::uint16_t>(size), static_cast<std::uint16_t>(size), ~0u),
        nullptr));
    // Only the common 24-bit true-colour layout, 32 bits a pixel.
    if (!reply || reply->depth != 24 || xcb_get_image_data_length(reply.reply) != size * size * 4)
        return;
    QImage image(xcb_get_image_data(reply.reply), size, size, size * 4, QImage::Format_RGB32);
    image = image.copy();
    if (image == icon.image)
        return;
    icon.image = image;
    ++icon.imageVersion;
    trayicons::set(icon.number, image);
    if (icon.item)
        host_.desktopStatusBar().updateForeignItem(icon.item,
                                                   [&](ForeignItemSpec& s) { s.image = image; });
    updateApplication(icon);
}

void XEmbedTray::click(std::uint32_t window, ForeignClick click) {
    auto it = icons_.find(window);
    if (it == icons_.end())
        return;
    const std::uint8_t button = click == ForeignClick::primary     ? 1
                                : click == ForeignClick::secondary ? 3
                                                                   : 2;
    sendButton(it->second, button);
}

void XEmbedTray::scroll(std::uint32_t window, int delta, Qt::Orientation orientation) {
    auto it = icons_.find(window);
    if (it == icons_.end() || delta == 0)
        return;
    // Buttons 4 and 5 turn the wheel up and down, 6 and 7 left and right; one a step.
    const bool vertical = orientation == Qt::Vertical;
    const std::uint8_t button = vertical ? (delta > 0 ? 4 : 5) : (delta > 0 ? 6 : 7);
    const int steps = std::clamp(std::abs(delta) / 120, 1, 10);
    for (int i = 0; i < steps; ++i)
        sendButton(it->second, button);
}

void XEmbedTray::sendButton(const Icon& icon, std::uint8_t button) {
    // A press and a release in the middle of the icon, as the X server would send them.
    const int size = iconPixels();
    std::int16_t rootX = 0, rootY = 0;
    auto where = owned(xcb_translate_coordinates_reply(
        c_,
        xcb_translate_coordinates(c_, icon.window, root_, static_cast<std::int16_t>(size / 2),
                                  static_cast<std::int16_t>(size / 2)),
        nullptr));
    if (where) {
        rootX = where->dst_x;
        rootY = where->dst_y;
    }
    for (const std::uint8_t type : {XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE}) {
        xcb_button_press_event_t e{};
        e.response_type = type;
        e.detail = button;
        e.time = lastTime_;
        e.root = root_;
        e.event = icon.window;
        e.child = XCB_WINDOW_NONE;
        e.root_x = rootX;
        e.root_y = rootY;
        e.event_x = static_cast<std::int16_t>(size / 2);
        e.event_y = static_cast<std::int16_t>(size / 2);
        e.state = type == XCB_BUTTON_RELEASE
                      ? static_cast<std::uint16_t>(XCB_BUTTON_MASK_1 << (button - 1))
                      : 0;
        e.same_screen = 1;
        // To the program that made the window, whichever input extension it listens to.
        xcb_send_event(c_, 0, icon.window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&e));
    }
    xcb_flush(c_);
}

void XEmbedTray::updateApplication(Icon& icon) {
    if (!icon.item)
        return;
    auto app = apps_.hold(icon.appPID, icon.pid, icon.owner);
    if (!app)
        return;
    // The version makes the panel fetch the image again when the picture changed.
    const std::string resource =
        "tray:" + std::to_string(icon.number) + "/" + std::to_string(icon.imageVersion);
    app->setIcon(icon.image.isNull() ? std::optional<platform::Image>()
                                     : std::optional<platform::Image>(
                                           platform::Image{"", resource, icon.owner, {}, false}));
}

std::string XEmbedTray::autosaveNameFor(const std::string& base) const {
    return distinctAutosaveName(base, autosaveNames_);
}

double XEmbedTray::newItemPosition() const {
    return positionBesideDot(host_.userDefaults());
}

int XEmbedTray::iconPixels() const {
    double ratio = 1;
    if (auto* strip = host_.desktopStatusBar().strip())
        ratio = strip->devicePixelRatioF();
    return static_cast<int>(std::ceil((DesktopStatusBar::stripHeight - 2) * ratio));
}

std::uint32_t XEmbedTray::stripWindow() const {
    auto* strip = host_.desktopStatusBar().strip();
    return strip ? static_cast<std::uint32_t>(strip->winId()) : 0;
}

std::uint32_t XEmbedTray::backgroundPixel() const {
    const QColor c = host_.appearance().strip().background;
    // The strip's colour over black, as the screen shows its translucent fill.
    const double a = c.alphaF();
    return (static_cast<std::uint32_t>(c.red() * a) << 16) |
           (static_cast<std::uint32_t>(c.green() * a) << 8) |
           static_cast<std::uint32_t>(c.blue() * a);
}

std::vector<XEmbedTray::IconInfo> XEmbedTray::icons() const {
    std::vector<IconInfo> out;
    for (const auto& [window, icon] : icons_)
        out.push_back({window, icon.autosaveName, icon.pid, icon.item != nullptr,
                       icon.containerMapped, icon.imageVersion});
    return out;
}

bool XEmbedTray::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t" || !message || !c_)
        return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    switch (event->response_type & 0x7f) {
    case XCB_GE_GENERIC: {
        auto* ge = reinterpret_cast<xcb_ge_generic_event_t*>(event);
        if (inputOpcode_ && ge->extension == inputOpcode_ &&
            ge->event_type >= XCB_INPUT_KEY_PRESS && ge->event_type <= XCB_INPUT_MOTION)
            lastTime_ = reinterpret_cast<xcb_input_button_press_event_t*>(event)->time;
        return false;
    }
    case XCB_BUTTON_PRESS:
    case XCB_BUTTON_RELEASE:
    case XCB_MOTION_NOTIFY:
    case XCB_KEY_PRESS:
    case XCB_KEY_RELEASE: {
        // Keeps the time of the user's last action for the clicks handed on.
        lastTime_ = reinterpret_cast<xcb_button_press_event_t*>(event)->time;
        return false;
    }
    case XCB_PROPERTY_NOTIFY: {
        auto* e = reinterpret_cast<xcb_property_notify_event_t*>(event);
        lastTime_ = e->time;
        if (managerWindow_ && e->window == managerWindow_ && e->atom == atoms_.probe) {
            if (state_ == State::acquiring)
                acquire(e->time);
            return true;
        }
        if (e->atom == atoms_.xembedInfo)
            if (auto it = icons_.find(e->window); it != icons_.end()) {
                readEmbedInfo(it->second);
                applyEmbedInfo(it->second);
                xcb_flush(c_);
            }
        return false;
    }
    case XCB_SELECTION_CLEAR: {
        auto* e = reinterpret_cast<xcb_selection_clear_event_t*>(event);
        if (managerWindow_ && e->owner == managerWindow_ && e->selection == atoms_.selection) {
            if (state_ == State::manager)
                lose();
            return true;
        }
        return false;
    }
    case XCB_CLIENT_MESSAGE: {
        auto* e = reinterpret_cast<xcb_client_message_event_t*>(event);
        if (!managerWindow_ || e->window != managerWindow_ || e->type != atoms_.opcode ||
            e->format != 32)
            return false;
        // Balloon messages (BEGIN_MESSAGE, CANCEL_MESSAGE) are not shown.
        if (e->data.data32[1] == requestDock)
            dock(e->data.data32[2]);
        return true;
    }
    case XCB_DESTROY_NOTIFY: {
        auto* e = reinterpret_cast<xcb_destroy_notify_event_t*>(event);
        if (otherOwner_ && e->window == otherOwner_) {
            // The other tray ended: this one takes its place.
            otherOwner_ = 0;
            if (state_ == State::waiting)
                tryAcquire();
            return false;
        }
        if (e->window == e->event && icons_.count(e->window))
            undock(e->window, false);
        return false;
    }
    case XCB_UNMAP_NOTIFY: {
        auto* e = reinterpret_cast<xcb_unmap_notify_event_t*>(event);
        auto it = icons_.find(e->window);
        if (it == icons_.end() || e->event != e->window)
            return false;
        Icon& icon = it->second;
        // Reparenting a mapped window unmaps it for a moment: that is not the program's doing.
        if (icon.reparentPending && e->sequence == icon.reparentSequence)
            return false;
        icon.mapped = false;
        hide(icon);
        xcb_flush(c_);
        return false;
    }
    case XCB_MAP_NOTIFY: {
        auto* e = reinterpret_cast<xcb_map_notify_event_t*>(event);
        auto it = icons_.find(e->window);
        if (it == icons_.end() || e->event != e->window)
            return false;
        it->second.mapped = true;
        show(it->second);
        return false;
    }
    case XCB_REPARENT_NOTIFY: {
        auto* e = reinterpret_cast<xcb_reparent_notify_event_t*>(event);
        auto it = icons_.find(e->window);
        if (it == icons_.end() || e->event != e->window)
            return false;
        if (e->parent == it->second.container) {
            it->second.reparentPending = false;
            return false;
        }
        // The program took its window elsewhere (to another tray): it is no longer here.
        undock(e->window, false);
        return false;
    }
    default:
        return false;
    }
}

} // namespace desktop
