#include "Platform/Host.h"

#include "Platform/AppleIDAuthorization.h"

#include "Platform/Log.h"
#include "Platform/MainExecutor.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {
std::atomic<Host*> installed{nullptr};
}

Host& host() {
    Host* h = installed.load(std::memory_order_acquire);
    if (!h) {
        std::fputs("platform::host(): no host installed\n", stderr);
        std::abort();
    }
    return *h;
}

bool hasHost() {
    return installed.load(std::memory_order_acquire) != nullptr;
}

void installHost(Host* h) {
    installed.store(h, std::memory_order_release);
}

Keychain& Host::keychain() {
    std::fputs("platform::Host::keychain(): this host provides no Keychain\n", stderr);
    std::abort();
}

LibraryRuntime& Host::libraryRuntime() {
    std::fputs("platform::Host::libraryRuntime(): this host provides no library runtime\n", stderr);
    std::abort();
}

HttpSession& Host::httpSession() {
    std::fputs("platform::Host::httpSession(): this host provides no URL session\n", stderr);
    std::abort();
}

namespace {
[[noreturn]] void missingFacility(const char* what) {
    std::fprintf(stderr, "platform::Host: this host provides no %s\n", what);
    std::abort();
}
} // namespace

WindowList& Host::windowList() {
    missingFacility("window list");
}

EventMonitors& Host::eventMonitors() {
    missingFacility("event monitors");
}

LoginItemService& Host::loginItemService() {
    missingFacility("login-item service");
}

UpdaterFramework& Host::updaterFramework() {
    missingFacility("update framework");
}

Browser& Host::browser() {
    missingFacility("browser");
}

WebAuthenticationSessions& Host::webAuthenticationSessions() {
    missingFacility("web authentication sessions");
}

AppleIDAuthorization& Host::appleIDAuthorization() {
    static UnavailableAppleIDAuthorization unavailable;
    return unavailable;
}

std::shared_ptr<Window> Host::makeWindow(const WindowAttributes&, bool) {
    missingFacility("windows");
}

std::chrono::system_clock::time_point now() {
    return host().now();
}

MainExecutor mainExecutor() {
    return MainExecutor(host().runLoop());
}

void Logger::log(LogLevel level, const std::string& message) const {
    auto& sink = host().log();
    if (!sink.isEnabled(level))
        return;
    sink.write(LogEntry{subsystem_, category_, level, message});
}

bool Logger::isEnabled(LogLevel level) const {
    return host().log().isEnabled(level);
}

} // namespace platform
