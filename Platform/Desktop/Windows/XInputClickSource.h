// Sees mouse-downs anywhere on an X11 display: XInput2 raw button presses selected on the root
// window, read from a connection of its own that exists only while the source runs, with the
// pointer's position queried at each press. Main thread only.
#pragma once

#include "Platform/Desktop/Windows/DesktopEventMonitors.h"

#include <memory>

class QSocketNotifier;
struct xcb_connection_t;

namespace desktop {

class XInputClickSource final : public GlobalClickSource {
public:
    XInputClickSource();
    ~XInputClickSource() override;

    // False without an X11 display (Wayland, offscreen) or without XInput 2.1 or later, which
    // is the version that delivers raw events while another client grabs the pointer.
    bool start(Handler handler) override;
    void stop() override;
    bool isRunning() const override { return connection_ != nullptr; }

private:
    void drain();

    Handler handler_;
    xcb_connection_t* connection_ = nullptr;
    std::uint32_t root_ = 0;
    std::uint8_t opcode_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace desktop
