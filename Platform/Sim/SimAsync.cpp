#include "Platform/Sim/SimAsync.h"

#include "Platform/MainExecutor.h"

namespace platform::sim {

boost::asio::any_io_executor SimLibraryRuntime::executor() {
    return boost::asio::any_io_executor(MainExecutor(loop_));
}

std::shared_ptr<Timer> SimLibraryRuntime::scheduleTimer(double seconds,
                                                        std::function<void()> block) {
    return loop_.scheduleTimer(seconds, std::move(block));
}

} // namespace platform::sim
