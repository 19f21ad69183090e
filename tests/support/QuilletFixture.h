// A simulated Mac with Quillet launched on it, for behaviour tests of the application.
#pragma once

#include "Platform/Sim/SimHost.h"
#include "Platform/StatusBar.h"
#include "Platform/Window.h"
#include "Quillet/App/AppDelegate.h"
#include "Quillet/App/QuilletApp.h"
#include "Quillet/MenuBar/MenuBarManager.h"

#include <gtest/gtest.h>
#include <memory>

namespace quillet::test {

class QuilletFixture : public ::testing::Test {
protected:
    // Declared first so it outlives the application objects.
    platform::sim::SimHost sim;
    std::unique_ptr<QuilletApp> app;

    // The application and the process-wide services it made go before the host.
    ~QuilletFixture() override { quit(); }
    void quit() { app.reset(); }

    void launch() {
        app = std::make_unique<QuilletApp>();
        app->run();
        sim.runUntilIdle();
    }

    // Quits and starts Quillet again; defaults and other applications' items stay.
    void relaunch() {
        quit();
        sim.relaunch();
        launch();
    }

    AppDelegate& delegate() { return *app->appDelegate; }
    MenuBarManager& manager() { return *app->appDelegate->menuBarManager; }
    std::shared_ptr<platform::StatusItem> toggle() { return manager().toggleItem(); }
    std::shared_ptr<platform::StatusItem> separator() { return manager().separatorItem(); }
    platform::Rect frameOf(const std::shared_ptr<platform::StatusItem>& item) {
        return sim.simStatusBar().windowOf(item)->frame();
    }

    void leftClickChevron() { sim.click(toggle(), platform::sim::MouseButton::left); }
    void rightClickChevron() { sim.click(toggle(), platform::sim::MouseButton::right); }

    // Command-drags the dot between the chevron and the screen edge (the wrong side).
    void dragDotToWrongSide() {
        auto slot = sim.simStatusBar().slotOf(toggle());
        ASSERT_TRUE(slot.has_value());
        sim.simStatusBar().drag(separator(), *slot);
    }

    std::string chevronSymbol() {
        auto& image = toggle()->button()->image();
        return image ? image->symbolName : std::string("<none>");
    }

    // Another application's item that enters the bar without a position, beyond the dot.
    std::shared_ptr<platform::StatusItem> addOtherItem(const std::string& owner, int pid,
                                                       double width = 22) {
        platform::sim::ForeignStatusItemSpec spec;
        spec.ownerName = owner;
        spec.ownerPID = pid;
        spec.autosaveName = owner + ".item";
        spec.width = width;
        return sim.simStatusBar().addForeignItem(spec);
    }
};

} // namespace quillet::test
