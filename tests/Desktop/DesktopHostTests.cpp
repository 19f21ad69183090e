// The desktop host's facilities apart from the status bar: the run loop over Qt, screens in
// Cocoa coordinates, the login item, alerts, symbols, sample items, the bundle and the log.
#include "tests/Desktop/DesktopTestSupport.h"
#include "tests/Desktop/HostTestSupport.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/DesktopRunLoop.h"
#include "Platform/Desktop/Services/DesktopBundle.h"
#include "Platform/Desktop/Services/DesktopLog.h"
#include "Platform/Desktop/Services/DesktopLoginItems.h"
#include "Platform/Desktop/Services/DesktopWorkspace.h"
#include "Platform/Desktop/StatusBar/SampleItems.h"
#include "Platform/Desktop/Windows/DesktopAlerts.h"
#include "Platform/Desktop/Windows/DesktopScreens.h"
#include "Platform/Desktop/Windows/DesktopSymbols.h"
#include "Platform/Desktop/Windows/DesktopWindow.h"
#include "Platform/MainExecutor.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QUrl>
#include <QWindow>
#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <latch>
#include <thread>

namespace desktop {
namespace {

TEST(DesktopRunLoop, RunsPostedWorkAndTimersOnTheMainThreadOnlyOnce) {
    DesktopRunLoop loop;
    const auto mainThread = std::this_thread::get_id();
    std::atomic<int> posted{0};
    bool onMain = true;
    std::thread other([&] {
        for (int i = 0; i < 100; ++i)
            loop.post([&] {
                onMain = onMain && std::this_thread::get_id() == mainThread;
                ++posted;
            });
    });
    other.join();
    ASSERT_TRUE(test::spinUntil([&] { return posted == 100; }));
    EXPECT_TRUE(onMain);

    int fired = 0, cancelled = 0, dropped = 0;
    auto timer = loop.scheduleTimer(0.01, [&] { ++fired; });
    auto doomed = loop.scheduleTimer(0.01, [&] { ++cancelled; });
    doomed->invalidate();
    // A timer nobody holds still fires, as the run loop keeps it.
    loop.scheduleTimer(0.01, [&] { ++dropped; });
    EXPECT_TRUE(timer->isValid());
    EXPECT_DOUBLE_EQ(timer->interval(), 0.01);
    ASSERT_TRUE(test::spinUntil([&] { return fired == 1 && dropped == 1; }));
    EXPECT_FALSE(timer->isValid());
    EXPECT_FALSE(doomed->isValid());
    // Give a would-be second firing every chance.
    bool later = false;
    loop.scheduleTimer(0.05, [&] { later = true; });
    ASSERT_TRUE(test::spinUntil([&] { return later; }));
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(cancelled, 0);

    // A timer invalidated from inside another's block never runs.
    int second = 0;
    std::shared_ptr<platform::Timer> victim;
    loop.scheduleTimer(0, [&] { victim->invalidate(); });
    victim = loop.scheduleTimer(0.02, [&] { ++second; });
    bool after = false;
    loop.scheduleTimer(0.06, [&] { after = true; });
    ASSERT_TRUE(test::spinUntil([&] { return after; }));
    EXPECT_EQ(second, 0);

    const double t0 = loop.monotonicNow();
    EXPECT_GE(loop.monotonicNow(), t0);
}

TEST(DesktopRunLoop, ADelayLongerThanOneQtTimerIsWaitedInFullAcrossSteps) {
    DesktopRunLoop loop;
    loop.setLongestTimerStep(0.02); // as if Qt's longest interval were 20 ms
    const double t0 = loop.monotonicNow();
    double firedAt = -1;
    auto timer = loop.scheduleTimer(0.12, [&] { firedAt = loop.monotonicNow(); });
    int cancelledRuns = 0;
    auto cancelled = loop.scheduleTimer(0.12, [&] { ++cancelledRuns; });
    bool midway = false;
    loop.scheduleTimer(0.05, [&] {
        midway = true;
        EXPECT_TRUE(timer->isValid()) << "a step ended the timer early";
        cancelled->invalidate(); // between two steps
    });
    ASSERT_TRUE(test::spinUntil([&] { return firedAt >= 0; }));
    EXPECT_TRUE(midway);
    EXPECT_GE(firedAt - t0, 0.12) << "fired after one step, not the whole delay";
    EXPECT_FALSE(timer->isValid());
    bool after = false;
    loop.scheduleTimer(0.05, [&] { after = true; });
    ASSERT_TRUE(test::spinUntil([&] { return after; }));
    EXPECT_EQ(cancelledRuns, 0);
}

TEST(DesktopRunLoop, ShutDownDropsQueuedWorkAndRefusesMore) {
    auto loop = std::make_unique<DesktopRunLoop>();
    int ran = 0;
    loop->post([&] { ++ran; });
    auto timer = loop->scheduleTimer(0, [&] { ++ran; });
    loop->shutDown();
    loop->post([&] { ++ran; });
    auto late = loop->scheduleTimer(0, [&] { ++ran; });
    EXPECT_FALSE(late->isValid());
    timer->invalidate(); // safe after shutdown
    loop.reset();
    bool marker = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { marker = true; }, Qt::QueuedConnection);
    ASSERT_TRUE(test::spinUntil([&] { return marker; }));
    EXPECT_EQ(ran, 0);
}

TEST(DesktopScreens, ConvertsBetweenQtAndCocoaCoordinates) {
    const QRect primary(0, 0, 1440, 900);
    EXPECT_EQ(cocoaFromQt(primary, primary), platform::makeRect(0, 0, 1440, 900));
    // The strip across the top of the primary screen sits at its top in Cocoa terms.
    EXPECT_EQ(cocoaFromQt(QRect(0, 0, 1440, 24), primary), platform::makeRect(0, 876, 1440, 24));
    // A screen above and to the left of the primary one.
    const QRect above(-1920, -1080, 1920, 1080);
    EXPECT_EQ(cocoaFromQt(above, primary), platform::makeRect(-1920, 900, 1920, 1080));
    // A primary screen that is not at the virtual desktop's origin.
    const QRect shifted(1920, 200, 1280, 800);
    EXPECT_EQ(cocoaFromQt(QRect(1920, 200, 100, 24), shifted), platform::makeRect(0, 776, 100, 24));
    for (auto r : {QRect(5, 7, 30, 24), QRect(-1920, -1080, 1920, 1080), QRect(2000, 300, 1, 1)})
        EXPECT_EQ(qtFromCocoa(cocoaFromQt(r, shifted), shifted), r);

    // The strip is left out of the primary screen's visible frame; a panel at the bottom too.
    auto s = cocoaScreen(primary, QRect(0, 0, 1440, 860), primary, true, 24);
    EXPECT_EQ(s.frame, platform::makeRect(0, 0, 1440, 900));
    EXPECT_EQ(s.visibleFrame, platform::makeRect(0, 40, 1440, 836));
    // A desktop panel already at the top: the strip covers it, nothing is cut twice.
    s = cocoaScreen(primary, QRect(0, 30, 1440, 870), primary, true, 24);
    EXPECT_EQ(s.visibleFrame, platform::makeRect(0, 0, 1440, 870));
    // Other screens keep their whole available area.
    s = cocoaScreen(above, above, primary, false, 24);
    EXPECT_EQ(s.visibleFrame, s.frame);
}

TEST(DesktopLoginItems, RegistersReadsBackAndUnregistersAnAutostartEntry) {
    test::TempDir dir;
    const std::string exe = "/opt/Quillet $HOME/\"bin\"/quillet 100%";
    DesktopLoginItems items(dir.sub("autostart"), exe);
    EXPECT_EQ(items.entryPath(), dir.sub("autostart") + "/quillet.desktop");
    EXPECT_EQ(items.status(), platform::LoginItemStatus::notRegistered);
    EXPECT_FALSE(items.registerItem());
    EXPECT_EQ(items.status(), platform::LoginItemStatus::enabled);
    std::ifstream in(items.entryPath());
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("Exec=\"/opt/Quillet \\\\$HOME/\\\\\"bin\\\\\"/quillet 100%%\"\n"),
              std::string::npos)
        << text;

    // Another copy's entry is not this application's login item.
    DesktopLoginItems moved(dir.sub("autostart"), "/elsewhere/quillet");
    EXPECT_EQ(moved.status(), platform::LoginItemStatus::notFound);
    // An entry the user switched off in the desktop's settings.
    std::ofstream(items.entryPath(), std::ios::app) << "Hidden=true\n";
    EXPECT_EQ(items.status(), platform::LoginItemStatus::notRegistered);

    EXPECT_FALSE(items.unregisterItem());
    EXPECT_EQ(items.status(), platform::LoginItemStatus::notRegistered);
    EXPECT_FALSE(items.unregisterItem()) << "removing what is not there is no error";

    // A directory that cannot be made: an error with a description.
    std::ofstream(dir.sub("file")) << "x";
    DesktopLoginItems blocked(dir.sub("file/autostart"), exe);
    auto error = blocked.registerItem();
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->localizedDescription.empty());
}

TEST(DesktopAlerts, ButtonsAnswerInOrderAndClosingDeclines) {
    platform::AlertSpec spec{platform::AlertStyle::warning,
                             "Move Quillet to Applications",
                             "To enable automatic updates…",
                             {"Reveal in Finder", "Later"}};
    auto box = DesktopAlerts::makeBox(spec);
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->text(), QString::fromUtf8("Move Quillet to Applications"));
    auto buttons = box->buttons();
    ASSERT_EQ(buttons.size(), 2);
    EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("Reveal in Finder"));
    EXPECT_EQ(DesktopAlerts::answerFor(*box), platform::alertSecondButtonReturn)
        << "closed without a choice";

    DesktopAlerts alerts;
    for (int choice : {0, 1}) {
        alerts.onShow = [choice](QMessageBox& b) {
            QMetaObject::invokeMethod(
                &b,
                [&b, choice] {
                    for (auto* button : b.buttons())
                        if (button->property("quilletAnswer").toInt() == 1000 + choice)
                            button->click();
                },
                Qt::QueuedConnection);
        };
        EXPECT_EQ(alerts.runModal(spec), 1000 + choice);
    }
    auto critical = DesktopAlerts::makeBox({platform::AlertStyle::critical, "x", "", {}});
    EXPECT_EQ(critical->icon(), QMessageBox::Critical);
    EXPECT_EQ(critical->buttons().size(), 1) << "an alert always has a button";
}

TEST(DesktopSymbols, DrawsTheProjectsSymbolsAsTintedTemplates) {
    DesktopSymbols symbols;
    for (auto& name : DesktopSymbols::catalogue()) {
        auto image = symbols.systemSymbol(name, "desc");
        ASSERT_TRUE(image) << name;
        EXPECT_TRUE(image->isTemplate);
        EXPECT_EQ(image->accessibilityDescription, "desc");
        QImage drawn = DesktopSymbols::render(name, 32, QColor(255, 0, 0));
        ASSERT_FALSE(drawn.isNull()) << name;
        int covered = 0;
        for (int y = 0; y < drawn.height(); ++y)
            for (int x = 0; x < drawn.width(); ++x) {
                QColor c = drawn.pixelColor(x, y);
                if (c.alpha() > 128) {
                    ++covered;
                    EXPECT_GT(c.red(), 200);
                    EXPECT_LT(c.green(), 30);
                }
            }
        EXPECT_GT(covered, 20) << name << " draws something";
        EXPECT_LT(covered, 32 * 32 * 3 / 4) << name << " is a shape, not a block";
    }
    EXPECT_FALSE(symbols.systemSymbol("gearshape.2.fill.nope", ""));
    EXPECT_FALSE(symbols.systemSymbol("controlcenter", "")) << "the strip's own drawing";
}

TEST(SampleItems, DefaultSetParsesAndBadFilesSayWhatIsWrong) {
    auto items = defaultSampleItems();
    ASSERT_GE(items.size(), 3u);
    for (auto& i : items) {
        EXPECT_FALSE(i.ownerName.empty());
        EXPECT_GT(i.ownerPID, 0);
    }
    auto parsed = parseSampleItems(
        R"({"items":[{"owner":"A","pid":7,"icon":"A","width":30,"preferredPosition":12.5}]})");
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0].width, 30);
    EXPECT_EQ(parsed[0].preferredPosition, 12.5);

    auto messageOf = [](const std::string& json) {
        try {
            parseSampleItems(json);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("<accepted>");
    };
    EXPECT_NE(messageOf("{"), "<accepted>");
    EXPECT_NE(messageOf(R"({"items":{}})"), "<accepted>");
    EXPECT_NE(messageOf(R"({"items":[{"pid":1,"icon":"x"}]})").find("\"owner\" is missing"),
              std::string::npos);
    EXPECT_NE(
        messageOf(
            R"({"items":[{"owner":"a","pid":1,"icon":"x"},{"owner":"b","pid":-3,"icon":"y"}]})")
            .find("sample item 1"),
        std::string::npos);
    EXPECT_NE(messageOf(R"({"items":[{"owner":"a","pid":1,"icon":"x","width":9000}]})"),
              "<accepted>");
    EXPECT_NE(messageOf(R"({"items":[{"owner":"a","pid":1,"icon":"x","autosaveName":"s"},)"
                        R"({"owner":"b","pid":2,"icon":"y","autosaveName":"s"}]})"),
              "<accepted>");
    EXPECT_NE(messageOf(R"({"items":[{"owner":"a\u0007","pid":1,"icon":"x"}]})"), "<accepted>");
    EXPECT_NE(messageOf(std::string(300 * 1024, ' ')), "<accepted>");
    EXPECT_THROW(loadSampleItems("/nonexistent/samples.json"), std::invalid_argument);
}

TEST(DesktopBundle, InfoFileBesideTheExecutableOverridesTheBuiltInValues) {
    test::TempDir dir;
    auto bundle = loadMainBundle(dir.path());
    EXPECT_EQ(bundle.bundlePath, dir.path());
    EXPECT_EQ(bundle.bundleIdentifier, "com.corvane.quillet");
    ASSERT_TRUE(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"));
    ASSERT_TRUE(bundle.objectForInfoDictionaryKey("CFBundleVersion"));
    EXPECT_FALSE(bundle.objectForInfoDictionaryKey("SUFeedURL"));

    std::ofstream(dir.sub("Info.json"))
        << R"({"SUFeedURL":"https://example.com/appcast.xml","SUPublicEDKey":"abc","CFBundleVersion":"77"})";
    bundle = loadMainBundle(dir.path());
    EXPECT_EQ(*bundle.objectForInfoDictionaryKey("SUFeedURL")->asString(),
              "https://example.com/appcast.xml");
    EXPECT_EQ(*bundle.objectForInfoDictionaryKey("CFBundleVersion")->asString(), "77");

    std::ofstream(dir.sub("Info.json")) << "[broken";
    std::vector<std::string> reports;
    bundle = loadMainBundle(dir.path(), [&](const std::string& m) { reports.push_back(m); });
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_TRUE(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"));
}

TEST(DesktopLog, StderrLinesCarrySubsystemCategoryAndStayOneLine) {
    auto line = DesktopLog::formatLine(
        {"com.corvane.quillet", "MenuBarManager", platform::LogLevel::error, "a\nb\x01"});
    EXPECT_NE(line.find("<error> [com.corvane.quillet:MenuBarManager] a\\nb\\x01\n"),
              std::string::npos)
        << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
    DesktopLog log(DesktopLog::Destination::standardError);
    EXPECT_FALSE(log.isEnabled(platform::LogLevel::debug));
    EXPECT_TRUE(log.isEnabled(platform::LogLevel::info));
}

TEST(DesktopHost, InstallsItselfAndDeliversURLsOnceLaunched) {
    test::TempDir dir;
    auto o = test::isolatedHostOptions(dir, {});
    {
        DesktopHost host(o);
        EXPECT_EQ(&platform::host(), &host);
        auto current = host.workspace().currentApplication();
        ASSERT_TRUE(current);
        EXPECT_EQ(host.workspace().runningApplications("com.corvane.quillet"),
                  std::vector<std::shared_ptr<platform::RunningApplication>>{current});

        struct Delegate : platform::ApplicationDelegate {
            std::vector<std::string> urls;
            bool launched = false;
            void applicationDidFinishLaunching() override {
                launched = true;
                // Quit at once: run() returns without entering the loop.
                platform::host().application().terminate();
            }
            void openURLs(const std::vector<std::string>& u) override {
                EXPECT_TRUE(launched) << "URLs wait for the launch";
                urls.insert(urls.end(), u.begin(), u.end());
            }
        };
        auto delegate = std::make_shared<Delegate>();
        host.openURLs({"quillet://auth/callback?state=s"});
        host.application().run(delegate);
        EXPECT_EQ(delegate->urls, std::vector<std::string>{"quillet://auth/callback?state=s"});
        host.openURLs({"quillet://signed-in"});
        EXPECT_EQ(delegate->urls.size(), 2u);

        // The main executor runs work on this loop.
        bool ran = false;
        platform::mainExecutor().execute([&] { ran = true; });
        ASSERT_TRUE(test::spinUntil([&] { return ran; }));
    }
    EXPECT_FALSE(platform::hasHost());
}

} // namespace
} // namespace desktop

namespace desktop {
namespace {

// Catches what the workspace hands to the desktop's URL opener.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

TEST(DesktopWorkspace, RevealFallsBackToOpeningTheFolderWithoutAFileManager) {
    test::TempDir dir;
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    std::string saved = bus ? bus : "";
    // No session bus (or one without a file manager): the folder opens instead.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir.sub("no-bus")).c_str(), 1);
    DesktopWorkspace workspace;
    workspace.activateFileViewerSelecting({dir.sub("Quillet.app")});
    ASSERT_TRUE(test::spinUntil([&] { return !catcher.opened.isEmpty(); }, 10000));
    EXPECT_EQ(catcher.opened.front(), QUrl::fromLocalFile(QString::fromStdString(dir.path())));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    if (bus)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
    else
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

TEST(DesktopHost, ScreenChangesRelayOutAndPostOneNotification) {
    test::TempDir dir;
    auto o = test::isolatedHostOptions(dir, {});
    DesktopHost host(o);
    int posted = 0;
    host.notificationCenter().addObserver(
        platform::applicationDidChangeScreenParametersNotification, [&] { ++posted; });
    auto* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    // One reconfiguration arrives as several signals.
    emit screen->geometryChanged(screen->geometry());
    emit screen->availableGeometryChanged(screen->availableGeometry());
    EXPECT_EQ(posted, 0) << "delivered on a later turn of the main loop";
    ASSERT_TRUE(test::spinUntil([&] { return posted > 0; }));
    bool settled = false;
    host.runLoop().post([&] { settled = true; });
    ASSERT_TRUE(test::spinUntil([&] { return settled; }));
    EXPECT_EQ(posted, 1);
}

TEST(DesktopHost, ActivationPostsWillAndDidBecomeActiveOncePerActivation) {
    test::TempDir dir;
    auto o = test::isolatedHostOptions(dir, {});
    DesktopHost host(o);
    std::vector<std::string> posted;
    for (auto name : {platform::applicationWillBecomeActiveNotification,
                      platform::applicationDidBecomeActiveNotification})
        host.notificationCenter().addObserver(name, [&posted, name] { posted.push_back(name); });
    EXPECT_FALSE(host.application().isActive());
    host.application().activate(true);
    EXPECT_TRUE(host.application().isActive());
    EXPECT_EQ(posted, (std::vector<std::string>{platform::applicationWillBecomeActiveNotification,
                                                platform::applicationDidBecomeActiveNotification}));
    host.application().activate(true);
    EXPECT_EQ(posted.size(), 2u) << "already active";
    // Another application takes the focus, then ours comes back.
    emit qApp->applicationStateChanged(Qt::ApplicationInactive);
    EXPECT_FALSE(host.application().isActive());
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_TRUE(host.application().isActive());
    EXPECT_EQ(posted.size(), 4u);
}

TEST(DesktopWindow, WindowsAreListedPlacedInCocoaFramesAndOnlyOrderedOutWhenClosed) {
    test::TempDir dir;
    auto o = test::isolatedHostOptions(dir, {});
    DesktopHost host(o);
    platform::WindowAttributes a;
    a.contentRect = platform::makeRect(100, 200, 320, 240);
    a.title = "Settings";
    auto window = host.makeWindow(a, /*panel=*/false);
    ASSERT_TRUE(window);
    EXPECT_FALSE(window->isPanel());
    EXPECT_EQ(window->frame(), a.contentRect);
    EXPECT_EQ(host.application().windows(), std::vector<std::shared_ptr<platform::Window>>{window});
    auto panel = host.makeWindow(a, /*panel=*/true);
    EXPECT_TRUE(panel->isPanel());
    EXPECT_NE(panel->windowNumber(), window->windowNumber());

    window->orderFront();
    EXPECT_TRUE(window->isVisible());
    int willClose = 0;
    host.notificationCenter().addObserver(platform::windowWillCloseNotification,
                                          [&] { ++willClose; });
    auto* widget = static_cast<DesktopWindow&>(*window).widget();
    widget->close();
    EXPECT_EQ(willClose, 1);
    EXPECT_FALSE(window->isVisible());
    window->orderFront();
    EXPECT_TRUE(window->isVisible()) << "a closed window shows again";
    // The window manager's close request (WM_DELETE_WINDOW) takes the same way.
    QCloseEvent request;
    QApplication::sendEvent(widget->windowHandle(), &request);
    EXPECT_EQ(willClose, 2);
    EXPECT_FALSE(window->isVisible());
    window->orderFront();

    // Without `closable` in its style mask a window refuses the request and stays.
    platform::WindowAttributes fixed = a;
    fixed.styleMask = platform::windowstyle::titled;
    auto unclosable = host.makeWindow(fixed, /*panel=*/false);
    unclosable->orderFront();
    auto* fixedWidget = static_cast<DesktopWindow&>(*unclosable).widget();
    QCloseEvent refused;
    QApplication::sendEvent(fixedWidget->windowHandle(), &refused);
    EXPECT_FALSE(refused.isAccepted());
    EXPECT_TRUE(unclosable->isVisible());
    EXPECT_FALSE(fixedWidget->close());
    EXPECT_TRUE(unclosable->isVisible());
    EXPECT_EQ(willClose, 2) << "a refused close posts nothing";
    unclosable->orderOut();

    // Escape passes through the local monitors, which may swallow it.
    int escapes = 0;
    host.eventMonitors().addLocalMonitor(eventMask(platform::EventType::keyDown),
                                         [&](const platform::Event& e) {
                                             escapes += e.keyCode == platform::keyCodeEscape;
                                             return std::optional<platform::Event>();
                                         });
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(widget, &esc);
    EXPECT_EQ(escapes, 1);
    window->orderOut();
    EXPECT_FALSE(window->isVisible());
}

TEST(DesktopHost, EveryThreadGetsTheSameKeychain) {
    test::TempDir dir;
    auto o = test::isolatedHostOptions(dir, {});
    DesktopHost host(o);
    // The first uses of the Keychain may come from several threads at once.
    constexpr int threads = 8;
    std::latch start(threads);
    std::vector<platform::Keychain*> seen(threads);
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i)
        workers.emplace_back([&, i] {
            start.arrive_and_wait();
            seen[static_cast<std::size_t>(i)] = &host.keychain();
        });
    for (auto& w : workers)
        w.join();
    for (auto* k : seen)
        EXPECT_EQ(k, &host.keychain());
}

} // namespace
} // namespace desktop

#include "DesktopHostTests.moc"
