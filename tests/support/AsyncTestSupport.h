// Runs library coroutines on the simulated host's library executor and records how they ended,
// so a test can start several, move virtual time, and look at each outcome.
#pragma once

#include "Platform/Async.h"
#include "Platform/Sim/SimHost.h"
#include "tests/support/AsyncCall.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>

namespace test_support {

// How a task ended: finished, its value or its error.
template <class T> using Outcome = testsupport::AsyncCall<T>;

struct Done {};

// Starts `op` as a task on the library executor; nothing runs until the sim host advances.
template <class T> std::shared_ptr<Outcome<T>> start(boost::asio::awaitable<T> op) {
    auto outcome = std::make_shared<Outcome<T>>();
    boost::asio::co_spawn(platform::libraryExecutor(), std::move(op),
                          [outcome](std::exception_ptr e, T value) {
                              outcome->finished = true;
                              ++outcome->completions;
                              outcome->error = e;
                              if (!e)
                                  outcome->value = std::move(value);
                          });
    return outcome;
}

inline std::shared_ptr<Outcome<Done>> start(boost::asio::awaitable<void> op) {
    auto outcome = std::make_shared<Outcome<Done>>();
    boost::asio::co_spawn(platform::libraryExecutor(), std::move(op),
                          [outcome](std::exception_ptr e) {
                              outcome->finished = true;
                              ++outcome->completions;
                              outcome->error = e;
                              if (!e)
                                  outcome->value = Done{};
                          });
    return outcome;
}

// Advances virtual time a second at a time (up to `limit` seconds) until `outcome` finishes.
template <class O>
void runUntilFinished(platform::sim::SimHost& host, const O& outcome, int limit = 3600) {
    host.advance(0);
    for (int i = 0; i < limit && !outcome->finished; ++i)
        host.advance(1);
}

// Starts `op` and runs it to its end.
template <class T> Outcome<T> run(platform::sim::SimHost& host, boost::asio::awaitable<T> op) {
    auto outcome = start(std::move(op));
    runUntilFinished(host, outcome);
    return *outcome;
}

inline Outcome<Done> run(platform::sim::SimHost& host, boost::asio::awaitable<void> op) {
    auto outcome = start(std::move(op));
    runUntilFinished(host, outcome);
    return *outcome;
}

} // namespace test_support
