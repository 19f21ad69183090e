// The desktop host: every facility of the host layer on Qt 6 and Linux services. Constructed
// after the QApplication; installs itself as the process-wide host and uninstalls itself when
// destroyed. Main thread only, except where a facility says otherwise.
#pragma once

#include "Platform/Bundle.h"
#include "Platform/Desktop/DesktopApplication.h"
#include "Platform/Desktop/DesktopRunLoop.h"
#include "Platform/Desktop/Instance/InstanceChannel.h"
#include "Platform/Desktop/Services/DesktopCacheFiles.h"
#include "Platform/Desktop/Services/DesktopKeychain.h"
#include "Platform/Desktop/Services/DesktopLog.h"
#include "Platform/Desktop/Services/DesktopLoginItems.h"
#include "Platform/Desktop/Services/DesktopUserDefaults.h"
#include "Platform/Desktop/Services/DesktopWorkspace.h"
#include "Platform/Desktop/StatusBar/DesktopStatusBar.h"
#include "Platform/Desktop/StatusBar/SampleItems.h"
#include "Platform/Desktop/Updates/DesktopUpdater.h"
#include "Platform/Desktop/Windows/DesktopAlerts.h"
#include "Platform/Desktop/Windows/DesktopEventMonitors.h"
#include "Platform/Desktop/Windows/DesktopScreens.h"
#include "Platform/Desktop/Windows/DesktopSymbols.h"
#include "Platform/Desktop/Windows/DesktopWindowList.h"
#include "Platform/Host.h"
#include "Platform/NotificationCenter.h"

#include <QRect>

#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace desktop {

class LibraryThread;
class DesktopHttpSession;
class DesktopViews;
class DesktopBrowser;
class DesktopAppearance;
class DesktopWebAuthenticationSessions;
class LocalMouseFilter;
class TrayHost;
class XEmbedTray;
class DesktopHotkeys;
class KeyringUnlockWatcher;

// A frame as `--status` gives it: Cocoa coordinates, from a Cocoa rectangle or from a rectangle
// in Qt's global coordinates.
nlohmann::json statusFrameJSON(const platform::Rect& cocoa);
nlohmann::json statusFrameJSON(const QRect& global);

class DesktopHost final : public platform::Host {
public:
    struct Options {
        // Where defaults.json lives; empty: $XDG_CONFIG_HOME/quillet (or ~/.config/quillet).
        std::string configDirectory;
        // Other applications' items shown in the strip.
        std::vector<SampleItem> sampleItems = defaultSampleItems();
        // The sample items leave the strip when the first tray item appears (the built-in
        // set does; a set asked for on the command line stays).
        bool sampleItemsGiveWayToTrayItems = false;
        // Host other programs' tray items (StatusNotifierItems) in the strip.
        bool trayItems = false;
        // The bus the tray items are on; empty: the session bus.
        std::string trayBusAddress;
        // Take part in the single-instance channel (off in unit tests that need no socket).
        bool singleInstance = true;
        // Where the bundle (and Info.json) is; empty: the executable's directory.
        std::string bundleDirectory;
        // Where the login item's autostart entry goes; empty: $XDG_CONFIG_HOME/autostart.
        std::string autostartDirectory;
        // Makes the source of clicks in other applications; empty: XInput2 on X11.
        std::function<std::unique_ptr<GlobalClickSource>()> globalClickSource;
        // The autosave name of this process's status item that `--toggle` clicks; empty: none.
        std::string toggleItem;
        // Notifications that another process may post here through the instance channel.
        std::vector<std::string> postableNotifications;
    };

    explicit DesktopHost(Options options);
    ~DesktopHost() override;
    DesktopHost(const DesktopHost&) = delete;
    DesktopHost& operator=(const DesktopHost&) = delete;

    platform::RunLoop& runLoop() override { return runLoop_; }
    platform::Application& application() override { return application_; }
    platform::NotificationCenter& notificationCenter() override { return notifications_; }
    platform::StatusBar& statusBar() override { return *statusBar_; }
    platform::Screens& screens() override { return screens_; }
    platform::Symbols& symbols() override { return symbols_; }
    platform::Workspace& workspace() override { return workspace_; }
    platform::Alerts& alerts() override { return alerts_; }
    platform::UserDefaults& userDefaults() override { return *defaults_; }
    const platform::Bundle& mainBundle() const override { return bundle_; }
    const platform::ProcessInfo& processInfo() const override { return processInfo_; }
    platform::LogSink& log() override { return log_; }
    platform::Keychain& keychain() override { return keychain_; }
    platform::CacheFiles* cacheFiles() override { return &cacheFiles_; }
    platform::LibraryRuntime& libraryRuntime() override;
    platform::HttpSession& httpSession() override;
    platform::WindowList& windowList() override { return windowList_; }
    platform::EventMonitors& eventMonitors() override { return *eventMonitors_; }
    platform::LoginItemService& loginItemService() override { return *loginItems_; }
    platform::UpdaterFramework& updaterFramework() override { return updaterFramework_; }
    platform::Browser& browser() override;
    platform::WebAuthenticationSessions& webAuthenticationSessions() override;
    std::shared_ptr<platform::Window> makeWindow(const platform::WindowAttributes& attributes,
                                                 bool panel) override;
    std::chrono::system_clock::time_point now() const override;
    // The strip moves items with Ctrl held down; the machine is a "computer".
    platform::HostVocabulary vocabulary() const override { return {"Ctrl", "computer"}; }

    // --- typed access ---
    DesktopRunLoop& desktopRunLoop() { return runLoop_; }
    DesktopApplication& desktopApplication() { return application_; }
    DesktopStatusBar& desktopStatusBar() { return *statusBar_; }
    DesktopUserDefaults& desktopDefaults() { return *defaults_; }
    DesktopWorkspace& desktopWorkspace() { return workspace_; }
    DesktopAlerts& desktopAlerts() { return alerts_; }
    DesktopScreens& desktopScreens() { return screens_; }
    DesktopEventMonitors& desktopEventMonitors() { return *eventMonitors_; }
    // Draws the windows' view models; its QML engine is made when the first view is shown.
    DesktopViews& views() { return *views_; }
    DesktopLoginItems& desktopLoginItems() { return *loginItems_; }
    // The desktop's light or dark scheme and the colours of the strip, its menus and views.
    DesktopAppearance& appearance() { return *appearance_; }
    // Other programs' tray items; null when they are not hosted.
    TrayHost* trayHost() { return trayHost_.get(); }
    // The legacy system tray on X11; null elsewhere and when tray items are not hosted.
    XEmbedTray* xembedTray() { return xembedTray_.get(); }

    // True when another quillet holds the instance lock; it is then listed among the running
    // applications and this process does not listen.
    bool otherInstanceRunning() const { return otherInstance_ != nullptr; }
    // The state `--status` prints, as one JSON line.
    std::string statusJSON() const;
    // Adds a member to what `--status` prints: `make` gives its value each time the state is
    // asked for (on the main thread). A later section of the same name replaces the earlier.
    void addStatusSection(std::string name, std::function<nlohmann::json()> make);
    // Acts as a left click on the item whose autosave name is the options' `toggleItem`; false
    // when there is no such item.
    bool toggle();
    // URLs for the delegate: delivered now when launching has finished, else right after. A URL
    // that a presenting web authentication session waits for goes to that session instead.
    void openURLs(std::vector<std::string> urls);

    std::uint32_t nextWindowNumber() { return nextWindowNumber_++; }
    // The name the strip shows for the application while it is regular.
    std::string applicationName() const;

    // Logs a line of the host itself (subsystem of the bundle, category "host").
    void logHost(platform::LogLevel level, const std::string& message);

    // A window's view painted for the first time after it was asked to show, `ms` later.
    std::function<void(std::uint32_t windowNumber, double ms)> onViewPainted;
    // The window of this application that a mouse-down at `global` (Qt coordinates) on the
    // top-level widget `top` went to; none when it is not one for local monitors.
    std::optional<std::uint32_t> localWindowNumber(QWidget* top, QPoint global) const;

private:
    void startInstanceChannel();
    std::string answer(const InstanceRequest& request);
    void watchScreens();
    void screensChanged();
    void addSampleItems();
    void removeSampleItems();
    void startTrayHost();
    void startXEmbedTray();

    Options options_;
    DesktopLog log_;
    DesktopRunLoop runLoop_;
    platform::Bundle bundle_;
    platform::ProcessInfo processInfo_;
    std::unique_ptr<DesktopUserDefaults> defaults_;
    DesktopApplication application_;
    platform::NotificationCenter notifications_;
    DesktopScreens screens_{DesktopStatusBar::stripHeight};
    DesktopSymbols symbols_;
    DesktopWorkspace workspace_;
    DesktopAlerts alerts_;
    // Before the strip, which draws with it.
    std::unique_ptr<DesktopAppearance> appearance_;
    std::unique_ptr<DesktopStatusBar> statusBar_;
    // The sample items in the strip and the applications made for them.
    std::vector<std::shared_ptr<platform::StatusItem>> sampleStatusItems_;
    std::vector<std::shared_ptr<platform::RunningApplication>> sampleApplications_;
    // After the status bar, so that it goes first and takes its items out of the strip.
    std::unique_ptr<TrayHost> trayHost_;
    // Likewise: its icons leave the strip's window before that goes.
    std::unique_ptr<XEmbedTray> xembedTray_;
    QString trayBusName_;
    DesktopWindowList windowList_{*this};
    std::unique_ptr<DesktopEventMonitors> eventMonitors_;
    std::unique_ptr<LocalMouseFilter> localMouseFilter_;
    std::unique_ptr<DesktopLoginItems> loginItems_;
    // Made with the host, since the Keychain is used from any thread; it reaches the Secret
    // Service only when an item is first read or written.
    DesktopKeychain keychain_;
    DesktopCacheFiles cacheFiles_{DesktopCacheFiles::directoryFromEnvironment()};
    // Appcast checks through the host's URL session.
    DesktopUpdaterFramework updaterFramework_;
    // The account library's thread and URL session; stopped first when the host goes.
    std::unique_ptr<LibraryThread> library_;
    std::unique_ptr<DesktopHttpSession> http_;
    // The default browser, and sign-in pages shown in it that wait for their return URL.
    std::unique_ptr<DesktopBrowser> browser_;
    std::unique_ptr<DesktopWebAuthenticationSessions> webAuth_;
    // Global shortcuts, installed as the process's while the host lives.
    std::unique_ptr<DesktopHotkeys> hotkeys_;
    // Posts the Keychain's unlock notification when the login keyring is unlocked.
    std::unique_ptr<KeyringUnlockWatcher> keyringUnlock_;
    std::unique_ptr<InstanceLock> lock_;
    std::unique_ptr<InstanceServer> server_;
    std::shared_ptr<platform::RunningApplication> otherInstance_;
    std::vector<std::vector<std::string>> pendingURLs_;
    std::vector<std::pair<std::string, std::function<nlohmann::json()>>> statusSections_;
    // Receives Qt's screen and application-state signals.
    std::unique_ptr<QObject> qtSignals_;
    std::uint32_t nextWindowNumber_ = 100;
    bool screenChangePending_ = false;
    // Last, so that the views' scenes go first.
    std::unique_ptr<DesktopViews> views_;
};

} // namespace desktop
