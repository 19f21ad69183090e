// The desktop library thread: stopping it from its own handlers and from several threads at
// once, and what it logs when a handler lets an exception escape.
#include "Platform/Desktop/Services/LibraryThread.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace desktop {
namespace {

namespace asio = boost::asio;

// Generous bound for work that is already runnable; nothing waits for time to pass.
constexpr auto bound = std::chrono::seconds(20);

// Runs `work` on the library thread and waits for it.
template <class F> auto onLibraryThread(LibraryThread& library, F work) {
    std::promise<decltype(work())> result;
    auto future = result.get_future();
    asio::post(library.executor(), [&] { result.set_value(work()); });
    EXPECT_EQ(future.wait_for(bound), std::future_status::ready);
    return future.get();
}

TEST(LibraryThread, AHandlerMayStopTheThreadWhileItsOwnerIsStoppingIt) {
    // Not owned by the test on purpose: should stop() deadlock, the stuck threads keep it.
    auto* library = new LibraryThread([](const std::string&) {});
    auto& io =
        static_cast<asio::io_context&>(asio::query(library->executor(), asio::execution::context));
    std::promise<void> entered;
    std::atomic<bool> handlerStopped{false};
    asio::post(library->executor(), [&] {
        entered.set_value();
        // The owner's stop() has stopped the loop and now waits for this handler: stop too.
        while (!io.stopped())
            std::this_thread::yield();
        library->stop();
        handlerStopped = true;
    });
    entered.get_future().wait();

    auto ownerDone = std::make_shared<std::promise<void>>();
    auto ownerFinished = ownerDone->get_future();
    std::thread owner([library, ownerDone] {
        library->stop();
        ownerDone->set_value();
    });
    if (ownerFinished.wait_for(bound) != std::future_status::ready) {
        ADD_FAILURE() << "stop() and a handler's stop() deadlocked";
        owner.detach();
        return;
    }
    owner.join();
    EXPECT_TRUE(handlerStopped.load()) << "the handler's stop() returned";
    EXPECT_FALSE(library->isCurrent());
    delete library;
}

TEST(LibraryThread, StopFromTwoThreadsAtOnceReturnsInBothOnlyOnceTheThreadHasEnded) {
    LibraryThread library([](const std::string&) {});
    std::promise<void> running;
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    asio::post(library.executor(), [&] {
        running.set_value();
        while (!release)
            std::this_thread::yield();
        finished = true;
    });
    running.get_future().wait();

    std::latch ready(2);
    std::atomic<int> early{0};
    std::atomic<int> current{0};
    auto stopper = [&] {
        ready.arrive_and_wait();
        current += library.isCurrent(); // read while the other thread may be joining
        library.stop();
        current += library.isCurrent();
        if (!finished)
            ++early;
    };
    std::thread a(stopper);
    std::thread b(stopper);
    release = true;
    a.join();
    b.join();
    EXPECT_TRUE(finished.load());
    EXPECT_EQ(early.load(), 0) << "a stop() returned while the thread was still running";
    EXPECT_EQ(current.load(), 0) << "no stopper runs on the library thread";
    library.stop(); // idempotent afterwards as well
}

TEST(LibraryThread, AnEscapedExceptionIsLoggedByItsTypeNotItsText) {
    std::mutex mutex;
    std::vector<std::string> lines;
    LibraryThread library([&](const std::string& line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    });
    testing::internal::CaptureStderr();
    asio::post(library.executor(), [] {
        throw std::runtime_error("refresh rejected: {\"refresh_token\":\"rt-SECRET\"}");
    });
    asio::post(library.executor(), [] { throw 42; });
    // The thread goes on with the next handler, which also shows that both were logged.
    EXPECT_TRUE(onLibraryThread(library, [&] { return library.isCurrent(); }));
    library.stop();
    const std::string stderrText = testing::internal::GetCapturedStderr();

    std::lock_guard lock(mutex);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("std::runtime_error"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("type int"), std::string::npos) << lines[1];
    for (const auto& line : lines)
        EXPECT_EQ(line.find("SECRET"), std::string::npos) << line;
    EXPECT_EQ(stderrText.find("SECRET"), std::string::npos) << "what() reached stderr";
}

TEST(LibraryThread, WithoutAHostOrAReportTheFixedLineGoesToStandardError) {
    LibraryThread library;
    testing::internal::CaptureStderr();
    asio::post(library.executor(),
               [] { throw std::invalid_argument("Bearer SECRET-session-token"); });
    EXPECT_TRUE(onLibraryThread(library, [&] { return library.isCurrent(); }));
    library.stop();
    const std::string stderrText = testing::internal::GetCapturedStderr();
    EXPECT_NE(stderrText.find("std::invalid_argument"), std::string::npos) << stderrText;
    EXPECT_EQ(stderrText.find("SECRET"), std::string::npos) << stderrText;
}

} // namespace
} // namespace desktop
