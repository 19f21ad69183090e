#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "CorvaneAccount/Transport/TokenRefresher.h"
#include "Platform/Async.h"
#include "Platform/Sim/SimHost.h"
#include "tests/support/AsyncTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace corvane;
using test_support::Outcome;
namespace asio = boost::asio;

namespace {

class TokenRefresherTest : public ::testing::Test {
protected:
    // A refresh that takes `seconds` of virtual time and answers "cas-<n>", or fails.
    TokenRefresher::Perform perform(double seconds = 1) {
        return [this, seconds]() -> asio::awaitable<CasResponse> {
            const int n = ++performed;
            co_await platform::sleepFor(seconds);
            if (failNext) {
                failNext = false;
                throw CorvaneError::networkUnavailable();
            }
            CasResponse r;
            r.ok = true;
            r.cas = "cas-" + std::to_string(n);
            r.refreshToken = "rt-" + std::to_string(n);
            co_return r;
        };
    }

    TokenRefresher::OnRotated onRotated() {
        return [this](const std::string& old, const CasResponse& r) {
            // Callers must not have the answer yet.
            rotated.push_back(old + "->" + r.cas + (anyFinished() ? " late" : ""));
        };
    }

    std::shared_ptr<Outcome<CasResponse>> start(const std::string& token) {
        auto o = test_support::start(refresher->refresh(token, perform(), onRotated()));
        outcomes.push_back(o);
        return o;
    }

    bool anyFinished() const {
        for (const auto& o : outcomes)
            if (o->finished)
                return true;
        return false;
    }

    platform::sim::SimHost host;
    std::shared_ptr<TokenRefresher> refresher = TokenRefresher::create();
    int performed = 0;
    bool failNext = false;
    std::vector<std::string> rotated;
    std::vector<std::shared_ptr<Outcome<CasResponse>>> outcomes;
};

} // namespace

TEST_F(TokenRefresherTest, TenConcurrentCallersShareOneRefreshAndTheRotationComesFirst) {
    for (int i = 0; i < 10; ++i)
        start("rt-0");
    host.advance(5);
    EXPECT_EQ(performed, 1);
    for (const auto& o : outcomes) {
        ASSERT_TRUE(o->finished);
        ASSERT_TRUE(o->value);
        EXPECT_EQ(o->value->cas, "cas-1");
    }
    EXPECT_EQ(rotated, (std::vector<std::string>{"rt-0->cas-1"}));
}

TEST_F(TokenRefresherTest, ASpentTokenGetsTheNewestSessionWithoutARequest) {
    auto first = start("rt-0");
    host.advance(2);
    ASSERT_EQ(first->value->cas, "cas-1");
    auto second = start("rt-1");
    host.advance(2);
    ASSERT_EQ(second->value->cas, "cas-2");

    // rt-0 was rotated earlier: the newest session (cas-2) is the answer, at once.
    auto late = start("rt-0");
    host.advance(0);
    ASSERT_TRUE(late->finished);
    EXPECT_EQ(late->value->cas, "cas-2");
    EXPECT_EQ(performed, 2);
}

TEST_F(TokenRefresherTest, ADifferentTokenNeverSharesAnotherSessionsRefreshOrAnswer) {
    // Two sessions refresh at once (a late refresh of an old session while a new one recovers
    // from a 401): each gets its own request and its own answer.
    auto a = start("rt-a");
    host.advance(0.5);
    auto b = start("rt-b");
    auto alsoB = start("rt-b");
    host.advance(2);
    EXPECT_EQ(performed, 2);
    EXPECT_EQ(a->value->cas, "cas-1");
    EXPECT_EQ(b->value->cas, "cas-2");
    EXPECT_EQ(alsoB->value->cas, "cas-2");
    // Each token's own rotation (a's caller already had its answer when b's came).
    ASSERT_EQ(rotated.size(), 2u);
    EXPECT_EQ(rotated[0], "rt-a->cas-1");
    EXPECT_EQ(rotated[1].rfind("rt-b->cas-2", 0), 0u);

    // A spent token is answered from its own line, never with the other session's newer one.
    auto lateA = start("rt-a");
    host.advance(0);
    ASSERT_TRUE(lateA->finished);
    EXPECT_EQ(lateA->value->cas, "cas-1");
    // rt-1 (a's successor) was never spent: it gets a request of its own.
    auto next = start("rt-1");
    host.advance(2);
    EXPECT_EQ(performed, 3);
    EXPECT_EQ(next->value->cas, "cas-3");
    // ...and now the first token's line leads to that newest session.
    auto oldest = start("rt-a");
    host.advance(0);
    EXPECT_EQ(oldest->value->cas, "cas-3");
}

TEST_F(TokenRefresherTest, AFailureReachesEveryJoinedCallerAndLeavesTheTokenUnspent) {
    failNext = true;
    auto a = start("rt-0");
    auto b = start("rt-0");
    host.advance(2);
    for (const auto& o : {a, b}) {
        ASSERT_TRUE(o->finished);
        EXPECT_EQ(o->errorAs<CorvaneError>(), CorvaneError::networkUnavailable());
    }
    EXPECT_TRUE(rotated.empty());

    auto retry = start("rt-0");
    host.advance(2);
    EXPECT_EQ(performed, 2);
    EXPECT_EQ(retry->value->cas, "cas-2");
}
