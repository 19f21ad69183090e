// The simulated Mac: every facility of the host layer on virtual time, deterministic and
// in-process. Each test installs a fresh one; relaunch() ends the simulated process and starts
// it again, keeping what outlives a process (user defaults, other applications).
#pragma once

#include "Platform/Alert.h"
#include "Platform/Application.h"
#include "Platform/Bundle.h"
#include "Platform/EventMonitors.h"
#include "Platform/Host.h"
#include "Platform/Log.h"
#include "Platform/Menu.h"
#include "Platform/NotificationCenter.h"
#include "Platform/Screens.h"
#include "Platform/Sim/SimAppleIDAuthorization.h"
#include "Platform/Sim/SimCacheFiles.h"
#include "Platform/Sim/SimFacilities.h"
#include "Platform/Sim/SimKeychain.h"
#include "Platform/Sim/SimRunLoop.h"
#include "Platform/Sim/SimStatusBar.h"
#include "Platform/Sim/SimWebAuthentication.h"
#include "Platform/Sim/SimWindow.h"
#include "Platform/Symbols.h"
#include "Platform/UserDefaults.h"
#include "Platform/Workspace.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace platform::sim {

class SimHost;
class SimLibraryRuntime;
class SimHttpSession;

class SimUserDefaults final : public UserDefaults {
public:
    std::optional<Value> object(const std::string& key) const override;
    void set(const std::string& key, Value value) override;
    void removeObject(const std::string& key) override;
    std::map<std::string, Value> all() const;
    // Counts writes per key, so tests can tell "written again" from "left alone".
    int writeCount(const std::string& key) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, Value> values_;
    std::map<std::string, int> writes_;
};

class SimApplication final : public Application {
public:
    explicit SimApplication(SimHost& host) : host_(host) {}

    ActivationPolicy activationPolicy() const override { return policy_; }
    bool setActivationPolicy(ActivationPolicy policy) override;
    void activate(bool ignoringOtherApps) override;
    bool isActive() const override { return active_; }
    std::optional<Event> currentEvent() const override { return currentEvent_; }
    LayoutDirection userInterfaceLayoutDirection() const override { return direction_; }
    std::vector<std::shared_ptr<Window>> windows() const override;
    std::shared_ptr<Menu> mainMenu() const override { return mainMenu_; }
    void setMainMenu(std::shared_ptr<Menu> menu) override { mainMenu_ = std::move(menu); }
    void run(std::weak_ptr<ApplicationDelegate> delegate) override;
    void terminate() override { terminated_ = true; }
    void exit(int status) override { exitStatus_ = status; }

    // --- test side ---
    std::weak_ptr<ApplicationDelegate> delegate() const { return delegate_; }
    void setCurrentEvent(std::optional<Event> e) { currentEvent_ = std::move(e); }
    void setLayoutDirection(LayoutDirection d);
    // The user switches to another application; the next activate() announces itself again.
    void resignActive() { active_ = false; }
    void addWindow(std::shared_ptr<Window> w) { windows_.push_back(std::move(w)); }
    std::optional<int> exitStatus() const { return exitStatus_; }
    bool terminated() const { return terminated_; }
    int activationCount() const { return activations_; }
    // Every policy the application was set to, in order.
    const std::vector<ActivationPolicy>& policyHistory() const { return policyHistory_; }
    void reset();

private:
    SimHost& host_;
    ActivationPolicy policy_ = ActivationPolicy::regular;
    std::vector<ActivationPolicy> policyHistory_;
    bool active_ = false;
    int activations_ = 0;
    std::optional<Event> currentEvent_;
    LayoutDirection direction_ = LayoutDirection::leftToRight;
    std::vector<std::shared_ptr<Window>> windows_;
    std::shared_ptr<Menu> mainMenu_;
    std::weak_ptr<ApplicationDelegate> delegate_;
    std::optional<int> exitStatus_;
    bool terminated_ = false;
};

class SimScreens final : public Screens {
public:
    std::vector<Screen> screens() const override { return screens_; }
    std::optional<Screen> mainScreen() const override;
    void set(std::vector<Screen> s) { screens_ = std::move(s); }

private:
    std::vector<Screen> screens_;
};

class SimSymbols final : public Symbols {
public:
    SimSymbols();
    std::optional<Image> systemSymbol(const std::string& name,
                                      const std::string& accessibilityDescription) override;
    // Makes a symbol unknown, as on an older system.
    void remove(const std::string& name) { known_.erase(name); }

private:
    std::set<std::string> known_;
};

class SimRunningApplication final : public RunningApplication {
public:
    SimRunningApplication(std::int32_t pid, std::optional<std::string> bundleID,
                          std::optional<std::string> name)
        : pid_(pid), bundleID_(std::move(bundleID)), name_(std::move(name)) {}
    std::int32_t processIdentifier() const override { return pid_; }
    std::optional<std::string> bundleIdentifier() const override { return bundleID_; }
    std::optional<std::string> localizedName() const override { return name_; }
    bool activate() override {
        ++activations;
        return true;
    }
    int activations = 0;
    std::optional<Image> icon() const override { return iconImage; }
    std::optional<Image> iconImage;

private:
    std::int32_t pid_;
    std::optional<std::string> bundleID_;
    std::optional<std::string> name_;
};

class SimWorkspace final : public Workspace {
public:
    explicit SimWorkspace(SimHost& host) : host_(host) {}
    std::vector<std::shared_ptr<RunningApplication>>
    runningApplications(const std::string& bundleIdentifier) const override;
    std::shared_ptr<RunningApplication> currentApplication() const override { return current_; }
    std::shared_ptr<RunningApplication> runningApplication(std::int32_t pid) const override;
    void activateFileViewerSelecting(const std::vector<std::string>& paths) override {
        fileViewerSelections.push_back(paths);
    }

    // --- test side ---
    std::shared_ptr<SimRunningApplication> addApplication(std::int32_t pid,
                                                          std::optional<std::string> bundleID,
                                                          std::optional<std::string> name);
    void removeApplication(std::int32_t pid);
    void setCurrent(std::shared_ptr<SimRunningApplication> app);
    std::vector<std::vector<std::string>> fileViewerSelections;

private:
    SimHost& host_;
    std::vector<std::shared_ptr<SimRunningApplication>> apps_;
    std::shared_ptr<SimRunningApplication> current_;
};

class SimAlerts final : public Alerts {
public:
    int runModal(const AlertSpec& alert) override;
    // Answers the next alerts in order; without a scripted answer the first button is chosen.
    // A responder, when set, answers instead (and can look at the world while the alert is up).
    std::vector<int> scriptedAnswers;
    std::function<int(const AlertSpec&)> responder;
    std::vector<AlertSpec> shown;
};

class SimLog final : public LogSink {
public:
    bool isEnabled(LogLevel) const override { return true; }
    void write(const LogEntry& entry) override { lines.push_back(entry); }
    // Lines whose message contains `text`.
    std::vector<LogEntry> matching(const std::string& text) const;
    std::vector<LogEntry> lines;
};

enum class MouseButton { left, right };

class SimHost final : public Host {
public:
    // A Mac with one 1440 x 900 screen, a clock and a Control Center item, and this process
    // running as "com.corvane.quillet" from /Applications/Quillet.app. Installs itself.
    SimHost();
    ~SimHost() override;
    SimHost(const SimHost&) = delete;
    SimHost& operator=(const SimHost&) = delete;

    RunLoop& runLoop() override { return runLoop_; }
    Application& application() override { return application_; }
    NotificationCenter& notificationCenter() override { return notifications_; }
    StatusBar& statusBar() override { return statusBar_; }
    Screens& screens() override { return screens_; }
    Symbols& symbols() override { return symbols_; }
    Workspace& workspace() override { return workspace_; }
    Alerts& alerts() override { return alerts_; }
    UserDefaults& userDefaults() override { return defaults_; }
    const Bundle& mainBundle() const override { return bundle_; }
    const ProcessInfo& processInfo() const override { return processInfo_; }
    LogSink& log() override { return log_; }
    Keychain& keychain() override { return externalKeychain_ ? *externalKeychain_ : keychain_; }
    LibraryRuntime& libraryRuntime() override;
    HttpSession& httpSession() override;
    WindowList& windowList() override { return windowList_; }
    EventMonitors& eventMonitors() override { return *eventMonitors_; }
    LoginItemService& loginItemService() override { return loginItems_; }
    UpdaterFramework& updaterFramework() override { return updaterFramework_; }
    Browser& browser() override { return browser_; }
    WebAuthenticationSessions& webAuthenticationSessions() override { return webAuth_; }
    AppleIDAuthorization& appleIDAuthorization() override { return appleID_; }
    CacheFiles* cacheFiles() override { return &cacheFiles_; }
    std::shared_ptr<Window> makeWindow(const WindowAttributes& attributes, bool panel) override;
    std::chrono::system_clock::time_point now() const override;
    // A Mac's: "⌘" drags menu-bar items, the computer is a "Mac".
    HostVocabulary vocabulary() const override { return {"\u2318", "Mac"}; }

    // --- typed access for tests ---
    SimRunLoop& simRunLoop() { return runLoop_; }
    SimApplication& simApplication() { return application_; }
    SimStatusBar& simStatusBar() { return statusBar_; }
    SimScreens& simScreens() { return screens_; }
    SimSymbols& simSymbols() { return symbols_; }
    SimWorkspace& simWorkspace() { return workspace_; }
    SimAlerts& simAlerts() { return alerts_; }
    SimUserDefaults& simDefaults() { return defaults_; }
    SimLog& simLog() { return log_; }
    SimKeychain& simKeychain() { return keychain_; }
    SimCacheFiles& simCacheFiles() { return cacheFiles_; }
    // The scripted server behind httpSession().
    SimHttpSession& simHttp();
    // For tests against real servers: httpSession() answers with `session` (not owned; nullptr
    // restores the scripted server), and the wall clock reads `now` at the current virtual time.
    void useHttpSession(HttpSession* session) { externalHttp_ = session; }
    // For runs against a real keyring: keychain() is `keychain` (not owned; nullptr restores the
    // simulated one).
    void useKeychain(Keychain* keychain) { externalKeychain_ = keychain; }
    void setWallClock(std::chrono::system_clock::time_point now);
    Bundle& bundle() { return bundle_; }
    ProcessInfo& process() { return processInfo_; }
    SimWindowList& simWindowList() { return windowList_; }
    SimLoginItemService& simLoginItems() { return loginItems_; }
    SimUpdaterFramework& simUpdaterFramework() { return updaterFramework_; }
    SimBrowser& simBrowser() { return browser_; }
    SimWebAuthenticationSessions& simWebAuthentication() { return webAuth_; }
    SimAppleIDAuthorization& simAppleID() { return appleID_; }
    // Windows made through makeWindow(), in order.
    const std::vector<std::shared_ptr<SimWindow>>& madeWindows() const { return madeWindows_; }

    // --- virtual time ---
    void advance(double seconds) { runLoop_.advance(seconds); }
    void runUntilIdle() { runLoop_.runUntilIdle(); }
    // Fires the timers due within `seconds` and stops before the turns they posted.
    std::size_t fireTimersOnly(double seconds) { return runLoop_.fireTimersOnly(seconds); }

    // --- the world ---
    // Replaces the screens (the first carries the menu bar) and posts the screen-change
    // notification.
    void setScreens(std::vector<Screen> screens);
    static Screen makeScreen(double x, double y, double width, double height);
    // Clicks a status item's button with a mouse button: the current event is set for the
    // duration, the item's menu opens when one is attached, else the send-action mask decides.
    void click(const std::shared_ptr<StatusItem>& item, MouseButton button);
    // Moves the pointer into or out of a status item's button (its tracking areas fire).
    void hover(const std::shared_ptr<StatusItem>& item, bool inside);
    // A window of this application (a panel when `panel`), listed by application().windows().
    std::shared_ptr<SimWindow> addWindow(bool panel, bool visible);

    // A mouse-down of `type` into the window with this number: this application's windows
    // (status items included) see it through the local monitors, other applications' through
    // the global ones. Returns whether it reached its window (no monitor swallowed it).
    bool mouseDown(std::uint32_t windowNumber, EventType type = EventType::leftMouseDown);
    // A mouse-down into another application.
    void mouseDownInOtherApplication(EventType type = EventType::leftMouseDown);
    // A key press sent to the key window (or to the application when none is key).
    bool keyDown(std::uint16_t keyCode);
    // While a status item's menu is open: gets the menu, may advance time or look around,
    // and returns the index of the chosen item (none dismisses the menu). Without a tracker
    // the menu is dismissed at once.
    std::function<std::optional<std::size_t>(Menu&)> menuTracker;
    int menusShown = 0;

    // Ends the simulated process (its items, timers, observers and windows go) and starts a
    // new one with a new pid; user defaults, the Keychain and other applications' items stay.
    void relaunch();

    // --- host side ---
    std::uint32_t nextWindowNumber() { return nextWindowNumber_++; }
    void performClick(StatusItem& item);
    bool statusItemsHaveButtons = true;

private:
    void addSystemItems();
    // Ends what the simulated process left pending: open sheets and pages, posted work and
    // timers.
    void endProcess();

    SimRunLoop runLoop_;
    SimUserDefaults defaults_;
    SimScreens screens_;
    SimApplication application_{*this};
    NotificationCenter notifications_;
    SimStatusBar statusBar_{*this};
    SimSymbols symbols_;
    SimWorkspace workspace_{*this};
    SimAlerts alerts_;
    SimLog log_;
    SimKeychain keychain_;     // outlives relaunch(), like the real Keychain
    SimCacheFiles cacheFiles_; // outlives relaunch(), like files on disk
    std::unique_ptr<SimLibraryRuntime> libraryRuntime_;
    std::unique_ptr<SimHttpSession> http_; // its routes are the world: they outlive relaunch()
    SimWindowList windowList_{*this};
    std::unique_ptr<EventMonitors> eventMonitors_ = std::make_unique<EventMonitors>();
    SimLoginItemService loginItems_; // the system's record: outlives relaunch()
    SimUpdaterFramework updaterFramework_;
    SimBrowser browser_;
    SimWebAuthenticationSessions webAuth_{runLoop_};
    SimAppleIDAuthorization appleID_{runLoop_};
    std::vector<std::shared_ptr<SimWindow>> madeWindows_;
    bool isOwnWindow(std::uint32_t windowNumber) const;
    Bundle bundle_;
    ProcessInfo processInfo_;
    std::uint32_t nextWindowNumber_ = 100;
    std::int32_t nextPID_ = 500;
    std::chrono::system_clock::time_point epoch_;
    HttpSession* externalHttp_ = nullptr;
    Keychain* externalKeychain_ = nullptr;
};

} // namespace platform::sim
