// The quillet executable: the application on the desktop host. Command-line control of a
// running instance (--status, --toggle), URL forwarding, then the host with the application's
// views registered, and the application.
#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/Instance/InstanceChannel.h"
#include "Platform/Desktop/Services/DesktopHttpSession.h"
#include "Platform/Desktop/StatusBar/SampleItems.h"
#include "Quillet/App/QuilletApp.h"
#include "Quillet/MenuBar/MenuBarManager.h"
#include "QuilletDesktop/QuilletViews.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const auto processStart = std::chrono::steady_clock::now();

constexpr const char* usage =
    "usage: quillet [--sample-items PATH | --no-sample-items] [--no-tray-items] [URL...]\n"
    "       quillet --status    print the running instance's state as JSON\n"
    "       quillet --toggle    click the running instance's chevron\n"
    "       quillet --toggle-always-hidden\n"
    "                           show or hide the running instance's always-hidden section\n"
    "Other programs' tray items show in the strip. Sample items stand in for them until the\n"
    "first one appears; those of --sample-items stay. QUILLET_NO_SAMPLE_ITEMS=1 is\n"
    "--no-sample-items.\n";

struct Arguments {
    bool status = false;
    bool toggle = false;
    bool toggleAlwaysHidden = false;
    std::string sampleItemsPath;
    bool noSampleItems = false;
    bool noTrayItems = false;
    std::vector<std::string> urls;
};

bool parse(int argc, char** argv, Arguments& out) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--status") {
            out.status = true;
        } else if (a == "--toggle") {
            out.toggle = true;
        } else if (a == "--toggle-always-hidden") {
            out.toggleAlwaysHidden = true;
        } else if (a == "--sample-items") {
            if (i + 1 >= argc) {
                std::fputs("quillet: --sample-items needs a path\n", stderr);
                return false;
            }
            out.sampleItemsPath = argv[++i];
        } else if (a == "--no-sample-items") {
            out.noSampleItems = true;
        } else if (a == "--no-tray-items") {
            out.noTrayItems = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            std::exit(0);
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "quillet: unknown option %s\n%s", a.c_str(), usage);
            return false;
        } else if (desktop::isAcceptableURL(a)) {
            out.urls.push_back(a);
        } else {
            // Not echoed: a mangled sign-in return may still carry a code.
            std::fprintf(stderr, "quillet: argument %d is neither an option nor a URL\n", i);
            return false;
        }
    }
    if (!out.sampleItemsPath.empty() && out.noSampleItems) {
        std::fputs("quillet: --sample-items and --no-sample-items cannot be combined\n", stderr);
        return false;
    }
    if (int(out.status) + int(out.toggle) + int(out.toggleAlwaysHidden) > 1) {
        std::fputs("quillet: --status, --toggle and --toggle-always-hidden cannot be combined\n",
                   stderr);
        return false;
    }
    if (out.urls.size() > desktop::maxInstanceURLs) {
        std::fprintf(stderr, "quillet: at most %zu URLs at once\n", desktop::maxInstanceURLs);
        return false;
    }
    return true;
}

std::optional<std::string> ask(const desktop::InstanceRequest& request, int timeoutMs) {
    auto dir = desktop::instanceDirectory();
    if (!dir)
        return std::nullopt;
    return desktop::sendInstanceRequest(desktop::instanceSocketPath(*dir), request, timeoutMs);
}

enum class Delivery { delivered, noInstance, notTaken };

Delivery deliverURLs(const std::vector<std::string>& urls) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    const auto dir = desktop::instanceDirectory();
    if (!dir)
        return Delivery::noInstance;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return Delivery::notTaken;
        if (desktop::sendInstanceRequest(desktop::instanceSocketPath(*dir),
                                         {desktop::InstanceRequest::Command::open, urls},
                                         static_cast<int>(std::min<long long>(left, 3000))))
            return Delivery::delivered;
        // Nobody holds the instance lock: no Quillet runs, this one becomes it.
        {
            desktop::InstanceLock probe(*dir);
            if (probe.acquire())
                return Delivery::noInstance;
        }
        // One runs but did not answer (busy, or still starting): a short pause, then again.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

bool hasDisplay() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v && *v;
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

} // namespace

int main(int argc, char** argv) {
    // libcurl's global state, before any thread exists.
    desktop::DesktopHttpSession::globalInit();
    Arguments args;
    if (!parse(argc, argv, args))
        return 2;

    // Control of the running instance needs no display.
    if (args.status || args.toggle || args.toggleAlwaysHidden) {
        using C = desktop::InstanceRequest::Command;
        desktop::InstanceRequest request{args.status ? C::status : C::toggle, {}};
        if (args.toggleAlwaysHidden)
            request = {C::post, {}, quillet::MenuBarManager::toggleAlwaysHiddenNotification};
        auto reply = ask(request, 5000);
        if (!reply) {
            std::fputs("quillet: no running instance answered\n", stderr);
            return 1;
        }
        std::printf("%s\n", reply->c_str());
        return reply->find("\"ok\":false") == std::string::npos ? 0 : 1;
    }

    // URLs go to the running instance when there is one. A busy one (a sign-in return while
    // it loads) is asked again for up to 30 s: starting a second instance would lose the URL.
    if (!args.urls.empty()) {
        switch (deliverURLs(args.urls)) {
        case Delivery::delivered:
            return 0;
        case Delivery::noInstance:
            break;
        case Delivery::notTaken:
            std::fputs("quillet: the running Quillet did not take the URL within 30 seconds\n",
                       stderr);
            return 1;
        }
    }

    desktop::DesktopHost::Options options;
    options.trayItems = !args.noTrayItems;
    options.toggleItem = quillet::MenuBarManager::toggleAutosaveName;
    options.postableNotifications = {quillet::MenuBarManager::toggleAlwaysHiddenNotification};
    const char* noSamples = std::getenv("QUILLET_NO_SAMPLE_ITEMS");
    if (args.noSampleItems || (noSamples && std::strcmp(noSamples, "1") == 0)) {
        options.sampleItems.clear();
    } else if (args.sampleItemsPath.empty()) {
        // The built-in samples only stand in for real tray items.
        options.sampleItemsGiveWayToTrayItems = true;
    }
    if (!args.sampleItemsPath.empty()) {
        try {
            options.sampleItems = desktop::loadSampleItems(args.sampleItemsPath);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quillet: %s\n", e.what());
            return 2;
        }
    }

    if (!hasDisplay()) {
        std::fputs("quillet: no display (neither DISPLAY nor WAYLAND_DISPLAY is set). Quillet "
                   "draws a menu bar and needs a graphical session; without one, run it under "
                   "a virtual display: xvfb-run -a quillet\n",
                   stderr);
        return 1;
    }

    // The strip puts itself across the top of the screen, which Wayland lets no client do:
    // where X11 is reachable too (Xwayland), use it. Chosen on Qt's command line, not in the
    // environment, so the browser and file manager Quillet starts keep the session's choice.
    std::vector<char*> qtArgv(argv, argv + argc);
    char platformOption[] = "-platform";
    char xcb[] = "xcb";
    if (!std::getenv("QT_QPA_PLATFORM") && std::getenv("DISPLAY") && *std::getenv("DISPLAY")) {
        qtArgv.insert(qtArgv.begin() + 1, {platformOption, xcb});
    }
    qtArgv.push_back(nullptr);
    int qtArgc = static_cast<int>(qtArgv.size()) - 1;
    QApplication app(qtArgc, qtArgv.data());
    QApplication::setApplicationName(QStringLiteral("quillet"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quillet"));
    // Shells match the windows to the installed desktop entry by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.corvane.quillet"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("com.corvane.quillet")));
    // An installed Quillet (Info.json under share/quillet, none beside the binary) shows no
    // made-up items of other applications; a build tree and --sample-items do.
    const QString binDir = QCoreApplication::applicationDirPath();
    if (args.sampleItemsPath.empty() && !QFileInfo::exists(binDir + QStringLiteral("/Info.json")) &&
        QFileInfo::exists(binDir + QStringLiteral("/../share/quillet/Info.json")))
        options.sampleItems.clear();
    // Closing a window never ends the program; Quit does.
    QApplication::setQuitOnLastWindowClosed(false);

    desktop::DesktopHost host(std::move(options));
    quilletdesktop::registerQuilletViews();
    quilletdesktop::addQuilletStatus(host);
    if (std::getenv("QUILLET_REPORT_STARTUP")) {
        host.desktopStatusBar().onOwnItemsDrawn = [] {
            auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                                processStart)
                          .count();
            std::fprintf(stderr, "quillet: status items drawn %.1f ms after start\n", ms);
        };
    }
    if (std::getenv("QUILLET_REPORT_STARTUP")) {
        host.onViewPainted = [](std::uint32_t window, double ms) {
            std::fprintf(stderr, "quillet: window %u painted %.1f ms after it was asked to show\n",
                         window, ms);
        };
    }
    host.openURLs(std::move(args.urls));

    quillet::QuilletApp quilletApp;
    return quilletApp.run();
}
