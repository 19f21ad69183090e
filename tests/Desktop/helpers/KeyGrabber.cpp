// Holds a global key as another program would: grabs "ctrl+alt+<letter>" on the root window of
// $DISPLAY (every lock variant), says "grabbed" on stdout, and keeps it until killed.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <xcb/xcb.h>

int main(int argc, char** argv) {
    if (argc != 2 || std::strncmp(argv[1], "ctrl+alt+", 9) != 0 || std::strlen(argv[1]) != 10) {
        std::fputs("usage: key-grabber ctrl+alt+<letter>\n", stderr);
        return 2;
    }
    const auto keysym =
        static_cast<xcb_keysym_t>(std::tolower(static_cast<unsigned char>(argv[1][9])));
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fputs("key-grabber: no display\n", stderr);
        return 1;
    }
    const xcb_setup_t* setup = xcb_get_setup(c);
    const xcb_window_t root = xcb_setup_roots_iterator(setup).data->root;
    auto cookie = xcb_get_keyboard_mapping(
        c, setup->min_keycode,
        static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1));
    auto* reply = xcb_get_keyboard_mapping_reply(c, cookie, nullptr);
    if (!reply)
        return 1;
    const auto* syms = xcb_get_keyboard_mapping_keysyms(reply);
    const int length = xcb_get_keyboard_mapping_keysyms_length(reply);
    xcb_keycode_t keycode = 0;
    for (int i = 0; i < length && !keycode; ++i)
        if (syms[i] == keysym)
            keycode =
                static_cast<xcb_keycode_t>(setup->min_keycode + i / reply->keysyms_per_keycode);
    std::free(reply);
    if (!keycode)
        return 1;
    const std::uint16_t mods = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;
    const int locks[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};
    for (int lock : locks) {
        auto grab = xcb_grab_key_checked(c, 1, root, static_cast<std::uint16_t>(mods | lock),
                                         keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        if (auto* error = xcb_request_check(c, grab)) {
            std::free(error);
            std::fputs("key-grabber: the key is held already\n", stderr);
            return 1;
        }
    }
    xcb_flush(c);
    std::puts("grabbed");
    std::fflush(stdout);
    // Events are read and dropped so the connection stays alive.
    while (auto* event = xcb_wait_for_event(c))
        std::free(event);
    return 0;
}
