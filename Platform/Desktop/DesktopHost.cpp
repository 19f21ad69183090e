#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/Windows/WindowStatus.h"

#include "Platform/Desktop/Services/DesktopBrowser.h"

#include "Platform/Desktop/Services/DesktopBundle.h"
#include "Platform/Desktop/Services/DesktopHotkeys.h"
#include "Platform/Desktop/Services/DesktopHttpSession.h"
#include "Platform/Desktop/Services/DesktopWebAuthentication.h"
#include "Platform/Desktop/Services/KeyringUnlockWatcher.h"
#include "Platform/Desktop/Services/LibraryThread.h"
#include "Platform/Desktop/Services/SessionBus.h"
#include "Platform/Desktop/StatusBar/StripWindow.h"
#include "Platform/Desktop/StatusBar/TrayHost.h"
#include "Platform/Desktop/StatusBar/XEmbedTray.h"
#include "Platform/Desktop/Windows/DesktopAppearance.h"
#include "Platform/Desktop/Windows/DesktopViews.h"
#include "Platform/Desktop/Windows/DesktopWindow.h"
#include "Platform/Desktop/Windows/MenuPresenter.h"
#include "Platform/Desktop/Windows/XInputClickSource.h"
#include "Platform/UserDefaults.h"
#include "Platform/View.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QQuickItem>
#include <QScreen>
#include <QToolTip>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>
#include <unistd.h>

namespace desktop {

namespace {

std::string configDirectoryFromEnvironment() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        return std::string(xdg) + "/quillet";
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return std::string(home) + "/.config/quillet";
    return "/tmp/quillet-config-" + std::to_string(::getuid());
}

nlohmann::json rectJSON(const platform::Rect& r) {
    return statusFrameJSON(r);
}

nlohmann::json qtRectJSON(const QRect& global) {
    return statusFrameJSON(global);
}

// The menu being shown, item by item (separators included, hidden items not), with where each
// item is.
nlohmann::json menuJSON() {
    QMenu* menu = openMenu();
    if (!menu)
        return nullptr;
    auto items = nlohmann::json::array();
    for (auto* action : menu->actions()) {
        if (!action->isVisible())
            continue;
        if (action->isSeparator()) {
            items.push_back({{"separator", true}});
            continue;
        }
        const QRect local = menu->actionGeometry(action);
        const QRect global(menu->mapToGlobal(local.topLeft()), local.size());
        items.push_back({{"separator", false},
                         {"title", action->text().toStdString()},
                         {"checked", action->isChecked()},
                         {"enabled", action->isEnabled()},
                         {"frame", qtRectJSON(global)}});
    }
    return {{"items", std::move(items)}};
}

const char* policyName(platform::ActivationPolicy p) {
    switch (p) {
    case platform::ActivationPolicy::regular:
        return "regular";
    case platform::ActivationPolicy::accessory:
        return "accessory";
    case platform::ActivationPolicy::prohibited:
        return "prohibited";
    }
    return "regular";
}

} // namespace

nlohmann::json statusFrameJSON(const platform::Rect& r) {
    return {{"x", r.minX()}, {"y", r.minY()}, {"width", r.width()}, {"height", r.height()}};
}

nlohmann::json statusFrameJSON(const QRect& global) {
    return statusFrameJSON(cocoaFromQt(global, DesktopScreens::primaryGeometry()));
}

DesktopHost::DesktopHost(Options options) : options_(std::move(options)) {
    appearance_ = std::make_unique<DesktopAppearance>();
    views_ = std::make_unique<DesktopViews>(
        [this](const std::string& m) { logHost(platform::LogLevel::error, m); });
    eventMonitors_ = std::make_unique<DesktopEventMonitors>(
        options_.globalClickSource ? options_.globalClickSource()
                                   : std::make_unique<XInputClickSource>());
    eventMonitors_->isOwnWindowAt = [](QPoint global) {
        auto* top = QApplication::topLevelAt(global);
        return top && top->isVisible();
    };
    eventMonitors_->report = [this](const std::string& m) { logHost(platform::LogLevel::info, m); };
    localMouseFilter_ =
        std::make_unique<LocalMouseFilter>(*eventMonitors_, [this](QWidget* top, QPoint global) {
            return localWindowNumber(top, global);
        });
    if (auto* app = QCoreApplication::instance())
        app->installEventFilter(localMouseFilter_.get());
    hotkeys_ = std::make_unique<DesktopHotkeys>(
        [this](std::function<void()> action) { runLoop_.post(std::move(action)); },
        sessionBusAvailable() ? std::optional(QDBusConnection::sessionBus()) : std::nullopt);
    platform::installHotkeys(hotkeys_.get());
    // A keyring that was locked when the account library read it may be read again once the
    // user unlocks it.
    if (sessionBusAvailable())
        keyringUnlock_ = std::make_unique<KeyringUnlockWatcher>(
            [this] { notifications_.post(platform::keychainDidUnlockNotification); });
    // The library's threads exist from the start: library code reaches them from any thread.
    http_ = std::make_unique<DesktopHttpSession>();
    library_ = std::make_unique<LibraryThread>(
        [this](const std::string& m) { logHost(platform::LogLevel::error, m); });
    auto report = [this](const std::string& m) { logHost(platform::LogLevel::error, m); };
    const std::string bundleDir = options_.bundleDirectory.empty()
                                      ? QCoreApplication::applicationDirPath().toStdString()
                                      : options_.bundleDirectory;
    bundle_ = loadMainBundle(bundleDir, report);
    processInfo_ = currentProcessInfo();
    const std::string configDir = options_.configDirectory.empty()
                                      ? configDirectoryFromEnvironment()
                                      : options_.configDirectory;
    defaults_ = std::make_unique<DesktopUserDefaults>(configDir, report);
    loginItems_ = std::make_unique<DesktopLoginItems>(
        options_.autostartDirectory.empty() ? DesktopLoginItems::defaultDirectory()
                                            : options_.autostartDirectory,
        QCoreApplication::applicationFilePath().toStdString());

    workspace_.setCurrent(std::make_shared<DesktopRunningApplication>(
        processInfo_.processIdentifier, bundle_.bundleIdentifier, applicationName(), [this] {
            application_.activate(true);
            return true;
        }));

    statusBar_ = std::make_unique<DesktopStatusBar>(*this);
    statusBar_->addSystemItems();
    addSampleItems();
    if (options_.trayItems) {
        startTrayHost();
        startXEmbedTray();
    }

    application_.onPresentationChange = [this] {
        if (auto* strip = statusBar_->strip())
            strip->mainMenuChanged();
    };
    application_.onWillBecomeActive = [this] {
        notifications_.post(platform::applicationWillBecomeActiveNotification);
    };
    application_.onDidBecomeActive = [this] {
        notifications_.post(platform::applicationDidBecomeActiveNotification);
    };
    application_.onDidFinishLaunching = [this] {
        statusBar_->strip()->showOnScreen();
        auto pending = std::move(pendingURLs_);
        pendingURLs_.clear();
        for (auto& urls : pending)
            openURLs(std::move(urls));
    };

    watchScreens();
    if (options_.singleInstance)
        startInstanceChannel();
    platform::installHost(this);
}

void DesktopHost::addSampleItems() {
    for (const auto& s : options_.sampleItems) {
        ForeignItemSpec spec;
        spec.ownerName = s.ownerName;
        spec.ownerPID = s.ownerPID;
        spec.autosaveName = s.autosaveName;
        spec.width = s.width;
        spec.icon = s.icon;
        spec.toolTip = s.toolTip;
        spec.preferredPosition = s.preferredPosition;
        sampleStatusItems_.push_back(statusBar_->addForeignItem(spec));
        if (!workspace_.runningApplication(s.ownerPID)) {
            auto app = std::make_shared<DesktopRunningApplication>(
                s.ownerPID, std::nullopt, s.ownerName, [] { return false; });
            // The item's own drawing stands for the application's icon: a symbol, or its badge.
            if (auto symbol = symbols_.systemSymbol(s.icon, s.ownerName))
                app->setIcon(*symbol);
            else if (!s.icon.empty())
                app->setIcon(platform::Image{"", "badge:" + s.icon, s.ownerName, {}, false});
            workspace_.add(app);
            sampleApplications_.push_back(std::move(app));
        }
    }
}

void DesktopHost::removeSampleItems() {
    for (auto& item : sampleStatusItems_)
        statusBar_->removeForeignItem(item);
    sampleStatusItems_.clear();
    for (auto& app : sampleApplications_)
        workspace_.remove(app);
    sampleApplications_.clear();
}

void DesktopHost::startTrayHost() {
    // No session bus: no autolaunched one either; the tray host then says there is no bus.
    QDBusConnection bus = sessionBusAvailable()
                              ? QDBusConnection::sessionBus()
                              : QDBusConnection(QStringLiteral("quillet-no-session-bus"));
    if (!options_.trayBusAddress.empty()) {
        static int connections = 0;
        trayBusName_ = QStringLiteral("quillet-tray-%1").arg(++connections);
        bus = QDBusConnection::connectToBus(QString::fromStdString(options_.trayBusAddress),
                                            trayBusName_);
    }
    trayHost_ = std::make_unique<TrayHost>(*this, bus);
    // Tray items persist where the user drags them, by their id.
    statusBar_->onTrayItemPosition = [this](const std::string& autosaveName, double position) {
        defaults_->set(TrayHost::positionKey(autosaveName), position);
    };
    if (options_.sampleItemsGiveWayToTrayItems)
        trayHost_->onItemShown = [this] {
            if (!sampleStatusItems_.empty()) {
                logHost(platform::LogLevel::info, "a tray item appeared: the sample items go");
                removeSampleItems();
            }
        };
    trayHost_->start();
}

void DesktopHost::startXEmbedTray() {
    // Programs that still dock their icons in an X11 system tray (XEmbed).
    auto tray = std::make_unique<XEmbedTray>(*this);
    if (!tray->start())
        return;
    xembedTray_ = std::move(tray);
    statusBar_->onLayout = [this] { xembedTray_->place(); };
    xembedTray_->onIconShown = [this] {
        if (options_.sampleItemsGiveWayToTrayItems && !sampleStatusItems_.empty()) {
            logHost(platform::LogLevel::info, "a tray icon appeared: the sample items go");
            removeSampleItems();
        }
    };
    addStatusSection("xembed", [this]() -> nlohmann::json {
        if (!xembedTray_)
            return nullptr;
        const auto state = xembedTray_->state();
        auto icons = nlohmann::json::array();
        for (const auto& icon : xembedTray_->icons())
            icons.push_back({{"window", icon.window},
                             {"autosaveName", icon.autosaveName},
                             {"pid", icon.pid},
                             {"shown", icon.shown},
                             {"onScreen", icon.onScreen},
                             {"imageVersion", icon.imageVersion}});
        return {{"state", state == XEmbedTray::State::manager     ? "manager"
                          : state == XEmbedTray::State::waiting   ? "waiting"
                          : state == XEmbedTray::State::acquiring ? "acquiring"
                                                                  : "off"},
                {"icons", std::move(icons)}};
    });
}

DesktopHost::~DesktopHost() {
    // Other programs' items leave the strip, and the tray's bus connection closes; legacy tray
    // icons go back to the root window.
    xembedTray_.reset();
    trayHost_.reset();
    if (!trayBusName_.isEmpty())
        QDBusConnection::disconnectFromBus(trayBusName_);
    // No more presses through the monitors of a host that is going.
    localMouseFilter_.reset();
    keyringUnlock_.reset();
    // The library thread stops (and its queued work is dropped) before anything it may use.
    library_->stop();
    http_.reset();
    server_.reset();
    if (platform::hasHost() && &platform::host() == this)
        platform::installHost(nullptr);
    if (&platform::hotkeys() == hotkeys_.get())
        platform::installHotkeys(nullptr);
    qtSignals_.reset();
    // Queued work and timers may point into the facilities: drop them first.
    runLoop_.shutDown();
    // Windows let go of while handling their own events are deleted on a later turn: now.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

platform::LibraryRuntime& DesktopHost::libraryRuntime() {
    return *library_;
}

platform::HttpSession& DesktopHost::httpSession() {
    return *http_;
}

std::shared_ptr<platform::Window>
DesktopHost::makeWindow(const platform::WindowAttributes& attributes, bool panel) {
    auto window = std::make_shared<DesktopWindow>(*this, nextWindowNumber(), attributes, panel);
    application_.addWindow(window);
    return window;
}

std::chrono::system_clock::time_point DesktopHost::now() const {
    return std::chrono::system_clock::now();
}

std::string DesktopHost::applicationName() const {
    if (auto* name = bundle_.infoDictionary.find("CFBundleName"))
        if (auto* s = name->asString())
            return *s;
    return "Quillet";
}

void DesktopHost::logHost(platform::LogLevel level, const std::string& message) {
    if (!log_.isEnabled(level))
        return;
    log_.write(platform::LogEntry{bundle_.bundleIdentifier.value_or("com.corvane.quillet"), "host",
                                  level, message});
}

// --- single instance ---

void DesktopHost::startInstanceChannel() {
    auto dir = instanceDirectory();
    if (!dir) {
        logHost(platform::LogLevel::error,
                "single instance: no private runtime directory; running without the channel");
        return;
    }
    const std::string socketPath = instanceSocketPath(*dir);
    lock_ = std::make_unique<InstanceLock>(*dir);
    if (lock_->acquire()) {
        server_ = std::make_unique<InstanceServer>(
            [this](const InstanceRequest& r) { return answer(r); });
        std::string error;
        if (!server_->listen(socketPath, &error))
            logHost(platform::LogLevel::error, "single instance: cannot listen: " + error);
        return;
    }
    // Another quillet holds the lock: it is the running instance.
    const auto pid = lock_->ownerPID().value_or(0);
    otherInstance_ = std::make_shared<DesktopRunningApplication>(
        pid, bundle_.bundleIdentifier, applicationName(), [socketPath] {
            // The other process may still be starting: give it a moment to listen.
            for (int attempt = 0; attempt < 30; ++attempt) {
                if (sendInstanceRequest(socketPath, {InstanceRequest::Command::activate, {}}))
                    return true;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            return false;
        });
    workspace_.add(otherInstance_);
}

std::string DesktopHost::answer(const InstanceRequest& request) {
    using C = InstanceRequest::Command;
    switch (request.command) {
    case C::ping:
        return nlohmann::json{{"pid", processInfo_.processIdentifier},
                              {"bundleIdentifier", bundle_.bundleIdentifier.value_or("")}}
            .dump();
    case C::activate:
        application_.activate(true);
        return R"({"ok":true})";
    case C::open:
        openURLs(request.urls);
        return R"({"ok":true})";
    case C::status:
        return statusJSON();
    case C::post: {
        const auto& allowed = options_.postableNotifications;
        if (std::find(allowed.begin(), allowed.end(), request.name) == allowed.end())
            return R"({"ok":false,"error":"no such notification"})";
        notifications_.post(request.name);
        return R"({"ok":true})";
    }
    case C::toggle:
        if (toggle())
            return R"({"ok":true})";
        return nlohmann::json{{"ok", false},
                              {"error", "no status item named " + options_.toggleItem}}
            .dump();
    }
    return R"({"ok":false})";
}

std::string DesktopHost::statusJSON() const {
    nlohmann::json doc;
    doc["pid"] = processInfo_.processIdentifier;
    doc["activationPolicy"] = policyName(application_.activationPolicy());
    doc["defaultsFile"] = defaults_->filePath();
    if (auto main = screens_.mainScreen()) {
        doc["screen"] = {{"frame", rectJSON(main->frame)},
                         {"visibleFrame", rectJSON(main->visibleFrame)}};
    } else {
        doc["screen"] = nullptr;
    }
    auto items = nlohmann::json::array();
    for (const auto& s : statusBar_->itemStates())
        items.push_back({{"owner", s.owner},
                         {"ownerPID", s.ownerPID},
                         {"autosaveName", s.autosaveName},
                         {"frame", rectJSON(s.frame)},
                         {"visible", s.visible},
                         {"onScreen", s.onScreen},
                         {"own", s.own}});
    doc["items"] = std::move(items);
    if (trayHost_) {
        const auto role = trayHost_->role();
        doc["tray"] = {{"role", role == TrayHost::Role::watcher ? "watcher"
                                : role == TrayHost::Role::host  ? "host"
                                                                : "none"},
                       {"items", trayHost_->items().size()}};
    } else {
        doc["tray"] = nullptr;
    }
    doc["menu"] = menuJSON();
    if (QToolTip::isVisible())
        doc["toolTip"] = {{"visible", true}, {"text", QToolTip::text().toStdString()}};
    else
        doc["toolTip"] = {{"visible", false}, {"text", nullptr}};
    doc["globalClicks"] = {{"watching", eventMonitors_->isWatchingGlobalClicks()},
                           {"unavailable", eventMonitors_->globalClicksUnavailable()},
                           {"dispatched", eventMonitors_->globalClicksDispatched()}};
    // The strip's window (for the window system's tools) and the colours it draws with.
    nlohmann::json strip = {{"colorScheme", appearance_->name()}, {"nativeWindow", nullptr}};
    if (auto* widget = statusBar_->strip(); widget && widget->testAttribute(Qt::WA_WState_Created))
        strip["nativeWindow"] = static_cast<std::uint64_t>(widget->winId());
    doc["strip"] = std::move(strip);
    // The application's shown windows (panels included) and the controls they show.
    auto windows = nlohmann::json::array();
    for (const auto& w : application_.windows())
        if (auto* window = dynamic_cast<const DesktopWindow*>(w.get());
            window && window->isVisible())
            windows.push_back(windowStatusJSON(*window));
    doc["windows"] = std::move(windows);
    for (const auto& [name, make] : statusSections_)
        doc[name] = make ? make() : nlohmann::json();
    return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::uint32_t> DesktopHost::localWindowNumber(QWidget* top, QPoint global) const {
    if (!top)
        return std::nullopt;
    if (auto* strip = statusBar_->strip(); top == strip) {
        // This application's status items are its windows; other applications' items and the
        // bare strip belong to others (the strip shows those clicks to the global monitors).
        auto entry = statusBar_->entryAt(strip->cocoaPoint(strip->mapFromGlobal(global)));
        if (!entry || statusBar_->isForeignEntry(*entry))
            return std::nullopt;
        auto window = statusBar_->windowOf(statusBar_->itemOfEntry(*entry));
        return window ? window->windowNumber() : 0;
    }
    // Menus track their own clicks.
    if (top->windowType() == Qt::Popup || top->windowType() == Qt::ToolTip)
        return std::nullopt;
    auto number = top->property("quilletWindowNumber");
    return number.isValid() ? number.toUInt() : 0;
}

void DesktopHost::addStatusSection(std::string name, std::function<nlohmann::json()> make) {
    for (auto& section : statusSections_)
        if (section.first == name) {
            section.second = std::move(make);
            return;
        }
    statusSections_.emplace_back(std::move(name), std::move(make));
}

bool DesktopHost::toggle() {
    if (options_.toggleItem.empty())
        return false;
    auto item = statusBar_->ownItem(options_.toggleItem);
    if (!item)
        return false;
    statusBar_->click(item, platform::EventType::leftMouseUp);
    return true;
}

platform::Browser& DesktopHost::browser() {
    if (!browser_)
        browser_ = std::make_unique<DesktopBrowser>();
    return *browser_;
}

platform::WebAuthenticationSessions& DesktopHost::webAuthenticationSessions() {
    if (!webAuth_)
        webAuth_ = std::make_unique<DesktopWebAuthenticationSessions>(runLoop_, browser());
    return *webAuth_;
}

void DesktopHost::openURLs(std::vector<std::string> urls) {
    // A sign-in page's return completes its session and goes no further.
    if (webAuth_)
        std::erase_if(urls, [this](const std::string& url) { return webAuth_->deliver(url); });
    if (urls.empty())
        return;
    auto delegate = application_.delegate();
    if (!application_.hasLaunched() || !delegate) {
        if (!application_.hasLaunched())
            pendingURLs_.push_back(std::move(urls));
        return;
    }
    delegate->openURLs(urls);
}

// --- screens ---

void DesktopHost::watchScreens() {
    qtSignals_ = std::make_unique<QObject>();
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app)
        return;
    auto watch = [this](QScreen* s) {
        QObject::connect(s, &QScreen::geometryChanged, qtSignals_.get(),
                         [this] { screensChanged(); });
        QObject::connect(s, &QScreen::availableGeometryChanged, qtSignals_.get(),
                         [this] { screensChanged(); });
    };
    for (auto* s : QGuiApplication::screens())
        watch(s);
    QObject::connect(app, &QGuiApplication::screenAdded, qtSignals_.get(),
                     [this, watch](QScreen* s) {
                         watch(s);
                         screensChanged();
                     });
    QObject::connect(app, &QGuiApplication::screenRemoved, qtSignals_.get(),
                     [this] { screensChanged(); });
    QObject::connect(app, &QGuiApplication::primaryScreenChanged, qtSignals_.get(),
                     [this] { screensChanged(); });
    // A window of ours taking the focus makes the application active; losing it, inactive.
    QObject::connect(app, &QGuiApplication::applicationStateChanged, qtSignals_.get(),
                     [this](Qt::ApplicationState state) {
                         application_.setActive(state == Qt::ApplicationActive);
                     });
}

void DesktopHost::screensChanged() {
    // One change arrives as several signals: lay out and notify once, on a later turn.
    if (screenChangePending_)
        return;
    screenChangePending_ = true;
    runLoop_.post([this] {
        screenChangePending_ = false;
        statusBar_->layout();
        notifications_.post(platform::applicationDidChangeScreenParametersNotification);
    });
}

} // namespace desktop
