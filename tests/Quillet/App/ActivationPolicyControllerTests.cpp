#include "Platform/Sim/SimHost.h"
#include "Quillet/App/ActivationPolicyController.h"

#include <gtest/gtest.h>

using platform::ActivationPolicy;

namespace {

class ActivationPolicyControllerTest : public ::testing::Test {
protected:
    platform::sim::SimHost sim;
    quillet::ActivationPolicyController controller;

    ActivationPolicy policy() { return sim.application().activationPolicy(); }
};

TEST_F(ActivationPolicyControllerTest, PromoteMakesRegularAndActive) {
    sim.application().setActivationPolicy(ActivationPolicy::accessory);
    controller.promoteNow();
    EXPECT_EQ(policy(), ActivationPolicy::regular);
    EXPECT_TRUE(sim.application().isActive());
}

TEST_F(ActivationPolicyControllerTest, AVisibleOrdinaryWindowKeepsTheAppRegular) {
    controller.promoteNow();
    sim.addWindow(/*panel=*/false, /*visible=*/true);
    controller.demoteWhenIdle(false);
    sim.advance(0.3);
    EXPECT_EQ(policy(), ActivationPolicy::regular);
}

TEST_F(ActivationPolicyControllerTest, PanelsAndHiddenWindowsDoNotCount) {
    controller.promoteNow();
    sim.addWindow(/*panel=*/true, /*visible=*/true);
    sim.addWindow(/*panel=*/false, /*visible=*/false);
    controller.demoteWhenIdle(false);
    sim.advance(0.19);
    EXPECT_EQ(policy(), ActivationPolicy::regular) << "the grace delay has not passed";
    sim.advance(0.02);
    EXPECT_EQ(policy(), ActivationPolicy::accessory);
}

TEST_F(ActivationPolicyControllerTest, PromotingWithinTheGraceDelayCancelsTheDemotion) {
    controller.promoteNow();
    controller.demoteWhenIdle(false);
    sim.advance(0.1);
    controller.promoteNow();
    sim.advance(1);
    EXPECT_EQ(policy(), ActivationPolicy::regular);
}

TEST_F(ActivationPolicyControllerTest, OnlyTheLatestRequestRuns) {
    controller.promoteNow();
    controller.demoteWhenIdle(false);
    sim.advance(0.1);
    controller.demoteWhenIdle(false);
    sim.advance(0.15); // the first would have run by now
    EXPECT_EQ(policy(), ActivationPolicy::regular);
    sim.advance(0.1);
    EXPECT_EQ(policy(), ActivationPolicy::accessory);
    EXPECT_EQ(std::count(sim.simApplication().policyHistory().begin(),
                         sim.simApplication().policyHistory().end(), ActivationPolicy::accessory),
              1);
}

TEST_F(ActivationPolicyControllerTest, ImmediateDemotionRunsOnTheNextTurn) {
    controller.promoteNow();
    controller.demoteWhenIdle(true);
    EXPECT_EQ(policy(), ActivationPolicy::regular);
    sim.runUntilIdle();
    EXPECT_EQ(policy(), ActivationPolicy::accessory);
}

} // namespace
