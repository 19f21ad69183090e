// The strip's status bar: the same placement as the simulated Mac, clicks and hovers through
// the strip, Ctrl-drags that rewrite preferred positions, --status and the window list.
#include "tests/Desktop/DesktopTestSupport.h"
#include "tests/Desktop/HostTestSupport.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/StatusBar/StripWindow.h"
#include "Platform/Menu.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/WindowList.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QShortcut>
#include <QTimer>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>

namespace desktop {
namespace {

using platform::EventType;
using platform::Rect;

std::vector<SampleItem> samples() {
    return {{"Notes", 41001, "N", 26, "notes.item", std::nullopt, "Notes"},
            {"Backup", 41002, "B", 30, "backup.item", 40.0, "Backup"},
            {"VPN", 41003, "VPN", 38, "vpn.item", std::nullopt, ""}};
}

struct Fixture {
    test::TempDir dir;
    std::unique_ptr<DesktopHost> host;
    explicit Fixture(std::vector<SampleItem> items = samples()) {
        auto o = test::isolatedHostOptions(dir, std::move(items));
        // The item that --toggle clicks, as the program names its chevron.
        o.toggleItem = "quillet.toggle";
        host = std::make_unique<DesktopHost>(o);
    }
    DesktopStatusBar& bar() { return host->desktopStatusBar(); }
};

// The two items Quillet makes: a square chevron and a variable-length dot.
std::pair<std::shared_ptr<platform::StatusItem>, std::shared_ptr<platform::StatusItem>>
makeOwnItems(platform::StatusBar& bar, platform::Symbols& symbols) {
    auto toggle = bar.statusItem(platform::squareStatusItemLength);
    toggle->setAutosaveName("quillet.toggle");
    toggle->button()->setImage(symbols.systemSymbol("chevron.right", "Collapse"));
    auto separator = bar.statusItem(platform::variableStatusItemLength);
    separator->setAutosaveName("quillet.separator");
    separator->button()->setImage(symbols.systemSymbol("circle.fill", "Separator"));
    return {toggle, separator};
}

// Chevron nearest the system items, the dot next to it, as Quillet places them at first launch.
void placeLikeQuillet(DesktopStatusBar& bar, const std::shared_ptr<platform::StatusItem>& toggle,
                      const std::shared_ptr<platform::StatusItem>& separator) {
    bar.drag(toggle, 0);
    bar.drag(separator, 1);
}

std::map<std::string, Rect> framesOf(DesktopStatusBar& bar) {
    std::map<std::string, Rect> out;
    for (auto& s : bar.itemStates())
        out[s.autosaveName] = s.frame;
    return out;
}

std::map<std::string, Rect> framesOf(platform::sim::SimStatusBar& bar) {
    std::map<std::string, Rect> out;
    for (auto& item : bar.itemsFromEdge())
        out[item->autosaveName()] = bar.windowOf(item)->frame();
    return out;
}

TEST(DesktopStatusBar, PlacesDragsAndPushesItemsExactlyAsTheSimulatedMac) {
    Fixture f;
    platform::sim::SimHost sim;
    auto screen = f.host->screens().mainScreen();
    ASSERT_TRUE(screen);
    sim.setScreens(
        {platform::sim::SimHost::makeScreen(0, 0, screen->frame.width(), screen->frame.height())});
    std::map<std::string, std::shared_ptr<platform::StatusItem>> simItems;
    for (auto& s : samples())
        simItems[s.autosaveName] = sim.simStatusBar().addForeignItem(
            {s.ownerName, s.ownerPID, s.autosaveName, s.width, s.preferredPosition, false, 0});

    auto [dToggle, dSeparator] = makeOwnItems(f.bar(), f.host->symbols());
    auto [sToggle, sSeparator] = makeOwnItems(sim.statusBar(), sim.symbols());
    EXPECT_EQ(framesOf(f.bar()), framesOf(sim.simStatusBar()));
    EXPECT_EQ(framesOf(f.bar()).size(), 7u); // clock, control centre, three samples, two own

    // The user moves the chevron next to the clock and the dot beyond one sample item: both
    // hosts keep the same order in the same preferred positions.
    f.bar().drag(dToggle, 0);
    sim.simStatusBar().drag(sToggle, 0);
    f.bar().drag(dSeparator, 2);
    sim.simStatusBar().drag(sSeparator, 2);
    EXPECT_EQ(f.bar().slotOf(dSeparator), 2u);
    EXPECT_EQ(framesOf(f.bar()), framesOf(sim.simStatusBar()));
    for (auto name : {"quillet.toggle", "quillet.separator"}) {
        auto key = platform::preferredPositionKey(name);
        ASSERT_TRUE(f.host->userDefaults().object(key)) << name;
        EXPECT_EQ(f.host->userDefaults().object(key), sim.userDefaults().object(key)) << name;
    }

    // Collapsed: a long dot pushes the items beyond it off the left edge in both.
    dSeparator->setLength(1500);
    sSeparator->setLength(1500);
    auto frames = framesOf(f.bar());
    EXPECT_EQ(frames, framesOf(sim.simStatusBar()));
    int offScreen = 0;
    for (auto& s : f.bar().itemStates()) {
        if (!s.onScreen) {
            ++offScreen;
            EXPECT_LE(s.frame.maxX(), 0) << s.autosaveName;
            EXPECT_FALSE(s.own);
        }
    }
    EXPECT_EQ(offScreen, 2) << "the two sample items beyond the dot";

    // Right-to-left layout starts from the left edge, as the simulated Mac does.
    sim.simApplication().setLayoutDirection(platform::LayoutDirection::rightToLeft);
    QApplication::setLayoutDirection(Qt::RightToLeft);
    f.bar().layout();
    EXPECT_EQ(framesOf(f.bar()), framesOf(sim.simStatusBar()));
    QApplication::setLayoutDirection(Qt::LeftToRight);
}

TEST(DesktopStatusBar, ClicksSetTheCurrentEventAndHonourTheSendActionMask) {
    Fixture f;
    auto [toggle, separator] = makeOwnItems(f.bar(), f.host->symbols());
    std::vector<platform::Event> seen;
    auto& app = f.host->application();
    toggle->button()->setAction([&] {
        auto e = app.currentEvent();
        ASSERT_TRUE(e);
        seen.push_back(*e);
    });

    // Default mask: left mouse-up only.
    f.bar().click(toggle, EventType::rightMouseUp);
    EXPECT_TRUE(seen.empty());
    f.bar().click(toggle, EventType::leftMouseUp);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].type, EventType::leftMouseUp);
    EXPECT_EQ(seen[0].windowNumber, toggle->button()->window()->windowNumber());
    EXPECT_TRUE(toggle->button()->window()->frame().contains(seen[0].locationInScreen));
    EXPECT_FALSE(app.currentEvent()) << "the current event lasts only for the click";

    toggle->button()->sendActionOn(eventMask(EventType::leftMouseUp) |
                                   eventMask(EventType::rightMouseUp));
    f.bar().click(toggle, EventType::rightMouseUp);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].type, EventType::rightMouseUp);

    // --toggle is a left click on the item named quillet.toggle.
    EXPECT_TRUE(f.host->toggle());
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].type, EventType::leftMouseUp);
    toggle->setAutosaveName("something.else");
    EXPECT_FALSE(f.host->toggle());
    EXPECT_EQ(seen.size(), 3u);
}

// Sends a mouse event to the strip at the centre of a Cocoa frame (offset by dx).
void mouse(StripWindow& strip, QEvent::Type type, const Rect& frame, Qt::MouseButton button,
           Qt::KeyboardModifiers mods, double dx = 0) {
    QRect r = strip.localRect(frame);
    QPointF local(r.center().x() + dx, r.center().y());
    Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
    if (type == QEvent::MouseMove && mods & Qt::ControlModifier)
        buttons = Qt::LeftButton;
    QMouseEvent e(type, local, strip.mapToGlobal(local), button, buttons, mods);
    QApplication::sendEvent(&strip, &e);
}

TEST(DesktopStatusBar, StripTurnsPointerInputIntoClicksHoversAndCtrlDrags) {
    Fixture f;
    auto [toggle, separator] = makeOwnItems(f.bar(), f.host->symbols());
    placeLikeQuillet(f.bar(), toggle, separator);
    auto* strip = f.bar().strip();
    ASSERT_NE(strip, nullptr);
    int clicks = 0, entered = 0, exited = 0;
    toggle->button()->setAction([&] {
        ++clicks;
        EXPECT_EQ(f.host->application().currentEvent()->type, EventType::leftMouseUp);
    });
    toggle->button()->addTrackingArea(
        {{}, platform::tracking::mouseEnteredAndExited, [&] { ++entered; }, [&] { ++exited; }});
    const Rect chevron = toggle->button()->window()->frame();

    mouse(*strip, QEvent::MouseMove, chevron, Qt::NoButton, Qt::NoModifier);
    EXPECT_EQ(entered, 1);
    mouse(*strip, QEvent::MouseMove, chevron, Qt::NoButton, Qt::NoModifier, 2);
    EXPECT_EQ(entered, 1) << "moving within the item is not a new entry";
    mouse(*strip, QEvent::MouseButtonPress, chevron, Qt::LeftButton, Qt::NoModifier);
    mouse(*strip, QEvent::MouseButtonRelease, chevron, Qt::LeftButton, Qt::NoModifier);
    EXPECT_EQ(clicks, 1);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(strip, &leave);
    EXPECT_EQ(exited, 1);

    // A release away from the item it went down on is no click.
    const Rect backup = f.bar().itemStates()[5].frame;
    mouse(*strip, QEvent::MouseButtonPress, chevron, Qt::LeftButton, Qt::NoModifier);
    mouse(*strip, QEvent::MouseButtonRelease, backup, Qt::LeftButton, Qt::NoModifier);
    EXPECT_EQ(clicks, 1);

    // Ctrl-drag the dot to the left of every sample item: the dot now sits beyond them, and
    // the preferred positions say so.
    auto slotBefore = f.bar().slotOf(separator);
    const Rect dot = separator->button()->window()->frame();
    Rect farLeft = f.bar().itemStates().back().frame;
    mouse(*strip, QEvent::MouseButtonPress, dot, Qt::LeftButton, Qt::ControlModifier);
    mouse(*strip, QEvent::MouseMove, farLeft, Qt::LeftButton, Qt::ControlModifier, -20);
    mouse(*strip, QEvent::MouseButtonRelease, farLeft, Qt::LeftButton, Qt::ControlModifier, -20);
    EXPECT_EQ(clicks, 1);
    auto slotAfter = f.bar().slotOf(separator);
    ASSERT_TRUE(slotBefore && slotAfter);
    EXPECT_EQ(*slotAfter, 4u) << "beyond the chevron and the three sample items";
    EXPECT_LT(separator->button()->window()->frame().maxX(), farLeft.maxX());
    auto dotPos =
        f.host->userDefaults().object(platform::preferredPositionKey("quillet.separator"));
    auto chevronPos =
        f.host->userDefaults().object(platform::preferredPositionKey("quillet.toggle"));
    ASSERT_TRUE(dotPos && chevronPos);
    EXPECT_GT(*dotPos->asNumber(), *chevronPos->asNumber());

    // The system items do not move.
    const Rect clock = f.bar().itemStates()[0].frame;
    mouse(*strip, QEvent::MouseButtonPress, clock, Qt::LeftButton, Qt::ControlModifier);
    mouse(*strip, QEvent::MouseMove, farLeft, Qt::LeftButton, Qt::ControlModifier);
    mouse(*strip, QEvent::MouseButtonRelease, farLeft, Qt::LeftButton, Qt::ControlModifier);
    EXPECT_EQ(f.bar().itemStates()[0].frame, clock);
}

TEST(DesktopStatusBar, ItemMenusOpenUnderTheItemAndRunTheChosenActionAfterClosing) {
    Fixture f;
    auto [toggle, separator] = makeOwnItems(f.bar(), f.host->symbols());
    struct Delegate : platform::MenuDelegate {
        std::vector<std::string> calls;
        void menuWillOpen(platform::Menu&) override { calls.push_back("open"); }
        void menuDidClose(platform::Menu&) override { calls.push_back("close"); }
    };
    auto delegate = std::make_shared<Delegate>();
    auto menu = std::make_shared<platform::Menu>();
    menu->setDelegate(delegate);
    std::vector<std::string> chosen;
    menu->addItem({"First", [&] { chosen.push_back("First"); }, "", platform::ControlState::off});
    menu->addItem(platform::MenuItem::separator());
    menu->addItem({"Quit Quillet",
                   [&] {
                       chosen.push_back("Quit");
                       delegate->calls.push_back("action");
                   },
                   "q", platform::ControlState::on});

    QRect shownAt;
    QStringList titles;
    // When the menu is up: note where and what, then pick the second entry with the keyboard.
    QTimer::singleShot(0, [&] {
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(popup, nullptr);
        shownAt = popup->geometry();
        for (auto* a : popup->actions())
            titles << (a->isSeparator() ? QStringLiteral("-") : a->text());
        for (int key : {Qt::Key_Down, Qt::Key_Down, Qt::Key_Return}) {
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QApplication::sendEvent(popup, &press);
        }
    });
    // Quillet attaches the menu for one click, as the right-click status menu does.
    toggle->setMenu(menu);
    toggle->button()->performClick();
    toggle->setMenu(nullptr);

    EXPECT_EQ(titles, (QStringList{"First", "-", "Quit Quillet"}));
    EXPECT_EQ(chosen, std::vector<std::string>{"Quit"});
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"open", "close", "action"}));
    const QRect item = f.bar().strip()->localRect(toggle->button()->window()->frame());
    EXPECT_EQ(shownAt.top(), item.y() + item.height()) << "the menu hangs right under the strip";
    EXPECT_EQ(shownAt.left(), item.x());
}

TEST(DesktopStatusBar, ClicksOnOtherApplicationsItemsReachOnlyGlobalMonitors) {
    Fixture f;
    auto [toggle, separator] = makeOwnItems(f.bar(), f.host->symbols());
    std::vector<platform::EventType> global;
    int local = 0;
    auto& monitors = f.host->eventMonitors();
    monitors.addGlobalMonitor(eventMask(EventType::leftMouseDown) |
                                  eventMask(EventType::leftMouseUp),
                              [&](const platform::Event& e) { global.push_back(e.type); });
    monitors.addLocalMonitor(~std::uint64_t{0}, [&](const platform::Event& e) {
        ++local;
        return std::optional<platform::Event>(e);
    });
    auto* strip = f.bar().strip();
    Rect sample;
    for (auto& s : f.bar().itemStates())
        if (s.autosaveName == "vpn.item")
            sample = s.frame;
    mouse(*strip, QEvent::MouseButtonPress, sample, Qt::LeftButton, Qt::NoModifier);
    mouse(*strip, QEvent::MouseButtonRelease, sample, Qt::LeftButton, Qt::NoModifier);
    EXPECT_EQ(global, (std::vector<EventType>{EventType::leftMouseDown, EventType::leftMouseUp}));
    const Rect chevron = toggle->button()->window()->frame();
    mouse(*strip, QEvent::MouseButtonPress, chevron, Qt::LeftButton, Qt::NoModifier);
    mouse(*strip, QEvent::MouseButtonRelease, chevron, Qt::LeftButton, Qt::NoModifier);
    EXPECT_EQ(global.size(), 2u) << "a click on our own item is not another application's";
    EXPECT_EQ(local, 0);
}

TEST(DesktopStatusBar, StripShowsTheApplicationNameOnlyWhileRegular) {
    Fixture f;
    auto* strip = f.bar().strip();
    strip->resize(800, 24);
    // Text pixels: far from the strip's own colour, light or dark.
    auto textPixelsOnTheLeft = [&] {
        QImage shot = strip->grab().toImage();
        const int back = qGray(shot.pixel(2, 2));
        int text = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < 150 && x < shot.width(); ++x)
                text += std::abs(qGray(shot.pixel(x, y)) - back) > 100;
        return text;
    };
    f.host->application().setActivationPolicy(platform::ActivationPolicy::regular);
    EXPECT_GT(textPixelsOnTheLeft(), 30);
    f.host->application().setActivationPolicy(platform::ActivationPolicy::accessory);
    EXPECT_EQ(textPixelsOnTheLeft(), 0);
}

TEST(DesktopStatusBar, MainMenuShowsItsTitlesOpensTheirMenusAndBindsTheirKeys) {
    Fixture f;
    auto& app = f.host->application();
    auto* strip = f.bar().strip();
    strip->resize(800, 24);
    auto titles = [&] {
        QStringList out;
        for (auto& t : strip->menuTitles())
            out << (t.bold ? "*" : "") + t.title;
        return out;
    };
    app.setActivationPolicy(platform::ActivationPolicy::regular);
    EXPECT_EQ(titles(), QStringList{"*Quillet"}) << "a regular application shows its name";

    int quits = 0;
    auto appMenu = std::make_shared<platform::Menu>("Quillet");
    appMenu->addItem({"Quit Quillet", [&] { ++quits; }, "q", platform::ControlState::off});
    auto editMenu = std::make_shared<platform::Menu>("Edit");
    editMenu->addItem({"Cut", nullptr, "x", platform::ControlState::off});
    editMenu->addItem({"Copy", nullptr, "c", platform::ControlState::off});
    auto main = std::make_shared<platform::Menu>();
    platform::MenuItem quillet{"Quillet", nullptr, "", platform::ControlState::off};
    quillet.submenu = appMenu;
    platform::MenuItem edit{"Edit", nullptr, "", platform::ControlState::off};
    edit.submenu = editMenu;
    main->addItem(quillet);
    main->addItem(edit);
    app.setMainMenu(main);
    EXPECT_EQ(titles(), (QStringList{"*Quillet", "Edit"}));

    // Clicking the first title opens its menu under it; choosing Quit runs the action.
    QStringList shown;
    QTimer::singleShot(0, [&] {
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(popup, nullptr);
        for (auto* a : popup->actions())
            shown << a->text();
        for (int key : {Qt::Key_Down, Qt::Key_Return}) {
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QApplication::sendEvent(popup, &press);
        }
    });
    const QRect title = strip->menuTitles().front().rect;
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(title.center()),
                      strip->mapToGlobal(QPointF(title.center())), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(strip, &press);
    EXPECT_EQ(shown, QStringList{"Quit Quillet"});
    EXPECT_EQ(quits, 1);

    // Ctrl+Q works in the application's windows; Cut and Copy are left to the text fields.
    auto shortcuts = strip->findChildren<QShortcut*>();
    ASSERT_EQ(shortcuts.size(), 1);
    EXPECT_EQ(shortcuts[0]->key(), QKeySequence(QStringLiteral("Ctrl+Q")));
    EXPECT_EQ(shortcuts[0]->context(), Qt::ApplicationShortcut);
    emit shortcuts[0]->activated();
    EXPECT_EQ(quits, 2);

    // Without the menu, or as an accessory, nothing of it is left.
    app.setMainMenu(nullptr);
    EXPECT_TRUE(strip->findChildren<QShortcut*>().isEmpty());
    app.setMainMenu(main);
    app.setActivationPolicy(platform::ActivationPolicy::accessory);
    EXPECT_TRUE(titles().isEmpty());
    EXPECT_TRUE(strip->findChildren<QShortcut*>().isEmpty());
}

TEST(DesktopStatusBar, StatusAndWindowListDescribeEveryItemWhereItIs) {
    Fixture f;
    auto [toggle, separator] = makeOwnItems(f.bar(), f.host->symbols());
    placeLikeQuillet(f.bar(), toggle, separator);
    f.host->userDefaults().set("quillet.isCollapsed", true);
    separator->setLength(4000);
    // What the program adds to the status is asked for each time.
    f.host->addStatusSection(
        "collapsed", [&] { return f.host->userDefaults().boolForKey("quillet.isCollapsed"); });

    auto status = nlohmann::json::parse(f.host->statusJSON());
    EXPECT_EQ(status["collapsed"], true);
    EXPECT_EQ(status["activationPolicy"], "regular");
    ASSERT_EQ(status["items"].size(), 7u);
    int ownOnScreen = 0, samplesOnScreen = 0;
    for (auto& item : status["items"]) {
        if (item["own"] == true && item["onScreen"] == true)
            ++ownOnScreen;
        if (item["own"] == false && item["ownerPID"].get<int>() > 41000 && item["onScreen"])
            ++samplesOnScreen;
    }
    EXPECT_EQ(ownOnScreen, 2);
    EXPECT_EQ(samplesOnScreen, 0);

    // The window list: status windows at their level, bounds from the top left.
    auto info = f.host->windowList().copyWindowInfo(platform::windowListOptionAll, 0);
    ASSERT_TRUE(info && info->asArray());
    const auto screen = f.host->screens().mainScreen()->frame;
    bool foundChevron = false;
    for (auto& entry : *info->asArray()) {
        EXPECT_EQ(entry.find(platform::windowinfo::layer)->asInteger(),
                  platform::statusWindowLevel);
        auto number = *entry.find(platform::windowinfo::number)->asInteger();
        if (number == toggle->button()->window()->windowNumber()) {
            foundChevron = true;
            auto bounds = platform::rectFromDictionary(*entry.find(platform::windowinfo::bounds));
            ASSERT_TRUE(bounds);
            EXPECT_EQ(bounds->minY(), 0);
            EXPECT_EQ(bounds->maxX(), toggle->button()->window()->frame().maxX());
            EXPECT_EQ(*entry.find(platform::windowinfo::ownerPID)->asInteger(),
                      f.host->processInfo().processIdentifier);
        }
    }
    EXPECT_TRUE(foundChevron);
    std::uint32_t count = 0;
    EXPECT_EQ(f.host->windowList().getActiveDisplayList(0, nullptr, &count), 0);
    ASSERT_EQ(count, 1u);
    platform::DisplayID id = 0;
    EXPECT_EQ(f.host->windowList().getActiveDisplayList(1, &id, &count), 0);
    EXPECT_EQ(f.host->windowList().displayBounds(id),
              platform::makeRect(0, 0, screen.width(), screen.height()));
}

TEST(DesktopStatusBar, RemovedAndReleasedItemsLeaveTheBar) {
    Fixture f(std::vector<SampleItem>{});
    auto [toggle, separator] = makeOwnItems(f.bar(), f.host->symbols());
    EXPECT_EQ(f.bar().itemStates().size(), 4u);
    f.bar().removeStatusItem(separator);
    EXPECT_EQ(f.bar().itemStates().size(), 3u);
    toggle.reset();
    f.bar().layout();
    EXPECT_EQ(f.bar().itemStates().size(), 2u);
    // An item the bar let go of changes without reaching back into it.
    separator->setLength(30);
}

} // namespace
} // namespace desktop
