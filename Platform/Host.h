// The installed host: the process-wide set of facilities, as the operating system is.
// main() installs the desktop host; each test installs a fresh simulated one. Main thread only,
// except where a facility says otherwise.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace platform {

class RunLoop;
class Application;
class NotificationCenter;
class StatusBar;
class Screens;
class Symbols;
class Workspace;
class Alerts;
class UserDefaults;
class LogSink;
class Keychain;
class LibraryRuntime;
class HttpSession;
class WindowList;
class EventMonitors;
class LoginItemService;
class UpdaterFramework;
class Browser;
class WebAuthenticationSessions;
class Window;
class AppleIDAuthorization;
class CacheFiles;
struct WindowAttributes;
struct Bundle;
struct ProcessInfo;

// How the host's own interface names things in the texts the application shows.
struct HostVocabulary {
    // The modifier key held while dragging status items to move them ("⌘" on a Mac).
    std::string dragModifier;
    // What the user calls the machine ("Mac").
    std::string computerNoun;
};

class Host {
public:
    virtual ~Host() = default;

    virtual RunLoop& runLoop() = 0;
    virtual Application& application() = 0;
    virtual NotificationCenter& notificationCenter() = 0;
    virtual StatusBar& statusBar() = 0;
    virtual Screens& screens() = 0;
    virtual Symbols& symbols() = 0;
    virtual Workspace& workspace() = 0;
    virtual Alerts& alerts() = 0;
    virtual UserDefaults& userDefaults() = 0;
    virtual const Bundle& mainBundle() const = 0;
    virtual const ProcessInfo& processInfo() const = 0;
    virtual LogSink& log() = 0;
    // The Keychain. Hosts without one abort with a message when it is used.
    virtual Keychain& keychain();
    // The account library's runtime (executor and timers) and URL session. Hosts without them
    // abort with a message when they are used.
    virtual LibraryRuntime& libraryRuntime();
    virtual HttpSession& httpSession();
    // The window list, event monitors, the login item and the update framework. Hosts without
    // them abort with a message when they are used.
    virtual WindowList& windowList();
    virtual EventMonitors& eventMonitors();
    virtual LoginItemService& loginItemService();
    virtual UpdaterFramework& updaterFramework();
    // The default browser and the web authentication sessions. Hosts without them abort with a
    // message when they are used.
    virtual Browser& browser();
    virtual WebAuthenticationSessions& webAuthenticationSessions();
    // The Apple ID sheet; hosts without one report it unavailable.
    virtual AppleIDAuthorization& appleIDAuthorization();
    // The application's cache files; none (the default) when the host keeps nothing between
    // launches.
    virtual CacheFiles* cacheFiles() { return nullptr; }
    // A new window (or panel) of the application with these attributes, not yet shown.
    virtual std::shared_ptr<Window> makeWindow(const WindowAttributes& attributes, bool panel);
    // Wall-clock time (virtual in the simulated host).
    virtual std::chrono::system_clock::time_point now() const = 0;
    // The names the host's interface uses for its drag modifier and for the computer.
    virtual HostVocabulary vocabulary() const = 0;
};

// The installed host. Using it with none installed is a programming error (aborts).
Host& host();
bool hasHost();
// Installs `h` (not owned) as the process-wide host; nullptr uninstalls.
void installHost(Host* h);

// Wall-clock time through the host.
std::chrono::system_clock::time_point now();

} // namespace platform
