// The library runtime of the simulated Mac: the library's coroutines run on the sim run loop
// itself and its timers are run-loop timers, so tests stay single-threaded on virtual time.
#pragma once

#include "Platform/Async.h"
#include "Platform/Sim/SimRunLoop.h"

namespace platform::sim {

class SimLibraryRuntime final : public LibraryRuntime {
public:
    explicit SimLibraryRuntime(SimRunLoop& loop) : loop_(loop) {}

    boost::asio::any_io_executor executor() override;
    std::shared_ptr<Timer> scheduleTimer(double seconds, std::function<void()> block) override;

private:
    SimRunLoop& loop_;
};

} // namespace platform::sim
