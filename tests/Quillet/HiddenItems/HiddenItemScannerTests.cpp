#include "tests/support/QuilletFixture.h"

#include "Platform/WindowList.h"
#include "Quillet/HiddenItems/HiddenItemScanner.h"
#include "Quillet/HiddenItems/QuilletBarPanelController.h"
#include "Quillet/Views/QuilletBarView.h"

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
