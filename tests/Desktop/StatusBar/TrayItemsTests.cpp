// Other programs' tray items in the strip, on a private session bus: a helper program
// publishes a StatusNotifierItem with a menu; the host shows it, follows its changes, hands it
// clicks and forgets it when the program ends. Also the pure parts: pixmaps, labels, addresses.
#include "tests/Desktop/DesktopTestSupport.h"
#include "tests/Desktop/PrivateBus.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/StatusBar/DBusMenu.h"
#include "Platform/Desktop/StatusBar/StripWindow.h"
#include "Platform/Desktop/StatusBar/TrayHost.h"
#include "Platform/Desktop/StatusBar/TrayIcons.h"
#include "Platform/Desktop/Windows/DesktopAppearance.h"
#include "Platform/Desktop/Windows/DesktopViews.h"
#include "Platform/Desktop/Windows/MenuPresenter.h"
#include "Platform/UserDefaults.h"
#include "Platform/WindowList.h"

#include <QApplication>
#include <QBuffer>
#include <QDeadlineTimer>
#include <QDir>
#include <QMenu>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <QWheelEvent>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>

namespace desktop {
namespace {

// --- pure parts ---

TEST(TrayPixmaps, ConvertNetworkOrderARGBAndPickTheBestSize) {
    // One pixel, alpha 0x80, red 0x11, green 0x22, blue 0x33, as it comes on the bus.
    TrayPixmap one{1, 1, QByteArray("\x80\x11\x22\x33", 4)};
    QImage image = imageFromTrayPixmap(one);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.pixel(0, 0), qRgba(0x11, 0x22, 0x33, 0x80));

    // Data that does not match the size, or no size at all, is no image.
    EXPECT_TRUE(imageFromTrayPixmap({2, 2, QByteArray(12, '\xff')}).isNull());
    EXPECT_TRUE(imageFromTrayPixmap({0, 0, QByteArray()}).isNull());
    EXPECT_TRUE(imageFromTrayPixmap({-1, -4, QByteArray(16, '\xff')}).isNull());
    EXPECT_TRUE(imageFromTrayPixmap({2000, 1, QByteArray(8000, '\xff')}).isNull());

    auto square = [](int side) {
        return TrayPixmap{side, side, QByteArray(side * side * 4, '\xff')};
    };
    const QVector<TrayPixmap> sizes{square(16), square(48), square(24), square(64)};
    EXPECT_EQ(bestTrayPixmap(sizes, 18).width(), 24) << "the smallest that is large enough";
    EXPECT_EQ(bestTrayPixmap(sizes, 16).width(), 16);
    EXPECT_EQ(bestTrayPixmap(sizes, 100).width(), 64) << "else the largest";
    EXPECT_TRUE(bestTrayPixmap({}, 18).isNull());
}

TEST(TrayMenus, LabelsTurnUnderscoreMnemonicsIntoQtsAndKeepAmpersands) {
    EXPECT_EQ(qtMenuLabel(QStringLiteral("_Open")), QStringLiteral("&Open"));
    EXPECT_EQ(qtMenuLabel(QStringLiteral("Save _As")), QStringLiteral("Save &As"));
    EXPECT_EQ(qtMenuLabel(QStringLiteral("A__B & C")), QStringLiteral("A_B && C"));
    EXPECT_EQ(qtMenuLabel(QStringLiteral("_One _Two")), QStringLiteral("&One Two"))
        << "one mnemonic only";
    EXPECT_EQ(qtMenuLabel(QStringLiteral("End_")), QStringLiteral("End"));
}

TEST(TrayAddresses, ReadServiceAndPathAsWatchersListThem) {
    auto a = parseTrayItemAddress(QStringLiteral(":1.42/org/ayatana/NotificationItem/x"));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->service, QStringLiteral(":1.42"));
    EXPECT_EQ(a->path, QStringLiteral("/org/ayatana/NotificationItem/x"));
    auto b = parseTrayItemAddress(QStringLiteral("org.kde.StatusNotifierItem-7-1"));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->path, QStringLiteral("/StatusNotifierItem"));
    EXPECT_FALSE(parseTrayItemAddress(QString()));
    EXPECT_FALSE(parseTrayItemAddress(QStringLiteral("/StatusNotifierItem")));
}

// --- on a bus ---

using test::PrivateBus;

// The helper program, with what it printed.
class Helper {
public:
    Helper(const QString& bus, QStringList arguments) {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
        process_.setProcessEnvironment(env);
        QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] {
            while (process_.canReadLine())
                lines_ << QString::fromUtf8(process_.readLine()).trimmed();
        });
        process_.start(QStringLiteral(QUILLET_TRAY_ITEM_HELPER), arguments);
        process_.waitForStarted(5000);
    }
    ~Helper() { stop(); }
    void stop() {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.kill();
        process_.waitForFinished(5000);
    }
    std::int32_t pid() const { return static_cast<std::int32_t>(process_.processId()); }
    bool waitFor(const QString& prefix, int timeoutMs = 5000) {
        return test::spinUntil([&] { return saw(prefix); }, timeoutMs);
    }
    bool saw(const QString& prefix) const { return count(prefix) > 0; }
    int count(const QString& prefix) const {
        int n = 0;
        for (const auto& l : lines_)
            n += l.startsWith(prefix) ? 1 : 0;
        return n;
    }
    // The last line that starts with `prefix`, without it.
    QString last(const QString& prefix) const {
        for (auto it = lines_.rbegin(); it != lines_.rend(); ++it)
            if (it->startsWith(prefix))
                return it->mid(prefix.size());
        return {};
    }
    void send(const QString& line) {
        process_.write((line + QLatin1Char('\n')).toUtf8());
        waitFor(QStringLiteral("done ") + line.section(QLatin1Char(' '), 0, 0));
        lines_.removeAll(QStringLiteral("done ") + line.section(QLatin1Char(' '), 0, 0));
    }
    // Sends a line without waiting for the answer (from inside an open menu's loop).
    void write(const QString& line) { process_.write((line + QLatin1Char('\n')).toUtf8()); }
    const QStringList& lines() const { return lines_; }

private:
    QProcess process_;
    QStringList lines_;
};

struct TrayFixture {
    test::TempDir dir;
    std::unique_ptr<DesktopHost> host;

    void make(const QString& bus, std::vector<SampleItem> samples = {}, bool giveWay = false) {
        host.reset();
        DesktopHost::Options o;
        o.configDirectory = dir.sub("config");
        o.sampleItems = std::move(samples);
        o.sampleItemsGiveWayToTrayItems = giveWay;
        o.singleInstance = false;
        o.bundleDirectory = dir.path();
        o.autostartDirectory = dir.sub("autostart");
        o.trayItems = true;
        o.trayBusAddress = bus.toStdString();
        host = std::make_unique<DesktopHost>(o);
    }
    TrayHost& tray() { return *host->trayHost(); }
    DesktopStatusBar& bar() { return host->desktopStatusBar(); }
    // The strip's state of the item with this autosave name, if it is in the strip.
    std::optional<DesktopStatusBar::ItemState> state(const std::string& autosaveName) {
        for (auto& s : bar().itemStates())
            if (s.autosaveName == autosaveName)
                return s;
        return std::nullopt;
    }
    std::shared_ptr<platform::StatusItem> statusItem(const std::string& autosaveName) {
        for (auto& i : tray().items())
            if (i.statusItem && i.statusItem->autosaveName() == autosaveName)
                return i.statusItem;
        return nullptr;
    }
    QRgb iconCentre(const std::string& autosaveName) {
        for (auto& i : tray().items())
            if (i.statusItem && i.statusItem->autosaveName() == autosaveName && !i.icon.isNull())
                return i.icon.pixel(i.icon.width() / 2, i.icon.height() / 2) & 0xffffff;
        return 0xdeadbe;
    }
    bool waitShown(const std::string& autosaveName) {
        return test::spinUntil([&] { return state(autosaveName).has_value(); });
    }
    bool waitGone(const std::string& autosaveName) {
        return test::spinUntil([&] { return !state(autosaveName).has_value(); });
    }
    std::optional<TrayHost::ItemInfo> info(const std::string& autosaveName) {
        for (auto& i : tray().items())
            if (i.statusItem && i.statusItem->autosaveName() == autosaveName)
                return i;
        return std::nullopt;
    }
};

#define REQUIRE_BUS(bus) REQUIRE_PRIVATE_BUS(bus)

TEST(TrayItems, ProvidedWatcherShowsAnItemAndFollowsItsChangesUntilItsProgramEnds) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    TrayFixture f;
    f.make(bus.address());
    EXPECT_EQ(f.tray().role(), TrayHost::Role::watcher) << "no watcher ran: Quillet is the one";

    Helper item(bus.address(), {"--id", "sync-app", "--title", "Sync", "--pixmap", "00ff00"});
    ASSERT_TRUE(item.waitFor("registered")) << item.lines().join('\n').toStdString();
    ASSERT_TRUE(f.waitShown("tray.sync-app"));
    auto s = *f.state("tray.sync-app");
    EXPECT_EQ(s.owner, "Sync");
    EXPECT_EQ(s.ownerPID, item.pid());
    EXPECT_FALSE(s.own);
    EXPECT_TRUE(s.onScreen);
    EXPECT_EQ(f.iconCentre("tray.sync-app"), 0x00ff00u) << "the 32-pixel pixmap, not the 16";
    auto statusItem = f.statusItem("tray.sync-app");
    ASSERT_TRUE(statusItem);
    EXPECT_EQ(statusItem->button()->toolTip(), "Test tooltip");

    // The window list names its program; the program's icon is the tray icon, for the panel.
    auto list = f.host->windowList().copyWindowInfo(0, 0);
    bool listed = false;
    for (const auto& w : *list->asArray())
        if (auto* pid = w.find(platform::windowinfo::ownerPID))
            listed = listed || pid->asInteger() == item.pid();
    EXPECT_TRUE(listed);
    auto app = f.host->workspace().runningApplication(item.pid());
    ASSERT_TRUE(app);
    EXPECT_EQ(app->localizedName(), "Sync");
    ASSERT_TRUE(app->icon());
    const QString source = imageSource(*app->icon());
    EXPECT_TRUE(source.startsWith(QStringLiteral("image://quillet/tray/"))) << source.toStdString();
    const int number = source.section(QLatin1Char('/'), 4, 4).toInt();
    const QImage panelIcon = trayicons::get(number);
    ASSERT_FALSE(panelIcon.isNull());
    EXPECT_EQ(panelIcon.pixel(panelIcon.width() / 2, panelIcon.height() / 2) & 0xffffff, 0x00ff00u);

    // Live changes: tooltip, title, icon, attention, passive and back.
    item.send("tooltip Up to date");
    EXPECT_TRUE(test::spinUntil([&] { return statusItem->button()->toolTip() == "Up to date"; }));
    item.send("title Sync Pro");
    EXPECT_TRUE(test::spinUntil([&] { return f.state("tray.sync-app")->owner == "Sync Pro"; }));
    item.send("pixmap 0000ff");
    EXPECT_TRUE(test::spinUntil([&] { return f.iconCentre("tray.sync-app") == 0x0000ffu; }));
    EXPECT_NE(imageSource(*app->icon()), source) << "a new icon is a new image for the panel";
    item.send("attention-pixmap ff00ff");
    item.send("status NeedsAttention");
    EXPECT_TRUE(test::spinUntil([&] { return f.iconCentre("tray.sync-app") == 0xff00ffu; }));
    item.send("status Active");
    EXPECT_TRUE(test::spinUntil([&] { return f.iconCentre("tray.sync-app") == 0x0000ffu; }));
    item.send("status Passive");
    item.send("status Active");
    EXPECT_TRUE(test::spinUntil([&] { return f.iconCentre("tray.sync-app") == 0x0000ffu; }));
    EXPECT_TRUE(f.state("tray.sync-app")) << "a passive item is not dropped";

    // The program ends: its item and its application go.
    const auto pid = item.pid();
    item.stop();
    EXPECT_TRUE(f.waitGone("tray.sync-app"));
    EXPECT_FALSE(f.host->workspace().runningApplication(pid));
}

TEST(TrayItems, IconsComeFromTheItemsThemePathBeforeItsPixmapsWithTheOverlayInTheCorner) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    TrayFixture f;
    f.make(bus.address());
    // The program's own icon theme directory, with one icon in it.
    const std::string theme = f.dir.sub("icons");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(theme + "/hicolor/24x24/apps")));
    QImage yellow(24, 24, QImage::Format_ARGB32);
    yellow.fill(QColor(0xff, 0xff, 0x00));
    ASSERT_TRUE(
        yellow.save(QString::fromStdString(theme + "/hicolor/24x24/apps/quillet-test.png")));

    Helper item(bus.address(), {"--id", "themed", "--icon-name", "quillet-test",
                                "--icon-theme-path", QString::fromStdString(theme)});
    ASSERT_TRUE(f.waitShown("tray.themed"));
    EXPECT_EQ(f.iconCentre("tray.themed"), 0xffff00u) << "the named icon, not the red pixmap";

    auto corner = [&] {
        for (auto& i : f.tray().items())
            if (i.statusItem && !i.icon.isNull())
                return i.icon.pixel(i.icon.width() - 2, i.icon.height() - 2) & 0xffffff;
        return 0xdeadbeu;
    };
    item.send("overlay-pixmap 0000ff");
    // Drawn at half the icon's size: the program's 16-pixel overlay (dark), not its 32 (blue).
    EXPECT_TRUE(test::spinUntil([&] { return corner() == 0x202020u; }));
    auto topLeft = [&] {
        for (auto& i : f.tray().items())
            if (i.statusItem && !i.icon.isNull())
                return i.icon.pixel(2, 2) & 0xffffff;
        return 0xdeadbeu;
    };
    EXPECT_EQ(topLeft(), 0xffff00u) << "the overlay covers the lower right quarter only";

    // An unknown name falls back to the pixmaps.
    item.send("icon-name no-such-icon-anywhere");
    EXPECT_TRUE(test::spinUntil([&] { return topLeft() == 0xff0000u; }));

    // A pixmap whose size does not match its data is passed over for the sound one.
    item.send("lying-pixmap 00ffff");
    EXPECT_TRUE(test::spinUntil([&] { return topLeft() == 0x00ffffu; }));
}

TEST(TrayItems, RegistersWithTheSessionsWatcherAndTakesOverWhenItGoes) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    Helper watcher(bus.address(), {"--watcher"});
    ASSERT_TRUE(watcher.waitFor("ready"));
    // An item registered before Quillet starts, one after; one by a well-known name.
    Helper first(bus.address(), {"--id", "early", "--title", "Early", "--well-known-name"});
    ASSERT_TRUE(first.waitFor("registered"));

    TrayFixture f;
    f.make(bus.address());
    EXPECT_EQ(f.tray().role(), TrayHost::Role::host);
    EXPECT_TRUE(watcher.waitFor("host-registered org.kde.StatusNotifierHost-"));
    EXPECT_TRUE(f.waitShown("tray.early")) << "listed by the watcher";

    Helper second(bus.address(), {"--id", "late", "--title", "Late"});
    ASSERT_TRUE(second.waitFor("registered"));
    EXPECT_TRUE(f.waitShown("tray.late")) << "announced by the watcher";
    EXPECT_EQ(f.state("tray.late")->ownerPID, second.pid());
    EXPECT_EQ(f.state("tray.early")->ownerPID, first.pid()) << "the owner of the well-known name";

    first.stop();
    EXPECT_TRUE(f.waitGone("tray.early"));
    EXPECT_TRUE(f.state("tray.late"));

    // The watcher ends: Quillet provides one, and the remaining item registers with it again.
    watcher.stop();
    EXPECT_TRUE(test::spinUntil([&] { return f.tray().role() == TrayHost::Role::watcher; }));
    EXPECT_TRUE(f.waitShown("tray.late"));
}

TEST(TrayItems, HandsTheWatcherNameToADesktopWatcherAndHostsItsItems) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    TrayFixture f;
    f.make(bus.address());
    ASSERT_EQ(f.tray().role(), TrayHost::Role::watcher);
    Helper item(bus.address(), {"--id", "stays"});
    ASSERT_TRUE(f.waitShown("tray.stays"));

    // A restarted panel's watcher takes the name over.
    Helper panel(bus.address(), {"--watcher", "--replace"});
    ASSERT_TRUE(panel.waitFor("ready")) << panel.lines().join('\n').toStdString();
    EXPECT_TRUE(test::spinUntil([&] { return f.tray().role() == TrayHost::Role::host; }));
    EXPECT_TRUE(panel.waitFor("host-registered org.kde.StatusNotifierHost-"));
    EXPECT_TRUE(panel.waitFor("item-registered"));
    EXPECT_TRUE(f.waitShown("tray.stays")) << "the item, now through the panel's watcher";
}

// Runs `pick` on the menu once it is open, then closes it.
void whenMenuOpens(std::function<void(QMenu&)> pick) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, pick] {
        auto* menu = openMenu();
        if (!menu || !menu->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        pick(*menu);
        menu->close();
    });
    timer->start();
}

TEST(TrayItems, ClicksActivateTheItemAndOpenItsMenu) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    TrayFixture f;
    f.make(bus.address());
    Helper item(bus.address(), {"--id", "menu-app"});
    ASSERT_TRUE(f.waitShown("tray.menu-app"));
    auto statusItem = f.statusItem("tray.menu-app");
    const QRect frame =
        qtFromCocoa(f.bar().windowOf(statusItem)->frame(), DesktopScreens::primaryGeometry());
    const QString at = QStringLiteral("%1 %2").arg(frame.left()).arg(frame.bottom() + 1);

    EXPECT_TRUE(f.bar().clickForeign(statusItem, ForeignClick::primary));
    EXPECT_TRUE(item.waitFor("activate " + at)) << item.lines().join('\n').toStdString();
    f.bar().clickForeign(statusItem, ForeignClick::middle);
    EXPECT_TRUE(item.waitFor("secondary-activate " + at));

    // A right click opens the program's menu under the item.
    QStringList shown;
    QStringList submenu;
    QPoint menuAt;
    whenMenuOpens([&](QMenu& menu) {
        menuAt = menu.geometry().topLeft();
        for (auto* a : menu.actions()) {
            if (!a->isVisible())
                continue;
            QString line = a->isSeparator() ? QStringLiteral("-") : a->text();
            if (!a->isEnabled())
                line += QStringLiteral(" (disabled)");
            if (a->isCheckable())
                line += a->isChecked() ? QStringLiteral(" [x]") : QStringLiteral(" [ ]");
            if (a->actionGroup())
                line += QStringLiteral(" (radio)");
            shown << line;
            if (a->menu())
                for (auto* sub : a->menu()->actions())
                    submenu << sub->text();
        }
        menu.actions().first()->trigger();
    });
    f.bar().clickForeign(statusItem, ForeignClick::secondary);
    ASSERT_TRUE(item.waitFor("event 1 clicked t")) << item.lines().join('\n').toStdString();
    EXPECT_TRUE(item.saw("about-to-show 0"));
    EXPECT_TRUE(item.saw("get-layout 0 -1"));
    EXPECT_EQ(shown,
              (QStringList{"&Open", "-", "Disabled (disabled)", "Check [x]", "Radio A [ ] (radio)",
                           "Radio B [x] (radio)", "&More", "A_B && C"}));
    EXPECT_EQ(submenu, QStringList{"Sub item"});
    EXPECT_EQ(menuAt, QPoint(frame.left(), frame.bottom() + 1)) << "the menu hangs under the item";

    // An entry of a submenu reports its own id.
    whenMenuOpens([](QMenu& menu) {
        for (auto* a : menu.actions())
            if (a->menu())
                a->menu()->actions().first()->trigger();
    });
    f.bar().clickForeign(statusItem, ForeignClick::secondary);
    EXPECT_TRUE(item.waitFor("event 9 clicked"));

    // Without a menu, a right click asks the program for its own context menu; an item that is
    // only a menu opens it on a left click too.
    Helper plain(bus.address(), {"--id", "plain", "--no-menu"});
    ASSERT_TRUE(f.waitShown("tray.plain"));
    f.bar().clickForeign(f.statusItem("tray.plain"), ForeignClick::secondary);
    EXPECT_TRUE(plain.waitFor("context-menu "));
    Helper menuOnly(bus.address(), {"--id", "menu-only", "--item-is-menu"});
    ASSERT_TRUE(f.waitShown("tray.menu-only"));
    auto seen = std::make_shared<bool>(false);
    whenMenuOpens([seen](QMenu&) { *seen = true; });
    f.bar().clickForeign(f.statusItem("tray.menu-only"), ForeignClick::primary);
    EXPECT_TRUE(menuOnly.waitFor("get-layout"));
    EXPECT_FALSE(menuOnly.saw("activate"));
    // Shown and closed here: neither the menu nor its watch outlives the test.
    EXPECT_TRUE(test::spinUntil([&] { return *seen; }));
}

// Steps run one after another while a menu is open, each once its condition holds; the menu
// closes after the last one, or when a step waits longer than `timeoutMs` (the step's name is
// then in `stuck`).
struct MenuScript {
    struct Step {
        std::string name;
        std::function<bool(QMenu&)> ready;
        std::function<void(QMenu&)> act;
    };
    std::vector<Step> steps;
    std::string stuck;
    bool finished = false;
    // Owned here: the watch ends with the script, whatever happened.
    QTimer timer;
    std::size_t index = 0;
    QDeadlineTimer deadline;

    void run(int timeoutMs = 8000) {
        timer.setInterval(10);
        deadline.setRemainingTime(timeoutMs);
        QObject::connect(&timer, &QTimer::timeout, [this, timeoutMs] {
            auto* menu = openMenu();
            if (!menu || !menu->isVisible())
                return;
            while (index < steps.size()) {
                auto& step = steps[index];
                if (step.ready && !step.ready(*menu)) {
                    if (deadline.hasExpired()) {
                        stuck = step.name;
                        timer.stop();
                        menu->close();
                    }
                    return;
                }
                if (step.act)
                    step.act(*menu);
                ++index;
                deadline.setRemainingTime(timeoutMs);
                // A step that closes the menu (a choice) ends the script.
                if (!menu->isVisible()) {
                    finished = index == steps.size();
                    timer.stop();
                    return;
                }
            }
            finished = true;
            timer.stop();
            menu->close();
        });
        timer.start();
    }
};

QAction* actionNamed(QMenu& menu, const QString& text) {
    for (auto* a : menu.actions())
        if (a->text() == text)
            return a;
    return nullptr;
}

QStringList texts(QMenu* menu) {
    QStringList out;
    if (menu)
        for (auto* a : menu->actions())
            out << a->text();
    return out;
}

TEST(TrayItems, MenusFollowTheProgramWhileOpenAndEverySubmenuIsAskedAsItOpens) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    TrayFixture f;
    f.make(bus.address());
    Helper item(bus.address(), {"--id", "network", "--live-menu"});
    ASSERT_TRUE(f.waitShown("tray.network"));
    auto statusItem = f.statusItem("tray.network");

    QPointer<QMenu> networks, more;
    QString shortcut;
    QRgb iconColour = 0;
    MenuScript script;
    script.steps = {
        {"the menu as read", nullptr,
         [&](QMenu& menu) {
             // A submenu the program fills only when it opens is a submenu, not a dead entry.
             auto* nets = actionNamed(menu, "&Networks");
             networks = nets ? nets->menu() : nullptr;
             auto* m = actionNamed(menu, "&More");
             more = m ? m->menu() : nullptr;
             if (auto* save = actionNamed(menu, "Save")) {
                 shortcut = save->shortcut().toString(QKeySequence::PortableText);
                 const QImage icon = save->icon().pixmap(16, 16).toImage();
                 iconColour = icon.isNull() ? 0 : icon.pixel(8, 8) & 0xffffff;
             }
             if (networks)
                 networks->popup(menu.geometry().topRight());
         }},
        {"the lazy submenu asked for and filled as it opens",
         [&](QMenu&) {
             return networks && texts(networks) == QStringList({"Home", "Office"});
         },
         [&](QMenu&) { item.write("networks Home,Cafe,Office"); }},
        {"a new network while open",
         [&](QMenu&) {
             return networks && texts(networks) == QStringList({"Home", "Cafe", "Office"});
         },
         [&](QMenu&) {
             item.write("flood-layout 300");
             item.write("label 1 _Open Later");
             item.write("unshortcut");
             item.write("hide 4");
         }},
        {"properties changed while open",
         [&](QMenu& menu) {
             auto* save = actionNamed(menu, "Save");
             auto* check = actionNamed(menu, "Check");
             return actionNamed(menu, "&Open Later") && save && save->shortcut().isEmpty() &&
                    check && !check->isVisible();
         },
         [&](QMenu& menu) {
             networks->close();
             if (more)
                 more->popup(menu.geometry().topRight());
         }},
        {"a submenu that changed as it opened, read again",
         [&](QMenu&) {
             return more && texts(more) == QStringList({"Sub item", "Fresh item"});
         },
         [&](QMenu&) {
             more->close();
             networks->popup(networks->pos());
         }},
        {"a choice in the changed list",
         [&](QMenu&) { return networks && networks->isVisible() && texts(networks).size() == 3; },
         [&](QMenu&) { actionNamed(*networks, "Cafe")->trigger(); }},
    };
    script.run();
    f.bar().clickForeign(statusItem, ForeignClick::secondary);
    ASSERT_TRUE(test::spinUntil([&] { return script.finished || !script.stuck.empty(); }, 30000))
        << "the menu closed before the script ended\n"
        << item.lines().join('\n').toStdString();
    EXPECT_TRUE(script.stuck.empty()) << "stuck at: " << script.stuck << "\n"
                                      << item.lines().join('\n').toStdString()
                                      << "\nnetworks: " << texts(networks).join(',').toStdString()
                                      << "\nmore: " << texts(more).join(',').toStdString();
    EXPECT_EQ(shortcut, "Ctrl+S");
    EXPECT_EQ(iconColour, 0x0000ffu) << "the entry's PNG icon";
    EXPECT_TRUE(item.waitFor("event 101 clicked")) << item.lines().join('\n').toStdString();
    EXPECT_TRUE(item.saw("about-to-show 11"));
    EXPECT_TRUE(item.saw("get-layout 11 -1"));
    EXPECT_TRUE(item.saw("about-to-show 8"));
    EXPECT_TRUE(item.saw("get-layout 8 -1"));
    EXPECT_EQ(item.count("get-layout 0 "), 1) << "nothing but what changed is read again";
    // Asked for as it opened, after the new list, then at most once more per read under way
    // for a flood of the same news.
    EXPECT_GE(item.count("get-layout 11 "), 3);
    EXPECT_LE(item.count("get-layout 11 "), 8) << "a flood of LayoutUpdated is read a few times";
}

TEST(TrayItems, LabelsShowBesideIconsSymbolicIconsTakeTheStripsColourPassiveItemsWaitHidden) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    // The dark strip, where a symbolic icon drawn as its theme draws it would hardly show.
    const char* scheme = std::getenv("QUILLET_COLOR_SCHEME");
    const std::optional<std::string> savedScheme =
        scheme ? std::optional<std::string>(scheme) : std::nullopt;
    ::setenv("QUILLET_COLOR_SCHEME", "dark", 1);
    struct Restore {
        const std::optional<std::string>& saved;
        ~Restore() {
            if (saved)
                ::setenv("QUILLET_COLOR_SCHEME", saved->c_str(), 1);
            else
                ::unsetenv("QUILLET_COLOR_SCHEME");
        }
    } restore{savedScheme};
    TrayFixture f;
    f.make(bus.address());
    ASSERT_TRUE(f.host->appearance().dark());
    // Quillet's chevron and dot, where it puts them at first launch.
    auto& d = f.host->userDefaults();
    d.set(platform::preferredPositionKey("quillet.toggle"), 0.0);
    d.set(platform::preferredPositionKey("quillet.separator"), 1.0);
    auto toggle = f.bar().statusItem(platform::squareStatusItemLength);
    toggle->setAutosaveName("quillet.toggle");
    auto dot = f.bar().statusItem(24);
    dot->setAutosaveName("quillet.separator");

    // Icons drawn dark, as symbolic icons of the usual themes are, one of them symbolic.
    const std::string theme = f.dir.sub("icons");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(theme + "/hicolor/24x24/apps")));
    QImage dark(24, 24, QImage::Format_ARGB32);
    dark.fill(QColor(0x2e, 0x34, 0x36));
    for (const char* name : {"quillet-net-symbolic", "quillet-net"})
        ASSERT_TRUE(
            dark.save(QString::fromStdString(theme + "/hicolor/24x24/apps/" + name + ".png")));
    Helper item(bus.address(), {"--id", "net", "--icon-name", "quillet-net-symbolic",
                                "--icon-theme-path", QString::fromStdString(theme)});
    ASSERT_TRUE(f.waitShown("tray.net"));
    auto statusItem = f.statusItem("tray.net");
    auto& strip = *f.bar().strip();
    auto frame = [&] { return strip.localRect(f.bar().windowOf(statusItem)->frame()); };
    auto centre = [&] {
        const QRect r = frame();
        return strip.grab().toImage().pixelColor(r.left() + 13, r.center().y());
    };
    EXPECT_TRUE(test::spinUntil([&] { return centre().lightness() > 200; }))
        << "a symbolic icon in the strip's light text colour, not "
        << centre().name().toStdString();
    // The hidden-items panel draws it in its own text colour too.
    auto panelIcon = [&] {
        auto app = f.host->workspace().runningApplication(item.pid());
        const QString source = app && app->icon() ? imageSource(*app->icon()) : QString();
        const QImage image = hostImage(source, 24);
        return std::make_pair(source, image.isNull() ? QColor() : image.pixelColor(12, 12));
    };
    EXPECT_TRUE(panelIcon().first.endsWith(QStringLiteral("/template")));
    EXPECT_GT(panelIcon().second.lightness(), 200) << panelIcon().second.name().toStdString();
    item.send("icon-name quillet-net");
    EXPECT_TRUE(test::spinUntil([&] { return centre().name() == QStringLiteral("#2e3436"); }))
        << "another icon keeps its own colours, not " << centre().name().toStdString();
    EXPECT_FALSE(panelIcon().first.endsWith(QStringLiteral("/template")));
    EXPECT_EQ(panelIcon().second.name(), QStringLiteral("#2e3436"));

    // A label beside the icon: the item grows to hold it and the text is drawn there.
    const double plainWidth = frame().width();
    auto inkRightOfIcon = [&] {
        const QImage shot = strip.grab().toImage();
        const QRect r = frame();
        const QColor back = shot.pixelColor(2, 12);
        int ink = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left() + static_cast<int>(TrayHost::itemWidth); x <= r.right(); ++x)
                ink += std::abs(shot.pixelColor(x, y).lightness() - back.lightness()) > 80;
        return ink;
    };
    item.send("ayatana-label 73% \u202eleft\tline");
    EXPECT_TRUE(test::spinUntil([&] { return frame().width() > plainWidth + 20; }));
    EXPECT_EQ(f.bar().foreignSpec(statusItem)->label, QStringLiteral("73% left line"))
        << "one line, no direction overrides";
    EXPECT_GT(inkRightOfIcon(), 20);
    item.send("ayatana-label " + QString(300, 'x'));
    EXPECT_TRUE(test::spinUntil(
        [&] { return f.bar().foreignSpec(statusItem)->label.size() == TrayHost::maxLabelLength; }));
    EXPECT_LE(frame().width(), TrayHost::itemWidth + TrayHost::maxLabelWidth);
    item.send("ayatana-label ");
    EXPECT_TRUE(test::spinUntil([&] { return frame().width() == plainWidth; }));

    // Passive: beyond the dot, where collapsing hides it and the panel lists it; back on the
    // shown side when it is active again.
    auto order = [&] {
        std::vector<std::string> out;
        for (auto& i : f.bar().itemsFromEdge())
            out.push_back(i->autosaveName());
        return out;
    };
    const std::vector<std::string> shownSide{"com.apple.clock", "com.apple.controlcenter",
                                             "quillet.toggle", "tray.net", "quillet.separator"};
    const std::vector<std::string> hiddenSide{"com.apple.clock", "com.apple.controlcenter",
                                              "quillet.toggle", "quillet.separator", "tray.net"};
    EXPECT_EQ(order(), shownSide);
    item.send("status Passive");
    EXPECT_TRUE(test::spinUntil([&] { return order() == hiddenSide; }));
    EXPECT_TRUE(f.state("tray.net")) << "still an item, for the hidden-items panel";
    item.send("status Active");
    EXPECT_TRUE(test::spinUntil([&] { return order() == shownSide; }));
    // One that starts passive starts hidden.
    Helper quiet(bus.address(), {"--id", "quiet", "--status", "Passive"});
    ASSERT_TRUE(f.waitShown("tray.quiet"));
    EXPECT_EQ(order().back(), "tray.quiet");
}

TEST(TrayMenus, ShortcutsAndIconsReadAsTheProgramMeantThem) {
    auto keys = [](QList<QStringList> s) {
        return dbusMenuShortcut(s).toString(QKeySequence::PortableText).toStdString();
    };
    EXPECT_EQ(keys({{"Control", "S"}}), "Ctrl+S");
    EXPECT_EQ(keys({{"Control", "Shift", "s"}}), "Ctrl+Shift+S");
    EXPECT_EQ(keys({{"Super", "Alt", "F5"}}), "Meta+Alt+F5");
    EXPECT_EQ(keys({{"Control", "plus"}}), "Ctrl++");
    EXPECT_EQ(keys({{"Control", "X"}, {"Control", "C"}}), "Ctrl+X, Ctrl+C");
    EXPECT_EQ(keys({{"Return"}}), "Return");
    EXPECT_EQ(keys({{"Control"}}), "") << "modifiers alone are no shortcut";
    EXPECT_EQ(keys({{"S", "Control"}}), "") << "the key comes last";
    EXPECT_EQ(keys({{"Control", "NoSuchKeyAnywhere"}}), "");
    EXPECT_EQ(keys({{"Control", "a,b"}}), "");
    EXPECT_EQ(keys({{}}), "");
    EXPECT_EQ(keys({{"A"}, {"B"}, {"C"}, {"D"}, {"E"}}), "") << "at most four combinations";

    DBusMenuEntry e;
    QImage red(16, 16, QImage::Format_ARGB32);
    red.fill(QColor(0xff, 0, 0));
    QBuffer buffer(&e.iconData);
    buffer.open(QIODevice::WriteOnly);
    red.save(&buffer, "PNG");
    buffer.close();
    EXPECT_EQ(dbusMenuIcon(e).pixmap(16, 16).toImage().pixel(8, 8) & 0xffffff, 0xff0000u);
    QImage huge(4000, 4000, QImage::Format_ARGB32);
    huge.fill(Qt::red);
    e.iconData.clear();
    buffer.open(QIODevice::WriteOnly);
    huge.save(&buffer, "PNG");
    buffer.close();
    EXPECT_TRUE(dbusMenuIcon(e).isNull()) << "an image too large to be an icon is none";
    e.iconData = QByteArray("\x89PNG\r\n\x1a\n garbage", 17);
    EXPECT_TRUE(dbusMenuIcon(e).isNull());

    // Removed properties go back to their defaults; others are untouched.
    DBusMenuEntry f;
    applyDBusMenuProperties(f, {{"label", "_Go"},
                                {"enabled", false},
                                {"children-display", "submenu"},
                                {"toggle-state", QStringLiteral("not a number")}});
    EXPECT_EQ(f.label, "_Go");
    EXPECT_FALSE(f.enabled);
    EXPECT_TRUE(f.opensSubmenu()) << "a submenu before its entries are known";
    EXPECT_EQ(f.toggleState, -1) << "a mistyped value is ignored";
    resetDBusMenuProperties(f, {"enabled", "children-display"});
    EXPECT_TRUE(f.enabled);
    EXPECT_FALSE(f.opensSubmenu());
    EXPECT_EQ(f.label, "_Go");
}

TEST(TrayItems, NewItemsStartShownAndKeepWhereTheyAreDraggedById) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    TrayFixture f;
    auto ownItems = [&] {
        // Quillet's chevron and dot, where it puts them at first launch.
        auto& d = f.host->userDefaults();
        if (!d.object(platform::preferredPositionKey("quillet.toggle"))) {
            d.set(platform::preferredPositionKey("quillet.toggle"), 0.0);
            d.set(platform::preferredPositionKey("quillet.separator"), 1.0);
        }
        auto toggle = f.bar().statusItem(platform::squareStatusItemLength);
        toggle->setAutosaveName("quillet.toggle");
        auto dot = f.bar().statusItem(24);
        dot->setAutosaveName("quillet.separator");
        return std::make_pair(toggle, dot);
    };
    auto order = [&] {
        std::vector<std::string> out;
        for (auto& item : f.bar().itemsFromEdge())
            out.push_back(item->autosaveName());
        return out;
    };
    f.make(bus.address());
    auto own = ownItems();
    {
        Helper item(bus.address(), {"--id", "keeper"});
        ASSERT_TRUE(f.waitShown("tray.keeper"));
        EXPECT_EQ(order(),
                  (std::vector<std::string>{"com.apple.clock", "com.apple.controlcenter",
                                            "quillet.toggle", "tray.keeper", "quillet.separator"}))
            << "between the chevron and the dot: shown";
        // Dragged beyond the dot, where collapsing hides it.
        f.bar().drag(f.statusItem("tray.keeper"), 2);
        EXPECT_EQ(order().back(), "tray.keeper");
    }
    ASSERT_TRUE(f.waitGone("tray.keeper"));
    own = {};
    // Quillet starts again: the item comes back where it was dragged.
    f.make(bus.address());
    own = ownItems();
    Helper item(bus.address(), {"--id", "keeper"});
    ASSERT_TRUE(f.waitShown("tray.keeper"));
    EXPECT_EQ(order().back(), "tray.keeper");
    // Another item, new to Quillet, still starts on the shown side.
    Helper other(bus.address(), {"--id", "newcomer"});
    ASSERT_TRUE(f.waitShown("tray.newcomer"));
    auto o = order();
    auto pos = [&](const std::string& n) { return std::find(o.begin(), o.end(), n) - o.begin(); };
    EXPECT_LT(pos("tray.newcomer"), pos("quillet.separator"));
}

TEST(TrayItems, BuiltInSamplesGiveWayToTheFirstTrayItemAndRequestedOnesStay) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    const std::vector<SampleItem> samples{
        {"Notes", 41001, "N", 26, "notes.item", std::nullopt, ""}};
    for (bool giveWay : {true, false}) {
        TrayFixture f;
        f.make(bus.address(), samples, giveWay);
        ASSERT_TRUE(f.state("notes.item"));
        ASSERT_TRUE(f.host->workspace().runningApplication(41001));
        Helper item(bus.address(), {"--id", "real"});
        ASSERT_TRUE(f.waitShown("tray.real"));
        EXPECT_EQ(f.state("notes.item").has_value(), !giveWay);
        EXPECT_EQ(f.host->workspace().runningApplication(41001) != nullptr, !giveWay);
    }
}

// --- programs that misbehave ---

TEST(TrayItems, ThemePathsAreReadOnlyWhereAThemeKeepsIconsAndNeverHoldUpTheStrip) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    TrayFixture f;
    f.make(bus.address());
    // An icon buried deeper than any theme keeps one is not found: the pixmap is drawn.
    const std::string theme = f.dir.sub("buried");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(theme + "/some/deep/folder")));
    QImage yellow(24, 24, QImage::Format_ARGB32);
    yellow.fill(QColor(0xff, 0xff, 0x00));
    ASSERT_TRUE(yellow.save(QString::fromStdString(theme + "/some/deep/folder/buried.png")));
    Helper buried(bus.address(), {"--id", "buried", "--icon-name", "buried", "--icon-theme-path",
                                  QString::fromStdString(theme), "--pixmap", "00ff00"});
    ASSERT_TRUE(f.waitShown("tray.buried"));
    EXPECT_EQ(f.iconCentre("tray.buried"), 0x00ff00u) << "no walk of the theme path's tree";
    // The flat form, right in the folder, is one place a theme keeps icons.
    ASSERT_TRUE(yellow.save(QString::fromStdString(theme + "/flat.png")));
    buried.send("icon-name flat");
    EXPECT_TRUE(test::spinUntil([&] { return f.iconCentre("tray.buried") == 0xffff00u; }));

    // The whole file system as a theme path, the icon changing all the time: the item shows
    // with its pixmap and the strip keeps answering (another item arrives meanwhile).
    Helper root(bus.address(),
                {"--id", "rooted", "--icon-name", "quillet-changing-0", "--icon-theme-path", "/",
                 "--icon-every", "100", "--pixmap", "0000ff"});
    ASSERT_TRUE(f.waitShown("tray.rooted"));
    EXPECT_EQ(f.iconCentre("tray.rooted"), 0x0000ffu);
    Helper after(bus.address(), {"--id", "after"});
    EXPECT_TRUE(f.waitShown("tray.after"));
}

TEST(TrayItems, AnItemThatAnswersLateOrFailsAtFirstIsAskedAgainUntilItShows) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    TrayFixture f;
    f.make(bus.address());
    // Fails twice, then answers.
    Helper failing(bus.address(), {"--id", "failing", "--failing-getall", "2"});
    EXPECT_TRUE(test::spinUntil([&] { return f.state("tray.failing").has_value(); }, 15000))
        << failing.lines().join('\n').toStdString();
    EXPECT_GE(failing.count("get-all"), 3);
    // Busy past the call's deadline at first (a program starting at login).
    Helper slow(bus.address(), {"--id", "slow", "--slow-getall", "6000"});
    EXPECT_TRUE(test::spinUntil([&] { return f.state("tray.slow").has_value(); }, 15000))
        << slow.lines().join('\n').toStdString();
}

TEST(TrayItems, TheWatcherTakesRegistrationsOnlyFromANamesOwnerAndWithinBounds) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    TrayFixture f;
    f.make(bus.address());
    ASSERT_EQ(f.tray().role(), TrayHost::Role::watcher);
    Helper owner(bus.address(), {"--id", "owner", "--well-known-name"});
    ASSERT_TRUE(f.waitShown("tray.owner"));
    Helper other(bus.address(), {"--id", "other"});
    ASSERT_TRUE(f.waitShown("tray.other"));
    ASSERT_TRUE(other.waitFor("registered"));

    // Another program's name, a name nobody owns, another connection's unique name: refused.
    other.send(QStringLiteral("register org.kde.StatusNotifierItem-%1-1").arg(owner.pid()));
    ASSERT_TRUE(other.waitFor("register-failed")) << other.lines().join('\n').toStdString();
    other.send("register org.example.NobodyOwnsThis");
    EXPECT_TRUE(test::spinUntil([&] { return other.count("register-failed") == 2; }));
    other.send("register :1.9999");
    EXPECT_TRUE(test::spinUntil([&] { return other.count("register-failed") == 3; }));
    EXPECT_EQ(other.count("registered"), 1);
    EXPECT_EQ(f.tray().items().size(), 2u);

    // A flood of registrations from one connection: a few are taken, the rest refused, and
    // the strip still takes a newcomer.
    other.send("flood 1000");
    ASSERT_TRUE(other.waitFor("flooded ", 20000));
    const int taken = other.last("flooded ").toInt();
    EXPECT_LE(taken, TrayWatcher::maxItemsPerConnection);
    EXPECT_LE(f.tray().items().size(), 2u + TrayWatcher::maxItemsPerConnection);
    Helper newcomer(bus.address(), {"--id", "newcomer"});
    EXPECT_TRUE(f.waitShown("tray.newcomer"));
    // Its connection closes: all its items go with it.
    other.stop();
    EXPECT_TRUE(test::spinUntil([&] { return f.tray().items().size() == 2u; }));
}

TEST(TrayItems, AnswersThatChangeNothingDrawNothingAndFlappingEndsInTheLastState) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    TrayFixture f;
    f.make(bus.address());
    Helper item(bus.address(), {"--id", "flappy", "--pixmap", "00ff00"});
    ASSERT_TRUE(f.waitShown("tray.flappy"));
    item.send("attention-pixmap ff00ff");
    const int version = f.info("tray.flappy")->iconVersion;
    // Twenty NewIcon signals with the same icon, then a tooltip change to know they were
    // all answered.
    item.send("poke");
    item.send("tooltip after the pokes");
    ASSERT_TRUE(test::spinUntil(
        [&] { return f.statusItem("tray.flappy")->button()->toolTip() == "after the pokes"; }));
    EXPECT_EQ(f.info("tray.flappy")->iconVersion, version) << "the same icon is no new image";

    item.send("flap-status 201");
    EXPECT_TRUE(test::spinUntil([&] { return f.iconCentre("tray.flappy") == 0xff00ffu; }))
        << "the last state, NeedsAttention, wins";
}

TEST(TrayItems, PositionsOfItemsNotSeenForNinetyDaysAreForgotten) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    TrayFixture f;
    f.make(bus.address());
    const auto today = std::chrono::duration_cast<std::chrono::hours>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count() /
                       24;
    auto& d = f.host->userDefaults();
    d.set(TrayHost::positionKey("tray.gone-long-ago"), 5.0);
    d.set(TrayHost::positionKey("tray.seen-lately"), 6.0);
    d.set(TrayHost::lastSeenKey,
          platform::Value(platform::Dictionary{
              {"tray.gone-long-ago", platform::Value(std::int64_t(today - 91))},
              {"tray.seen-lately", platform::Value(std::int64_t(today - 10))}}));
    f.make(bus.address());
    auto& again = f.host->userDefaults();
    EXPECT_FALSE(again.object(TrayHost::positionKey("tray.gone-long-ago")));
    EXPECT_TRUE(again.object(TrayHost::positionKey("tray.seen-lately")));

    // An item seen now is dated today, with its first position, when the host goes.
    {
        Helper item(bus.address(), {"--id", "seen-now"});
        ASSERT_TRUE(f.waitShown("tray.seen-now"));
    }
    f.make(bus.address());
    auto seen = f.host->userDefaults().object(TrayHost::lastSeenKey);
    ASSERT_TRUE(seen && seen->asDictionary());
    auto entry = seen->asDictionary()->find("tray.seen-now");
    ASSERT_NE(entry, seen->asDictionary()->end());
    EXPECT_EQ(entry->second.asInteger(), today);
    EXPECT_TRUE(f.host->userDefaults().object(TrayHost::positionKey("tray.seen-now")));
}

TEST(TrayItems, LeftClickOnAnItemWithoutActivateOpensItsMenuAndTheWheelScrollsIt) {
    PrivateBus bus;
    REQUIRE_BUS(bus);
    TrayFixture f;
    f.make(bus.address());
    // As libayatana-appindicator publishes its items: a menu, no Activate.
    Helper indicator(bus.address(), {"--id", "indicator", "--no-activate"});
    ASSERT_TRUE(f.waitShown("tray.indicator"));
    auto statusItem = f.statusItem("tray.indicator");
    auto seen = std::make_shared<bool>(false);
    whenMenuOpens([seen](QMenu&) { *seen = true; });
    f.bar().clickForeign(statusItem, ForeignClick::primary);
    ASSERT_TRUE(indicator.waitFor("activate-refused"));
    EXPECT_TRUE(indicator.waitFor("get-layout 0")) << indicator.lines().join('\n').toStdString();
    EXPECT_TRUE(test::spinUntil([&] { return *seen; })) << "the menu opened and closed";

    // An item that has Activate is only activated.
    Helper plain(bus.address(), {"--id", "plain"});
    ASSERT_TRUE(f.waitShown("tray.plain"));
    f.bar().clickForeign(f.statusItem("tray.plain"), ForeignClick::primary);
    ASSERT_TRUE(plain.waitFor("activate "));
    plain.send("tooltip settle");
    EXPECT_FALSE(plain.saw("get-layout"));

    // The wheel over the item in the strip, both ways.
    auto* strip = f.bar().strip();
    ASSERT_TRUE(strip);
    const QRect frame =
        qtFromCocoa(f.bar().windowOf(statusItem)->frame(), DesktopScreens::primaryGeometry());
    const QPointF local = strip->mapFromGlobal(frame.center());
    for (QPoint delta : {QPoint(0, -120), QPoint(120, 0)}) {
        QWheelEvent wheel(local, strip->mapToGlobal(local), {}, delta, Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(strip, &wheel);
    }
    EXPECT_TRUE(indicator.waitFor("scroll -120 vertical"));
    EXPECT_TRUE(indicator.waitFor("scroll 120 horizontal"));
}

} // namespace
} // namespace desktop
