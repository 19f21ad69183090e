#include "Platform/Desktop/Windows/XInputClickSource.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>
#include <cstdlib>
#include <vector>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

namespace desktop {

XInputClickSource::XInputClickSource() = default;

XInputClickSource::~XInputClickSource() {
    stop();
}

bool XInputClickSource::start(Handler handler) {
    if (connection_)
        return true;
    // Only where Qt itself speaks X11 are the coordinates the same as our windows'.
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (!c || xcb_connection_has_error(c)) {
        if (c)
            xcb_disconnect(c);
        return false;
    }
    auto fail = [c] {
        xcb_disconnect(c);
        return false;
    };
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_input_id);
    if (!ext || !ext->present)
        return fail();
    auto* version =
        xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr);
    const bool recent = version && (version->major_version > 2 ||
                                    (version->major_version == 2 && version->minor_version >= 1));
    std::free(version);
    if (!recent)
        return fail();

    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem)
        return fail();
    const xcb_window_t root = it.data->root;

    // Raw presses of every master pointer, delivered to the root whoever holds a grab.
    struct {
        xcb_input_event_mask_t head;
        std::uint32_t mask;
    } selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS};
    auto cookie = xcb_input_xi_select_events_checked(c, root, 1, &selection.head);
    if (auto* error = xcb_request_check(c, cookie)) {
        std::free(error);
        return fail();
    }

    connection_ = c;
    root_ = root;
    opcode_ = ext->major_opcode;
    handler_ = std::move(handler);
    notifier_ =
        std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { drain(); });
    // Events may already sit in the connection's queue.
    drain();
    return true;
}

void XInputClickSource::stop() {
    if (notifier_) {
        // Possibly inside the notifier's own signal: let Qt delete it afterwards.
        notifier_->setEnabled(false);
        notifier_.release()->deleteLater();
    }
    if (connection_) {
        xcb_disconnect(connection_);
        connection_ = nullptr;
    }
    handler_ = nullptr;
}

void XInputClickSource::drain() {
    // Replies read on the way may queue more events: read until nothing is left.
    while (connection_) {
        if (xcb_connection_has_error(connection_)) {
            // The display went away: nothing more will come.
            stop();
            return;
        }
        std::vector<unsigned> buttons;
        bool any = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            any = true;
            if ((event->response_type & 0x7f) == XCB_GE_GENERIC) {
                auto* ge = reinterpret_cast<xcb_ge_generic_event_t*>(event);
                if (ge->extension == opcode_ && ge->event_type == XCB_INPUT_RAW_BUTTON_PRESS)
                    buttons.push_back(
                        reinterpret_cast<xcb_input_raw_button_press_event_t*>(event)->detail);
            }
            std::free(event);
        }
        if (!any)
            return;
        if (buttons.empty() || !handler_)
            continue;
        // Raw events carry no position: ask where the pointer is now.
        auto* pointer =
            xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr);
        if (!pointer)
            continue;
        QPoint at(pointer->root_x, pointer->root_y);
        std::free(pointer);
        // Qt's global coordinates are in device-independent pixels.
        if (auto* screen = QGuiApplication::primaryScreen();
            screen && screen->devicePixelRatio() > 0)
            at = QPoint(static_cast<int>(at.x() / screen->devicePixelRatio()),
                        static_cast<int>(at.y() / screen->devicePixelRatio()));
        // The handler may stop this source: keep it for the loop.
        auto handler = handler_;
        for (unsigned button : buttons)
            if (auto type = mouseDownType(button))
                handler(*type, at);
    }
}

} // namespace desktop
