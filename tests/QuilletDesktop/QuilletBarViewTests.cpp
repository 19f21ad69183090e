// The hidden-items panel on the desktop: the adapter between the view model and QML, the QML
// scene itself (sizes, hover, taps, the empty state, the engine made at the first show), the
// panel's window, --status, and the event monitors that close it.
#include "tests/Desktop/DesktopTestSupport.h"
#include "tests/Desktop/HostTestSupport.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/Services/DesktopWorkspace.h"
#include "Platform/Desktop/StatusBar/StripWindow.h"
#include "Platform/Desktop/Windows/DesktopAppearance.h"
#include "Platform/Desktop/Windows/DesktopEventMonitors.h"
#include "Platform/Desktop/Windows/DesktopViews.h"
#include "Platform/Desktop/Windows/DesktopWindow.h"
#include "Platform/StatusBar.h"
#include "Quillet/HiddenItems/QuilletBarPanel.h"
#include "Quillet/HiddenItems/QuilletBarPanelController.h"
#include "Quillet/MenuBar/MenuBarManager.h"
#include "Quillet/Views/QuilletBarView.h"
#include "QuilletDesktop/QuilletBarViewAdapter.h"
#include "QuilletDesktop/QuilletViews.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QQuickItem>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace desktop {
namespace {

using namespace quilletdesktop;

using quillet::HiddenItem;

HiddenItem item(std::uint32_t windowID, std::shared_ptr<platform::RunningApplication> app) {
    HiddenItem i;
    i.ownerPID = app ? app->processIdentifier() : 7;
    i.windowID = windowID;
    i.bounds = platform::makeRect(-200.0 + windowID, 0, 24, 24);
    i.app = std::move(app);
    return i;
}

std::shared_ptr<DesktopRunningApplication> app(std::int32_t pid, std::optional<std::string> name,
                                               std::optional<platform::Image> icon) {
    auto a = std::make_shared<DesktopRunningApplication>(pid, std::nullopt, std::move(name),
                                                         [] { return false; });
    a->setIcon(std::move(icon));
    return a;
}

platform::Image symbol(const std::string& name) {
    platform::Image i;
    i.symbolName = name;
    i.isTemplate = true;
    return i;
}

platform::Image badge(const std::string& text) {
    platform::Image i;
    i.resourceName = "badge:" + text;
    return i;
}

struct Calls {
    int clicks = 0;
    std::vector<bool> hovers;
};

quillet::QuilletBarView view(std::vector<HiddenItem> items, Calls& calls) {
    quillet::QuilletBarView v;
    v.items = std::move(items);
    v.onItemClick = [&calls] { ++calls.clicks; };
    v.onHoverChange = [&calls](bool inside) { calls.hovers.push_back(inside); };
    return v;
}

TEST(QuilletBarViewAdapter, CellsFollowTheModelWithIconsTooltipsAndTheEmptyState) {
    Calls calls;
    auto model = std::make_shared<quillet::QuilletBarHostingView>(
        view({item(11, app(501, "Weather", symbol("circle.fill"))), item(12, nullptr),
              item(13, app(503, "Backup", std::nullopt)),
              item(14, app(504, std::nullopt, badge("12°")))},
             calls));
    QuilletBarViewAdapter adapter(model);
    const auto& cells = adapter.cells().cells();
    ASSERT_EQ(cells.size(), 4u);
    EXPECT_FALSE(adapter.empty());
    EXPECT_EQ(cells[0].windowID, 11u);
    EXPECT_EQ(cells[0].toolTip, "Weather");
    EXPECT_EQ(cells[0].iconSource, "image://quillet/symbol/primary/circle.fill");
    // No application: the placeholder and "Unknown app".
    EXPECT_EQ(cells[1].toolTip, "Unknown app");
    EXPECT_TRUE(cells[1].iconSource.isEmpty());
    // An application without an icon: the placeholder, but its own name.
    EXPECT_EQ(cells[2].toolTip, "Backup");
    EXPECT_TRUE(cells[2].iconSource.isEmpty());
    // An application without a name but with a badge for an icon.
    EXPECT_EQ(cells[3].toolTip, "Unknown app");
    EXPECT_EQ(cells[3].iconSource, "image://quillet/badge/12%C2%B0");
    EXPECT_EQ(adapter.cellsModel()
                  ->data(adapter.cellsModel()->index(1), HiddenItemCellsModel::ShowsPlaceholderRole)
                  .toBool(),
              true);
    EXPECT_EQ(QuilletBarViewAdapter::placeholderSource(),
              "image://quillet/symbol/secondary/app.dashed");

    // A new root with the same windows updates rows in place; other windows reset the list.
    QSignalSpy changedRows(adapter.cellsModel(), &QAbstractItemModel::dataChanged);
    QSignalSpy reset(adapter.cellsModel(), &QAbstractItemModel::modelReset);
    QSignalSpy emptyChanged(&adapter, &QuilletBarViewAdapter::emptyChanged);
    auto again = view({item(11, app(501, "Weather, renamed", symbol("circle.fill"))),
                       item(12, nullptr), item(13, nullptr), item(14, nullptr)},
                      calls);
    model->setRootView(again);
    EXPECT_EQ(reset.count(), 0);
    EXPECT_EQ(changedRows.count(), 3) << "rows 0, 2 and 3 changed; row 1 did not";
    EXPECT_EQ(adapter.cells().cells()[0].toolTip, "Weather, renamed");
    model->setRootView(view({item(12, nullptr)}, calls));
    EXPECT_EQ(reset.count(), 1);
    EXPECT_EQ(adapter.cellsModel()->rowCount(), 1);

    model->setRootView(view({}, calls));
    EXPECT_TRUE(adapter.empty());
    EXPECT_EQ(emptyChanged.count(), 1);
    EXPECT_EQ(adapter.cellsModel()->rowCount(), 0);
    EXPECT_EQ(QuilletBarViewAdapter::emptyText(), "Nothing tucked away");
}

TEST(QuilletBarViewAdapter, HoverHighlightsOneCellAndTapsAndViewHoverReachTheCallbacks) {
    Calls calls;
    auto model = std::make_shared<quillet::QuilletBarHostingView>(
        view({item(1, nullptr), item(2, nullptr), item(3, nullptr)}, calls));
    QuilletBarViewAdapter adapter(model);
    auto opacities = [&] {
        std::vector<double> out;
        for (const auto& c : adapter.cells().cells())
            out.push_back(c.highlightOpacity);
        return out;
    };
    adapter.pointerEnteredCell(2);
    EXPECT_EQ(opacities(), (std::vector<double>{0, 0.16, 0}));
    adapter.pointerExitedCell(2);
    adapter.pointerEnteredCell(3);
    EXPECT_EQ(opacities(), (std::vector<double>{0, 0, 0.16}));
    adapter.pointerExitedCell(3);
    EXPECT_EQ(opacities(), (std::vector<double>{0, 0, 0}));

    adapter.tapCell(1);
    adapter.tapCell(3);
    adapter.tapCell(99); // not in the list
    EXPECT_EQ(calls.clicks, 2);
    adapter.pointerEnteredView();
    adapter.pointerExitedView();
    EXPECT_EQ(calls.hovers, (std::vector<bool>{true, false}));

    // The model gone: the adapter empties and ignores the scene.
    model.reset();
    adapter.tapCell(1);
    EXPECT_EQ(calls.clicks, 2);
}

// A desktop host with the chevron in the strip and a panel controller anchored to it.
struct PanelFixture {
    test::TempDir dir;
    std::unique_ptr<DesktopHost> host;
    std::shared_ptr<platform::StatusItem> toggle;
    std::shared_ptr<quillet::QuilletBarPanelController> controller =
        quillet::QuilletBarPanelController::create();
    Calls calls;
    std::vector<bool> visibility;

    PanelFixture() {
        auto o = test::isolatedHostOptions(dir, {});
        host = std::make_unique<DesktopHost>(o);
        quilletdesktop::addQuilletStatus(*host);
        toggle = host->statusBar().statusItem(platform::squareStatusItemLength);
        toggle->setAutosaveName("quillet.toggle");
        toggle->button()->setImage(host->symbols().systemSymbol("chevron.left", "Expand"));
        controller->onItemClicked = [this] { ++calls.clicks; };
        controller->onHoverChange = [this](bool inside) { calls.hovers.push_back(inside); };
        controller->onVisibilityChange = [this](bool v) { visibility.push_back(v); };
    }
    ~PanelFixture() {
        controller.reset();
        toggle.reset();
    }
    DesktopWindow& panel() { return dynamic_cast<DesktopWindow&>(*controller->panel()); }
    ViewQuickWidget& scene() { return *panel().scene(); }
    QQuickItem* named(const char* name, std::size_t index = 0) {
        auto items = scene().itemsNamed(QString::fromLatin1(name));
        return index < items.size() ? items[index] : nullptr;
    }
    // Where an item's centre is, in the scene widget's coordinates.
    QPoint centreOf(QQuickItem* item) {
        return item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint();
    }
    bool painted() {
        return test::spinUntil([&] { return panel().lastShowToPaintMs().has_value(); });
    }
};

TEST(QuilletBarViewScene, DrawsTheIconsAtTheirSizesAndMakesTheEngineOnlyAtTheFirstShow) {
    PanelFixture f;
    EXPECT_FALSE(f.host->views().hasEngine());
    auto items = std::vector<HiddenItem>{item(21, app(601, "Music", badge("M"))), item(22, nullptr),
                                         item(23, app(603, "VPN", badge("VPN")))};
    f.controller->show(items, f.toggle->button());
    ASSERT_TRUE(f.controller->isPanelVisible());
    EXPECT_TRUE(f.host->views().hasEngine());
    ASSERT_TRUE(f.panel().scene());
    ASSERT_TRUE(f.painted()) << "the scene never painted";

    // The window: frameless, above other windows, shown without taking the focus.
    auto* widget = f.panel().widget();
    EXPECT_TRUE(widget->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(widget->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(widget->testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_TRUE(widget->testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_EQ(f.scene().size(), QSize(3 * 22 + 20 + 2 * 8, 42)) << "the scene fills the panel";

    // One 22 × 22 cell per item at 10 + 30·i, centred in the 42-point height.
    auto cells = f.scene().itemsNamed(QStringLiteral("hiddenItemCell"));
    ASSERT_EQ(cells.size(), 3u);
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const QRectF r =
            cells[i]->mapRectToScene(QRectF(0, 0, cells[i]->width(), cells[i]->height()));
        EXPECT_EQ(r, QRectF(10 + 30.0 * static_cast<double>(i), 10, 22, 22)) << "cell " << i;
    }
    EXPECT_EQ(cells[1]->property("toolTip").toString(), "Unknown app");
    auto* highlight = f.named("highlight");
    EXPECT_EQ(highlight->mapRectToScene(QRectF(0, 0, highlight->width(), highlight->height())),
              QRectF(6, 6, 30, 30));
    EXPECT_DOUBLE_EQ(highlight->property("radius").toDouble(), 6);
    // The placeholder is the 16-point symbol; an application's icon fills the 22 points.
    auto* icon = f.named("icon", 1);
    EXPECT_EQ(icon->width(), 16);
    EXPECT_EQ(icon->property("source").toUrl().toString(),
              "image://quillet/symbol/secondary/app.dashed");
    EXPECT_EQ(f.named("icon", 0)->width(), 22);
    EXPECT_EQ(f.named("icon", 0)->property("status").toInt(), 1) << "the badge did not load";
    EXPECT_EQ(icon->property("status").toInt(), 1) << "the placeholder did not load";
    EXPECT_FALSE(f.named("emptyText")->isVisible());
    EXPECT_DOUBLE_EQ(f.named("material")->property("radius").toDouble(), 12);
    EXPECT_EQ(f.scene().toolTipAt(f.centreOf(cells[2])), "VPN");

    // The engine stays; a second show reuses the scene.
    auto* scene = f.panel().scene();
    f.controller->hide();
    f.controller->show({item(22, nullptr)}, f.toggle->button());
    EXPECT_EQ(f.panel().scene(), scene);
    EXPECT_EQ(f.scene().itemsNamed(QStringLiteral("hiddenItemCell")).size(), 1u);
    EXPECT_EQ(f.visibility, (std::vector<bool>{true, false, true}));
}

TEST(QuilletBarViewScene, TheMaterialAndItsTextFollowTheDesktopsScheme) {
    // The palette decides here: no override.
    std::optional<std::string> forced;
    if (const char* v = std::getenv("QUILLET_COLOR_SCHEME"))
        forced = v;
    ::unsetenv("QUILLET_COLOR_SCHEME");
    const QPalette saved = QApplication::palette();
    QPalette light;
    light.setColor(QPalette::Window, QColor(0xef, 0xef, 0xef));
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2a, 0x2a, 0x2c));
    QApplication::setPalette(light);
    {
        PanelFixture f;
        f.controller->show({}, f.toggle->button());
        ASSERT_TRUE(f.painted());
        auto colorOf = [&](const char* name, const char* property) {
            return f.named(name)->property(property).value<QColor>();
        };
        EXPECT_EQ(colorOf("material", "color"), f.host->appearance().material());
        EXPECT_GT(colorOf("material", "color").lightness(), 128);
        EXPECT_LT(colorOf("emptyText", "color").lightness(), 128) << "dark text on light";
        // The desktop turns dark while the panel shows: the bindings follow.
        QApplication::setPalette(dark);
        EXPECT_LT(colorOf("material", "color").lightness(), 128);
        EXPECT_GT(colorOf("emptyText", "color").lightness(), 128) << "light text on dark";
    }
    QApplication::setPalette(saved);
    if (forced)
        ::setenv("QUILLET_COLOR_SCHEME", forced->c_str(), 1);
}

TEST(QuilletBarViewScene, AHiddenWindowWithAViewMakesNoEngineUntilItIsOrderedFront) {
    PanelFixture f;
    auto window = f.host->makeWindow(quillet::QuilletBarPanel::attributes(), /*panel=*/true);
    Calls calls;
    window->setContentView(
        std::make_shared<quillet::QuilletBarHostingView>(view({item(1, nullptr)}, calls)));
    window->setFrame(platform::makeRect(10, 10, 42, 42));
    window->display();
    EXPECT_FALSE(f.host->views().hasEngine());
    auto& desktopWindow = dynamic_cast<DesktopWindow&>(*window);
    EXPECT_EQ(desktopWindow.scene(), nullptr);
    window->orderFrontRegardless();
    EXPECT_TRUE(f.host->views().hasEngine());
    ASSERT_NE(desktopWindow.scene(), nullptr);
    // A new model for a visible window gets a new scene at once.
    auto* first = desktopWindow.scene();
    window->setContentView(std::make_shared<quillet::QuilletBarHostingView>(view({}, calls)));
    ASSERT_NE(desktopWindow.scene(), nullptr);
    EXPECT_NE(desktopWindow.scene(), first);
    EXPECT_TRUE(desktopWindow.scene()->itemsNamed(QStringLiteral("hiddenItemCell")).empty());
    window->orderOut();
}

TEST(QuilletBarViewScene, EmptyListShowsOneCentredLine) {
    PanelFixture f;
    f.controller->show({}, f.toggle->button());
    ASSERT_TRUE(f.painted());
    EXPECT_EQ(f.scene().size(), QSize(170, 42));
    auto* text = f.named("emptyText");
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->isVisible());
    EXPECT_EQ(text->property("text").toString(), "Nothing tucked away");
    EXPECT_EQ(text->property("lineCount").toInt(), 1);
    EXPECT_EQ(text->property("maximumLineCount").toInt(), 1);
    EXPECT_FALSE(text->property("truncated").toBool()) << "the line does not fit in 150 points";
    EXPECT_DOUBLE_EQ(text->property("font").value<QFont>().pixelSize(), 12);
    EXPECT_TRUE(f.scene().itemsNamed(QStringLiteral("hiddenItemCell")).empty());
}

TEST(QuilletBarViewScene, PointerHoverHighlightsTheCellAndAClickAnywhereInItsOwnSquareTaps) {
    PanelFixture f;
    f.controller->show({item(31, nullptr), item(32, nullptr)}, f.toggle->button());
    ASSERT_TRUE(f.painted());
    auto& scene = f.scene();
    auto* first = f.named("hiddenItemCell", 0);
    auto* second = f.named("hiddenItemCell", 1);
    auto highlight = [&](int i) {
        return f.named("highlight", i)->property("color").value<QColor>().alphaF();
    };

    QTest::mouseMove(&scene, QPoint(2, 2)); // inside the view, on no cell
    ASSERT_TRUE(test::spinUntil([&] { return !f.calls.hovers.empty(); }, 2000));
    EXPECT_EQ(f.calls.hovers, std::vector<bool>{true});
    QTest::mouseMove(&scene, f.centreOf(second));
    ASSERT_TRUE(test::spinUntil([&] { return highlight(1) > 0.1; }, 2000));
    EXPECT_NEAR(highlight(1), 0.16, 0.01);
    EXPECT_EQ(highlight(0), 0) << "only the hovered cell is highlighted";
    QTest::mouseMove(&scene, f.centreOf(first));
    ASSERT_TRUE(test::spinUntil([&] { return highlight(0) > 0.1 && highlight(1) == 0; }, 2000));
    EXPECT_EQ(f.calls.hovers, std::vector<bool>{true}) << "moving between cells stays in the view";

    // The hit area is the cell's own 22 × 22 square, not the 30 × 30 highlight behind it.
    auto* hitArea = f.named("hitArea");
    EXPECT_EQ(hitArea->mapRectToScene(QRectF(0, 0, hitArea->width(), hitArea->height())),
              first->mapRectToScene(QRectF(0, 0, 22, 22)));
    // The highlight's rim outside the square does not hover its cell: from a place on no cell,
    // the pointer crosses the second cell's rim on its way to the first icon.
    auto model = f.controller->hostingView();
    ASSERT_TRUE(model);
    QTest::mouseMove(&scene, QPoint(2, 2));
    ASSERT_TRUE(test::spinUntil([&] { return !model->isHovered(31) && !model->isHovered(32); }))
        << "the pointer left no cell";
    bool rimHovered = false;
    boost::signals2::scoped_connection watch =
        model->changed.connect([&] { rimHovered = rimHovered || model->isHovered(32); });
    const QPoint rim = second->mapToScene(QPointF(-3, -3)).toPoint();
    QTest::mouseMove(&scene, rim);
    QTest::mouseMove(&scene, f.centreOf(first));
    ASSERT_TRUE(test::spinUntil([&] { return model->isHovered(31); }));
    EXPECT_FALSE(rimHovered) << "the rim of the highlight hovers its cell";

    // Nor does it tap; a corner of the square, where the 16-point placeholder leaves it
    // transparent, does.
    QTest::mouseClick(&scene, Qt::LeftButton, {}, rim);
    EXPECT_EQ(f.calls.clicks, 0) << "the rim of the highlight taps its cell";
    QTest::mouseClick(&scene, Qt::LeftButton, {}, first->mapToScene(QPointF(1, 1)).toPoint());
    EXPECT_EQ(f.calls.clicks, 1);
    QTest::mouseClick(&scene, Qt::LeftButton, {}, f.centreOf(second));
    EXPECT_EQ(f.calls.clicks, 2);
    // Between the view's edge and the cells nothing is tapped.
    QTest::mouseClick(&scene, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(f.calls.clicks, 2);

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&scene, &leave);
    ASSERT_TRUE(test::spinUntil([&] { return f.calls.hovers.size() == 2; }, 2000));
    EXPECT_EQ(f.calls.hovers, (std::vector<bool>{true, false}));
}

TEST(QuilletBarViewScene, StatusReportsThePanelItsIconsAndWhetherItIsVisible) {
    PanelFixture f;
    auto status = [&] { return nlohmann::json::parse(f.host->statusJSON()); };
    EXPECT_TRUE(status()["panel"].is_null()) << "no panel before the first show";
    EXPECT_EQ(status()["collapsed"], false);
    f.host->userDefaults().set(quillet::MenuBarManager::isCollapsedKey, true);
    EXPECT_EQ(status()["collapsed"], true) << "read when asked, from the defaults";
    f.controller->show({item(41, app(701, "Notes", badge("N"))), item(42, nullptr)},
                       f.toggle->button());
    ASSERT_TRUE(f.painted());
    auto panel = status()["panel"];
    EXPECT_TRUE(panel["visible"]);
    EXPECT_EQ(panel["items"], 2);
    EXPECT_EQ(panel["frame"]["width"], 72);
    EXPECT_EQ(panel["frame"]["height"], 42);
    EXPECT_EQ(panel["icons"][0]["toolTip"], "Notes");
    EXPECT_EQ(panel["icons"][1]["placeholder"], true);
    EXPECT_EQ(panel["icons"][1]["frame"]["x"].get<double>() -
                  panel["icons"][0]["frame"]["x"].get<double>(),
              30);
    EXPECT_EQ(panel["icons"][0]["frame"]["x"].get<double>(),
              panel["frame"]["x"].get<double>() + 10);
    EXPECT_TRUE(panel["showToPaintMs"].is_number());
    f.controller->hide();
    EXPECT_FALSE(status()["panel"]["visible"]);
}

TEST(QuilletBarPanelWindow, AWindowManagersCloseIsRefusedAndThePanelKeepsItsMonitors) {
    PanelFixture f;
    f.controller->show({item(51, nullptr)}, f.toggle->button());
    ASSERT_TRUE(f.controller->isPanelVisible());
    const auto monitors = f.host->eventMonitors().count();
    ASSERT_EQ(monitors, 3u);
    int willClose = 0;
    f.host->notificationCenter().addObserver(platform::windowWillCloseNotification,
                                             [&] { ++willClose; });

    // Alt+F4 or WM_DELETE_WINDOW reach the panel's window as a close event.
    QCloseEvent request;
    QApplication::sendEvent(f.panel().widget()->windowHandle(), &request);
    EXPECT_FALSE(request.isAccepted());
    EXPECT_TRUE(f.controller->isPanelVisible()) << "the panel has no close button";
    EXPECT_EQ(f.host->eventMonitors().count(), monitors);
    EXPECT_EQ(willClose, 0);
    EXPECT_EQ(f.visibility, std::vector<bool>{true});

    // Its own way out still works, and takes everything with it.
    f.controller->hide();
    EXPECT_EQ(f.visibility, (std::vector<bool>{true, false}));
    EXPECT_EQ(f.host->eventMonitors().count(), 0u);
    EXPECT_FALSE(f.host->desktopEventMonitors().isWatchingGlobalClicks());
}

// A source of global clicks the test drives.
struct FakeClicks final : GlobalClickSource {
    bool available = true;
    int starts = 0, stops = 0;
    Handler handler;
    bool start(Handler h) override {
        ++starts;
        if (!available)
            return false;
        handler = std::move(h);
        return true;
    }
    void stop() override {
        if (handler)
            ++stops;
        handler = nullptr;
    }
    bool isRunning() const override { return static_cast<bool>(handler); }
};

TEST(DesktopEventMonitors, GlobalClicksAreWatchedOnlyWhileAGlobalMonitorExists) {
    auto source = std::make_unique<FakeClicks>();
    auto* clicks = source.get();
    DesktopEventMonitors monitors(std::move(source));
    bool ownWindow = false;
    monitors.isOwnWindowAt = [&](QPoint) { return ownWindow; };

    auto local = monitors.addLocalMonitor(platform::eventMask(platform::EventType::leftMouseDown),
                                          [](const platform::Event& e) { return e; });
    EXPECT_EQ(clicks->starts, 0) << "a local monitor needs no global watch";
    std::vector<platform::Event> seen;
    auto mask = platform::eventMask(platform::EventType::leftMouseDown) |
                platform::eventMask(platform::EventType::rightMouseDown);
    auto a = monitors.addGlobalMonitor(mask, [&](const platform::Event& e) { seen.push_back(e); });
    auto b = monitors.addGlobalMonitor(mask, [](const platform::Event&) {});
    EXPECT_EQ(clicks->starts, 1);
    EXPECT_TRUE(monitors.isWatchingGlobalClicks());

    clicks->handler(platform::EventType::rightMouseDown, QPoint(5, 500));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].type, platform::EventType::rightMouseDown);
    EXPECT_EQ(seen[0].windowNumber, 0u);
    ownWindow = true; // our own windows see their clicks themselves
    clicks->handler(platform::EventType::leftMouseDown, QPoint(5, 5));
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_EQ(monitors.globalClicksDispatched(), 1u);

    monitors.removeMonitor(*a);
    EXPECT_TRUE(monitors.isWatchingGlobalClicks()) << "one global monitor is left";
    monitors.removeMonitor(*local);
    monitors.removeMonitor(*b);
    EXPECT_FALSE(monitors.isWatchingGlobalClicks());
    EXPECT_EQ(clicks->stops, 1);
    // The next monitor starts it again.
    auto c = monitors.addGlobalMonitor(mask, [](const platform::Event&) {});
    EXPECT_EQ(clicks->starts, 2);
    monitors.removeMonitor(*c);

    // The wheel's steps are not clicks.
    EXPECT_EQ(mouseDownType(1), platform::EventType::leftMouseDown);
    EXPECT_EQ(mouseDownType(3), platform::EventType::rightMouseDown);
    EXPECT_EQ(mouseDownType(2), platform::EventType::otherMouseDown);
    for (unsigned wheel : {4u, 5u, 6u, 7u})
        EXPECT_FALSE(mouseDownType(wheel).has_value());
}

TEST(DesktopEventMonitors, WithoutAGlobalSourceMonitorsStillWorkAndSaySoOnce) {
    auto source = std::make_unique<FakeClicks>();
    source->available = false;
    auto* clicks = source.get();
    DesktopEventMonitors monitors(std::move(source));
    std::vector<std::string> reports;
    monitors.report = [&](const std::string& m) { reports.push_back(m); };
    auto a = monitors.addGlobalMonitor(~0ull, [](const platform::Event&) {});
    auto b = monitors.addGlobalMonitor(~0ull, [](const platform::Event&) {});
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(monitors.globalClicksUnavailable());
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_EQ(clicks->starts, 1) << "no retry on every monitor";
    // Clicks that the strip shows to the global monitors still arrive.
    int seen = 0;
    EXPECT_TRUE(monitors.addGlobalMonitor(~0ull, [&](const platform::Event&) { ++seen; }));
    monitors.dispatchGlobal(platform::Event{});
    EXPECT_EQ(seen, 1);
}

TEST(LocalMouseFilter, PressesOnOurWindowsPassTheLocalMonitorsWhichMaySwallowThem) {
    PanelFixture f;
    platform::WindowAttributes a;
    a.contentRect = platform::makeRect(100, 100, 200, 120);
    auto window = f.host->makeWindow(a, false);
    window->orderFront();
    auto* widget = static_cast<DesktopWindow&>(*window).widget();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(widget));

    struct Catcher : QObject {
        int presses = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            presses += e->type() == QEvent::MouseButtonPress;
            return false;
        }
    } catcher;
    widget->installEventFilter(&catcher);

    std::vector<platform::Event> seen;
    bool swallow = false;
    f.host->eventMonitors().addLocalMonitor(
        platform::eventMask(platform::EventType::leftMouseDown) |
            platform::eventMask(platform::EventType::rightMouseDown),
        [&](const platform::Event& e) -> std::optional<platform::Event> {
            seen.push_back(e);
            if (swallow)
                return std::nullopt;
            return e;
        });
    QTest::mousePress(widget->windowHandle(), Qt::RightButton, {}, QPoint(10, 10));
    QTest::mouseRelease(widget->windowHandle(), Qt::RightButton, {}, QPoint(10, 10));
    ASSERT_EQ(seen.size(), 1u) << "one press, seen once";
    EXPECT_EQ(seen[0].type, platform::EventType::rightMouseDown);
    EXPECT_EQ(seen[0].windowNumber, window->windowNumber());
    EXPECT_EQ(catcher.presses, 1);

    swallow = true;
    QTest::mousePress(widget->windowHandle(), Qt::LeftButton, {}, QPoint(12, 12));
    QTest::mouseRelease(widget->windowHandle(), Qt::LeftButton, {}, QPoint(12, 12));
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(catcher.presses, 1) << "a swallowed press never reaches the window";
    widget->removeEventFilter(&catcher);
}

TEST(LocalMouseFilter, OurStatusItemsAreOurWindowsOtherApplicationsItemsAndMenusAreNot) {
    test::TempDir dir;
    auto o = test::isolatedHostOptions(
        dir, {{"Notes", 41001, "N", 26, "notes.item", std::nullopt, "Notes"}});
    DesktopHost host(o);
    auto toggle = host.statusBar().statusItem(platform::squareStatusItemLength);
    toggle->button()->setImage(host.symbols().systemSymbol("chevron.left", "Expand"));
    auto* strip = host.desktopStatusBar().strip();
    auto globalCentre = [&](const platform::Rect& frame) {
        return strip->mapToGlobal(strip->localRect(frame).center());
    };
    const auto chevron = toggle->button()->window();
    EXPECT_EQ(host.localWindowNumber(strip, globalCentre(chevron->frame())),
              chevron->windowNumber());
    std::optional<platform::Rect> notes;
    for (const auto& s : host.desktopStatusBar().itemStates())
        if (s.owner == "Notes")
            notes = s.frame;
    ASSERT_TRUE(notes);
    EXPECT_FALSE(host.localWindowNumber(strip, globalCentre(*notes)).has_value())
        << "another application's item";
    QMenu menu;
    EXPECT_FALSE(host.localWindowNumber(&menu, QPoint(1, 1)).has_value());
    EXPECT_FALSE(host.localWindowNumber(nullptr, QPoint(1, 1)).has_value());
    auto window = host.makeWindow(platform::WindowAttributes{}, false);
    EXPECT_EQ(host.localWindowNumber(static_cast<DesktopWindow&>(*window).widget(), QPoint(1, 1)),
              window->windowNumber());
}

TEST(QuilletBarViewScene, APressInAnotherWindowOfOursClosesThePanelButOneInsideItDoesNot) {
    PanelFixture f;
    f.controller->show({item(51, nullptr)}, f.toggle->button());
    ASSERT_TRUE(f.painted());
    auto* panelWindow = f.panel().widget()->windowHandle();
    QTest::mousePress(panelWindow, Qt::LeftButton, {}, QPoint(3, 3));
    QTest::mouseRelease(panelWindow, Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_TRUE(f.controller->isPanelVisible());

    platform::WindowAttributes a;
    a.contentRect = platform::makeRect(100, 100, 200, 120);
    auto other = f.host->makeWindow(a, false);
    other->orderFront();
    auto* otherWidget = static_cast<DesktopWindow&>(*other).widget();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(otherWidget));
    QTest::mousePress(otherWidget->windowHandle(), Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseRelease(otherWidget->windowHandle(), Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_FALSE(f.controller->isPanelVisible());
    EXPECT_EQ(f.visibility, (std::vector<bool>{true, false}));
}

} // namespace
} // namespace desktop
