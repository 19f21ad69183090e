#include "Platform/Window.h"

#include "Platform/Host.h"
#include "Platform/NotificationCenter.h"

namespace platform {

void Window::close() {
    host().notificationCenter().post(windowWillCloseNotification, this);
    orderOut();
}

} // namespace platform
