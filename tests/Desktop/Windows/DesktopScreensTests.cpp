// The desktop host with two screens side by side, the primary one on the right: the status
// items that a collapsed bar pushes off the primary screen's left edge must lie beyond the other
// monitor too, or the scanner would take them for shown. Qt's screens are fixed when the
// application starts, so the two-screen case runs in a child process of this executable whose
// offscreen platform is configured with both screens.
#include "tests/Desktop/DesktopTestSupport.h"
#include "tests/Desktop/HostTestSupport.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/StatusBar/SampleItems.h"
#include "Platform/WindowList.h"
#include "Quillet/HiddenItems/HiddenItemScanner.h"
#include "Quillet/HiddenItems/QuilletBarPanelController.h"
#include "Quillet/MenuBar/MenuBarManager.h"
#include "Quillet/Views/QuilletBarView.h"

#include <QGuiApplication>
#include <QScreen>
#include <array>
#include <climits>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace desktop {
namespace {

// The primary screen (the name sorts first) and a monitor of the same size to its left.
constexpr const char* primaryLeftOfMonitorConfig = R"({"screens": [
  {"name": "a-primary", "x": 0, "y": 0, "width": 1280, "height": 800},
  {"name": "b-left", "x": -1280, "y": 0, "width": 1280, "height": 800}]})";

struct ChildRun {
    int status = -1;
    std::string output;
};

// Runs the tests matching `filter` (disabled ones included) in a child of this executable on
// the offscreen platform configured by `configJSON`.
ChildRun runWithScreens(const std::string& filter, const std::string& configJSON) {
    test::TempDir dir;
    const std::string config = dir.sub("screens.json");
    std::ofstream(config) << configJSON;
    std::array<char, PATH_MAX> self{};
    const auto n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    ChildRun run;
    if (n <= 0)
        return run;
    const std::string command = "QT_QPA_PLATFORM='offscreen:configfile=" + config + "' '" +
                                std::string(self.data(), static_cast<std::size_t>(n)) +
                                "' --gtest_also_run_disabled_tests --gtest_filter='" + filter +
                                "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return run;
    std::array<char, 4096> buffer{};
    while (auto got = std::fread(buffer.data(), 1, buffer.size(), pipe))
        run.output.append(buffer.data(), got);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(DesktopScreens, ItemsPushedOffThePrimaryLieBeyondAMonitorToItsLeft) {
    const auto run =
        runWithScreens("DISABLED_WithAMonitorLeftOfThePrimary.*", primaryLeftOfMonitorConfig);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("[  PASSED  ] 1 test"), std::string::npos)
        << "the two-screen test did not run:\n"
        << run.output;
}

// Run only by the test above, in its child.
TEST(DISABLED_WithAMonitorLeftOfThePrimary, TheCollapsedBarsItemsAreFoundAndShownInThePanel) {
    ASSERT_EQ(QGuiApplication::screens().size(), 2);
    ASSERT_EQ(QGuiApplication::primaryScreen()->geometry(), QRect(0, 0, 1280, 800));
    test::TempDir dir;
    auto o = test::isolatedHostOptions(dir);
    const auto samples = o.sampleItems.size();
    ASSERT_GT(samples, 0u);
    DesktopHost host(o);
    ASSERT_EQ(host.screens().screens().size(), 2u);

    auto manager = quillet::MenuBarManager::create();
    EXPECT_TRUE(quillet::HiddenItemScanner::scan().empty()) << "nothing is hidden yet";
    manager->setCollapsed(true);
    ASSERT_TRUE(manager->isCollapsed());

    // Every sample item is found, and none of them overlaps either screen.
    const auto items = quillet::HiddenItemScanner::scan();
    EXPECT_EQ(items.size(), samples);
    auto& windowList = host.windowList();
    for (const auto& item : items)
        for (platform::DisplayID d = 1; d <= 2; ++d)
            EXPECT_FALSE(item.bounds.intersects(windowList.displayBounds(d)))
                << "window " << item.windowID << " is on display " << d;

    // The panel shows them instead of "Nothing tucked away".
    manager->panelController()->show(items, manager->toggleItem()->button());
    auto view = manager->panelController()->hostingView();
    ASSERT_TRUE(view);
    EXPECT_EQ(view->rootView().items.size(), samples);
    manager->panelController()->hide();
    manager.reset();
}

} // namespace
} // namespace desktop
