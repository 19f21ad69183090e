// The hidden-items panel's window: a borderless, non-activating, floating panel at the
// status-window level, dark, with a shadow; it can become key but never main.
#pragma once

#include "Platform/Window.h"

namespace quillet {

struct QuilletBarPanel {
    static platform::WindowAttributes attributes();
};

} // namespace quillet
