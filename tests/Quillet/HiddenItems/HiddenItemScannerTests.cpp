#include "tests/support/QuilletFixture.h"

#include "Platform/WindowList.h"
#include "Quillet/HiddenItems/HiddenItemScanner.h"
#include "Quillet/HiddenItems/QuilletBarPanelController.h"
#include "Quillet/Views/QuilletBarView.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <random>

using namespace quillet;
using platform::Dictionary;
using platform::Value;

namespace {

class HiddenItemScannerTest : public quillet::test::QuilletFixture {
protected:
    // A status window of another application, by default wholly left of the 1440 x 900 display.
    static Dictionary window(std::int64_t number, double x = -300, double height = 24,
                             std::int64_t pid = 700, std::optional<std::string> owner = "Other") {
        Dictionary d{{platform::windowinfo::layer, std::int64_t{25}},
                     {platform::windowinfo::bounds,
                      platform::dictionaryFromRect(platform::makeRect(x, 0, 22, height))},
                     {platform::windowinfo::ownerPID, pid},
                     {platform::windowinfo::number, number}};
        if (owner)
            d[platform::windowinfo::ownerName] = *owner;
        return d;
    }
    void add(Value v) { sim.simWindowList().injectedEntries.push_back(std::move(v)); }
    std::vector<std::uint32_t> scannedIDs() {
        std::vector<std::uint32_t> ids;
        for (auto& item : HiddenItemScanner::scan())
            ids.push_back(item.windowID);
        return ids;
    }
};

TEST_F(HiddenItemScannerTest, HeightsFrom18To44InclusiveAreItems) {
    add(window(1, -300, 17.5));
    add(window(2, -280, 18));
    add(window(3, -260, 44));
    add(window(4, -240, 44.5));
    EXPECT_EQ(scannedIDs(), (std::vector<std::uint32_t>{2, 3}));
}

TEST_F(HiddenItemScannerTest, SystemOwnersAreExcludedInAnyCaseAndMissingNamesAreNot) {
    add(window(1, -300, 24, 701, "Control Center"));
    add(window(2, -290, 24, 702, "TextInputMenuAgent"));
    add(window(3, -280, 24, 703, "DOCK"));
    add(window(4, -270, 24, 704, "Window Server"));
    add(window(5, -260, 24, 705, std::nullopt));
    auto odd = window(6, -250);
    odd[platform::windowinfo::ownerName] = std::int64_t{42}; // not a string: not excluded
    add(odd);
    add(window(7, -240, 24, 707, "Dropbox"));
    EXPECT_EQ(scannedIDs(), (std::vector<std::uint32_t>{5, 6, 7}));
}

TEST_F(HiddenItemScannerTest, AnyOverlapWithADisplayMeansNotHidden) {
    add(window(1, -21));  // one point still on the display
    add(window(2, -22));  // touches the edge only
    add(window(3, 1439)); // one point on the right edge
    add(window(4, 1440)); // wholly right of the display
    EXPECT_EQ(scannedIDs(), (std::vector<std::uint32_t>{2, 4}));

    // With a second display to the left, the first window is on it.
    sim.simWindowList().displays = std::vector<platform::Rect>{
        platform::makeRect(0, 0, 1440, 900), platform::makeRect(-1000, 0, 1000, 900)};
    EXPECT_EQ(scannedIDs(), (std::vector<std::uint32_t>{4}));
}

TEST_F(HiddenItemScannerTest, WithoutDisplaysEveryOtherStatusWindowCounts) {
    add(window(1, 100)); // on screen, but no display is known
    sim.simWindowList().displayError = 1001;
    EXPECT_EQ(scannedIDs(), (std::vector<std::uint32_t>{1}));
    sim.simWindowList().displayError = 0;
    sim.simWindowList().displays = std::vector<platform::Rect>{};
    EXPECT_EQ(scannedIDs(), (std::vector<std::uint32_t>{1}));
}

TEST_F(HiddenItemScannerTest, OrderIsByXAndStableForEqualX) {
    add(window(30, -100));
    add(window(10, -500));
    add(window(21, -300));
    add(window(20, -300));
    EXPECT_EQ(scannedIDs(), (std::vector<std::uint32_t>{10, 21, 20, 30}));
}

TEST_F(HiddenItemScannerTest, MistypedOrMissingEntriesAreSkipped) {
    auto layerAsText = window(1);
    layerAsText[platform::windowinfo::layer] = "25";
    auto otherLayer = window(2);
    otherLayer[platform::windowinfo::layer] = std::int64_t{0};
    auto boundsNotDict = window(3);
    boundsNotDict[platform::windowinfo::bounds] = "0 0 22 24";
    auto boundsMissingKey = window(4);
    boundsMissingKey[platform::windowinfo::bounds] = Dictionary{{"X", -300.0}, {"Y", 0.0}};
    auto pidAsDouble = window(5);
    pidAsDouble[platform::windowinfo::ownerPID] = 700.0;
    auto noNumber = window(6);
    noNumber.erase(platform::windowinfo::number);
    for (auto& d :
         {layerAsText, otherLayer, boundsNotDict, boundsMissingKey, pidAsDouble, noNumber})
        add(d);
    add(window(7));
    EXPECT_EQ(scannedIDs(), (std::vector<std::uint32_t>{7}));
}

TEST_F(HiddenItemScannerTest, AFailedOrMisshapenWindowListGivesNothing) {
    add(window(1));
    sim.simWindowList().replacement = nullptr;
    EXPECT_TRUE(HiddenItemScanner::scan().empty());
    sim.simWindowList().replacement = std::make_shared<const Value>(platform::Array{});
    EXPECT_TRUE(HiddenItemScanner::scan().empty());
    sim.simWindowList().replacement =
        std::make_shared<const Value>(platform::Array{window(1), Value("junk")});
    EXPECT_TRUE(HiddenItemScanner::scan().empty());
    sim.simWindowList().replacement = std::make_shared<const Value>(Dictionary{});
    EXPECT_TRUE(HiddenItemScanner::scan().empty());
}

TEST_F(HiddenItemScannerTest, ItemsCarryTheirApplicationWhenItRuns) {
    auto app = sim.simWorkspace().addApplication(700, "com.example.other", "Other");
    add(window(1, -300));
    add(window(2, -200)); // the same application's second item
    add(window(3, -100, 24, 999));
    auto items = HiddenItemScanner::scan();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].app, app);
    EXPECT_EQ(items[1].app, app);
    EXPECT_EQ(items[0].ownerPID, items[1].ownerPID);
    EXPECT_NE(items[0].windowID, items[1].windowID);
    EXPECT_EQ(items[2].app, nullptr);
    EXPECT_EQ(items[0].bounds, platform::makeRect(-300, 0, 22, 24));
}

TEST_F(HiddenItemScannerTest, ACollapsedBarsPushedItemsAreFoundInMenuBarOrder) {
    auto wifi = addOtherItem("Wi-Fi Menu", 201);
    auto battery = addOtherItem("Battery Menu", 202);
    launch();
    EXPECT_TRUE(HiddenItemScanner::scan().empty()) << "nothing hidden while expanded";

    leftClickChevron();
    auto items = HiddenItemScanner::scan();
    ASSERT_EQ(items.size(), 2u);
    // The later newcomer sits further left.
    EXPECT_EQ(items[0].windowID, sim.simStatusBar().windowOf(battery)->windowNumber());
    EXPECT_EQ(items[1].windowID, sim.simStatusBar().windowOf(wifi)->windowNumber());
    EXPECT_EQ(items[0].ownerPID, 202);

    // Our own items never count, even pushed off screen.
    sim.simStatusBar().drag(toggle(), 99);
    for (auto& item : HiddenItemScanner::scan())
        EXPECT_NE(item.ownerPID, sim.processInfo().processIdentifier);
}

TEST_F(HiddenItemScannerTest, PushedItemsAreFoundWithAMonitorLeftOfTheMainScreen) {
    // The menu bar is on the right-hand screen; a wider monitor stands to its left, where the
    // collapsed separator would otherwise push the items.
    sim.setScreens({platform::sim::SimHost::makeScreen(0, 0, 1440, 900),
                    platform::sim::SimHost::makeScreen(-1920, 0, 1920, 1080)});
    auto wifi = addOtherItem("Wi-Fi Menu", 201);
    auto battery = addOtherItem("Battery Menu", 202);
    launch();
    leftClickChevron();
    auto items = HiddenItemScanner::scan();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].windowID, sim.simStatusBar().windowOf(battery)->windowNumber());
    EXPECT_EQ(items[1].windowID, sim.simStatusBar().windowOf(wifi)->windowNumber());
    EXPECT_LT(items[1].bounds.maxX(), -1920) << "beyond the left monitor";

    // The panel lists them instead of "Nothing tucked away".
    manager().panelController()->show(items, toggle()->button());
    auto view = manager().panelController()->hostingView();
    ASSERT_TRUE(view);
    EXPECT_FALSE(view->rootView().showsEmptyState());
    EXPECT_EQ(view->rootView().items.size(), 2u);

    // Expanded, they are back on the main screen.
    leftClickChevron();
    EXPECT_TRUE(HiddenItemScanner::scan().empty());
    EXPECT_GE(frameOf(wifi).minX(), 0);
}

} // namespace

namespace {

// The scan as plainly as it can be written: one search per key. The scanner must find exactly
// what this finds, in the same order, whatever the entries look like.
std::vector<HiddenItem> plainScan() {
    namespace key = platform::windowinfo;
    auto& h = platform::host();
    auto list =
        h.windowList().copyWindowInfo(platform::windowListOptionAll, platform::nullWindowID);
    const platform::Array* windows = list ? list->asArray() : nullptr;
    if (!windows)
        return {};
    for (const auto& w : *windows)
        if (!w.asDictionary())
            return {};
    std::vector<platform::Rect> displays;
    std::uint32_t count = 0;
    if (h.windowList().getActiveDisplayList(0, nullptr, &count) == 0 && count > 0) {
        std::vector<platform::DisplayID> ids(count, 0);
        std::uint32_t returned = 0;
        if (h.windowList().getActiveDisplayList(count, ids.data(), &returned) == 0)
            for (std::uint32_t i = 0; i < std::min<std::uint32_t>(returned, count); ++i)
                displays.push_back(h.windowList().displayBounds(ids[i]));
    }
    std::vector<HiddenItem> items;
    for (const auto& w : *windows) {
        const auto* layer = w.find(key::layer);
        if (!layer || layer->asInteger() != platform::statusWindowLevel)
            continue;
        const auto* b = w.find(key::bounds);
        auto bounds = b ? platform::rectFromDictionary(*b) : std::nullopt;
        if (!bounds || bounds->height() < 18 || bounds->height() > 44)
            continue;
        const auto* p = w.find(key::ownerPID);
        auto pid = p ? p->asInteger() : std::nullopt;
        if (!pid)
            continue;
        const auto ownerPID = static_cast<std::int32_t>(static_cast<std::uint32_t>(*pid));
        if (ownerPID == h.processInfo().processIdentifier)
            continue;
        if (const auto* name = w.find(key::ownerName))
            if (const auto* text = name->asString()) {
                std::string lower = *text;
                for (auto& c : lower)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (HiddenItemScanner::excludedOwnerNames().count(lower))
                    continue;
            }
        bool onADisplay = false;
        for (const auto& d : displays)
            onADisplay = onADisplay || bounds->intersects(d);
        if (onADisplay)
            continue;
        const auto* n = w.find(key::number);
        auto number = n ? n->asInteger() : std::nullopt;
        if (!number)
            continue;
        items.push_back({ownerPID, static_cast<std::uint32_t>(*number), *bounds,
                         h.workspace().runningApplication(ownerPID)});
    }
    std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) {
        return a.bounds.origin.x < b.bounds.origin.x;
    });
    return items;
}

} // namespace

TEST_F(HiddenItemScannerTest, FindsWhatAPlainScanFindsInAnyWindowList) {
    // Thousands of random lists of entries with keys present, absent, mistyped, misspelt by a
    // letter, or accompanied by keys that sort before, between and after them; bounds of every
    // shape; system owners in any case; our own process; running and unknown applications.
    std::mt19937 random(20261207);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    sim.simWorkspace().addApplication(700, "com.example.a", "A");
    sim.simWorkspace().addApplication(701, "com.example.b", "B");
    const std::int64_t ownPID = sim.processInfo().processIdentifier;
    const std::vector<std::string> extraKeys = {"A",
                                                "kCGWindowAlpha",
                                                "kCGWindowBoundsX",
                                                "kCGWindowLayer ",
                                                "kCGWindowLayeR",
                                                "kCGWindowM",
                                                "kCGWindowName",
                                                "kCGWindowOwnerPI",
                                                "kCGWindowSharingState",
                                                "z"};
    const std::vector<std::string> names = {"Other", "Control Center", "CONTROL CENTER",
                                            "dock",  "Dock ",          "SystemUIServer",
                                            "",      "Window Server",  "Spotlight!"};
    auto number = [&](double v) -> Value {
        switch (pick(6)) {
        case 0:
            return Value(static_cast<std::int64_t>(v));
        case 1:
            return Value(std::string("12"));
        case 2:
            return Value(std::numeric_limits<double>::quiet_NaN());
        default:
            return Value(v);
        }
    };
    auto bounds = [&]() -> Value {
        if (pick(15) == 0)
            return Value(std::string("not a rectangle"));
        const double xs[] = {-3000, -300, -22, -21.5, 0, 500, 1439.5, 1440, 5000};
        const double heights[] = {17.99, 18, 24, 44, 44.01, 300};
        Dictionary d{{"X", number(xs[pick(9)])},
                     {"Y", number(pick(3) == 0 ? -24 : 0)},
                     {"Width", number(22)},
                     {"Height", number(heights[pick(6)])}};
        if (pick(10) == 0)
            d.erase(std::next(d.begin(), pick(4)));
        if (pick(10) == 0)
            d["Xylophone"] = Value(std::int64_t{1});
        return Value(std::move(d));
    };
    for (int round = 0; round < 2000; ++round) {
        platform::Array entries;
        const int count = pick(40);
        for (int i = 0; i < count; ++i) {
            if (pick(200) == 0 && round % 3 == 0) {
                entries.push_back(Value(std::string("not a dictionary")));
                continue;
            }
            Dictionary d;
            if (pick(12) != 0)
                d[platform::windowinfo::layer] = pick(3) == 0   ? Value(std::int64_t{0})
                                                 : pick(8) == 0 ? Value(25.0)
                                                                : Value(std::int64_t{25});
            if (pick(12) != 0)
                d[platform::windowinfo::bounds] = bounds();
            if (pick(12) != 0) {
                const std::int64_t pids[] = {
                    700, 701, 702, ownPID, ownPID + (std::int64_t{1} << 32), -5};
                d[platform::windowinfo::ownerPID] =
                    pick(10) == 0 ? Value(std::string("700")) : Value(pids[pick(6)]);
            }
            if (pick(6) != 0)
                d[platform::windowinfo::ownerName] =
                    pick(10) == 0 ? Value(std::int64_t{7}) : Value(names[pick(9)]);
            if (pick(12) != 0)
                d[platform::windowinfo::number] =
                    pick(10) == 0 ? Value(3.0) : Value(std::int64_t{pick(1000)});
            for (int k = pick(3); k > 0; --k)
                d[extraKeys[pick(static_cast<int>(extraKeys.size()))]] = Value(std::int64_t{25});
            entries.push_back(Value(std::move(d)));
        }
        if (round % 5 == 1)
            sim.simWindowList().displays = std::vector<platform::Rect>{};
        else if (round % 5 == 2)
            sim.simWindowList().displays = std::vector<platform::Rect>{
                platform::makeRect(-1440, 0, 1440, 900), platform::makeRect(0, 0, 1440, 900)};
        else
            sim.simWindowList().displays.reset();
        sim.simWindowList().replacement = std::make_shared<const Value>(std::move(entries));
        const auto expected = plainScan();
        const auto found = HiddenItemScanner::scan();
        ASSERT_EQ(found.size(), expected.size()) << "round " << round;
        for (std::size_t i = 0; i < found.size(); ++i) {
            ASSERT_EQ(found[i].windowID, expected[i].windowID) << "round " << round;
            ASSERT_EQ(found[i].ownerPID, expected[i].ownerPID) << "round " << round;
            ASSERT_EQ(found[i].bounds, expected[i].bounds) << "round " << round;
            ASSERT_EQ(found[i].app, expected[i].app) << "round " << round;
        }
    }
}
