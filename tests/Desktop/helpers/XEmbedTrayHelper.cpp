// Programs of the legacy (XEmbed) system tray for the tray tests, one per mode, each printing
// what happens to it on stdout, one line each, and ending on "quit" (or the end of stdin):
//   --qt-icon       a QSystemTrayIcon, which Qt docks in the X11 tray when no watcher is on its
//                   bus; prints "activated <reason>"; "hide" and "show" on stdin hide and show it.
//   --take-tray     a tray of its own: takes _NET_SYSTEM_TRAY_S<n> from whoever holds it,
//                   announces itself and prints "owner" and "dock <window>" for each request.
//   --dock N [ID…]  N icon windows of its own (and one window id that does not exist, and the
//                   windows ID…, made by others) asking the current tray to dock them; prints
//                   "docked N" and "button <button> <window>" for each button pressed on them;
//                   "unmap" and "map" on stdin clear and set their XEmbed mapped flag.
#include <QApplication>
#include <QPixmap>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

namespace {

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int qtIcon(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("xembed-helper"));
    QApplication::setQuitOnLastWindowClosed(false);
    QPixmap pixmap(32, 32);
    pixmap.fill(QColor(0x2a, 0x9d, 0x8f));
    QSystemTrayIcon tray{QIcon(pixmap)};
    tray.setToolTip(QStringLiteral("XEmbed icon"));
    QObject::connect(&tray, &QSystemTrayIcon::activated, [](QSystemTrayIcon::ActivationReason r) {
        say("activated " + std::to_string(int(r)));
    });
    tray.show();
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line == "quit")
                QCoreApplication::quit();
            else if (line == "hide")
                tray.hide();
            else if (line == "show")
                tray.show();
        }
    });
    say("started");
    return app.exec();
}

xcb_atom_t atom(xcb_connection_t* c, const std::string& name) {
    auto* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr);
    const xcb_atom_t a = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return a;
}

// Waits for stdin to say "quit" or end, handing X events to `handle` and other lines of stdin
// to `command` meanwhile.
template <typename Handle, typename Command>
void serve(xcb_connection_t* c, Handle handle, Command command) {
    std::string pending;
    for (;;) {
        while (auto* event = xcb_poll_for_event(c)) {
            handle(event);
            std::free(event);
        }
        if (xcb_connection_has_error(c))
            return;
        pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            return;
        if (fds[1].revents) {
            char buffer[256];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0)
                return;
            pending.append(buffer, static_cast<std::size_t>(n));
            for (auto end = pending.find('\n'); end != std::string::npos;
                 end = pending.find('\n')) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (line == "quit")
                    return;
                command(line);
            }
        }
    }
}

int takeTray() {
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c))
        return 2;
    auto roots = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i)
        xcb_screen_next(&roots);
    const xcb_window_t root = roots.data->root;
    const xcb_atom_t selection = atom(c, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
    const xcb_atom_t opcode = atom(c, "_NET_SYSTEM_TRAY_OPCODE");
    const xcb_atom_t manager = atom(c, "MANAGER");
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, root, -1, -1, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    // A server time from a property change, as a tray should take its selection with.
    xcb_change_property(c, XCB_PROP_MODE_APPEND, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 0,
                        nullptr);
    xcb_flush(c);
    xcb_timestamp_t time = XCB_CURRENT_TIME;
    while (auto* event = xcb_wait_for_event(c)) {
        const bool property = (event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY;
        if (property)
            time = reinterpret_cast<xcb_property_notify_event_t*>(event)->time;
        std::free(event);
        if (property)
            break;
    }
    xcb_set_selection_owner(c, window, selection, time);
    auto* owner = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
    const bool mine = owner && owner->owner == window;
    std::free(owner);
    if (!mine)
        return 3;
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = root;
    message.type = manager;
    message.data.data32[0] = time;
    message.data.data32[1] = selection;
    message.data.data32[2] = window;
    xcb_send_event(c, 0, root, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(c);
    say("owner");
    serve(
        c,
        [&](xcb_generic_event_t* event) {
            if (std::getenv("XEMBED_HELPER_TRACE"))
                say("event " + std::to_string(event->response_type));
            if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
                return;
            auto* m = reinterpret_cast<xcb_client_message_event_t*>(event);
            if (m->type == opcode && m->data.data32[1] == 0)
                say("dock " + std::to_string(m->data.data32[2]));
        },
        [](const std::string&) {});
    xcb_disconnect(c);
    return 0;
}

int dockMany(int count, const std::vector<xcb_window_t>& others) {
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c))
        return 2;
    auto roots = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i)
        xcb_screen_next(&roots);
    const xcb_screen_t* screen = roots.data;
    const xcb_atom_t selection = atom(c, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
    const xcb_atom_t opcode = atom(c, "_NET_SYSTEM_TRAY_OPCODE");
    const xcb_atom_t info = atom(c, "_XEMBED_INFO");
    auto* owner = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
    const xcb_window_t tray = owner ? owner->owner : xcb_window_t{XCB_WINDOW_NONE};
    std::free(owner);
    if (tray == XCB_WINDOW_NONE)
        return 3;
    std::vector<xcb_window_t> windows;
    for (int i = 0; i < count; ++i) {
        const xcb_window_t w = xcb_generate_id(c);
        const std::uint32_t values[] = {screen->white_pixel};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 0, 0, 16, 16, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL,
                          values);
        const std::uint32_t embedInfo[] = {0, 1};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, info, info, 32, 2, embedInfo);
        static const char wmClass[] = "flood\0Flood";
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            sizeof wmClass, wmClass);
        windows.push_back(w);
    }
    // First the windows not its own, last one that does not exist.
    std::vector<xcb_window_t> requests = others;
    requests.insert(requests.end(), windows.begin(), windows.end());
    requests.push_back(xcb_generate_id(c));
    for (auto w : requests) {
        xcb_client_message_event_t m{};
        m.response_type = XCB_CLIENT_MESSAGE;
        m.format = 32;
        m.window = tray;
        m.type = opcode;
        m.data.data32[0] = XCB_CURRENT_TIME;
        m.data.data32[1] = 0;
        m.data.data32[2] = w;
        xcb_send_event(c, 0, tray, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&m));
    }
    xcb_flush(c);
    say("docked " + std::to_string(count));
    serve(
        c,
        [](xcb_generic_event_t* event) {
            if ((event->response_type & 0x7f) != XCB_BUTTON_PRESS)
                return;
            auto* press = reinterpret_cast<xcb_button_press_event_t*>(event);
            say("button " + std::to_string(press->detail) + " " + std::to_string(press->event));
        },
        [&](const std::string& line) {
            if (line != "map" && line != "unmap")
                return;
            const std::uint32_t embedInfo[] = {0, line == "map" ? 1u : 0u};
            for (int i = 0; i < count; ++i)
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, windows[static_cast<std::size_t>(i)],
                                    info, info, 32, 2, embedInfo);
            xcb_flush(c);
        });
    xcb_disconnect(c);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--qt-icon")
        return qtIcon(argc, argv);
    if (mode == "--take-tray")
        return takeTray();
    if (mode == "--dock" && argc > 2) {
        std::vector<xcb_window_t> others;
        for (int i = 3; i < argc; ++i)
            others.push_back(static_cast<xcb_window_t>(std::strtoul(argv[i], nullptr, 0)));
        return dockMany(std::atoi(argv[2]), others);
    }
    std::fprintf(stderr,
                 "usage: xembed-tray-helper --qt-icon | --take-tray | --dock N [WINDOW...]\n");
    return 2;
}
