#include "Platform/Async.h"

#include "Platform/Host.h"

#include <boost/asio/use_awaitable.hpp>

namespace platform {

LibraryRuntime& libraryRuntime() {
    return host().libraryRuntime();
}

boost::asio::any_io_executor libraryExecutor() {
    return libraryRuntime().executor();
}

boost::asio::awaitable<void> sleepFor(double seconds) {
    if (!(seconds > 0))
        co_return;
    co_await asyncSleep(libraryRuntime(), seconds, boost::asio::use_awaitable);
}

} // namespace platform
