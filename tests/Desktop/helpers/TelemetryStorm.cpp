// A process that reports errors through the telemetry client as fast as it can, uploading them to
// a loopback service and keeping what is undelivered in a store of desktop cache files, for the
// store's kill test: it is killed with SIGKILL at random moments.
//
//   desktop_telemetry_storm <store-dir> <service-url> --observe   reports until killed
//   desktop_telemetry_storm <store-dir> <service-url> --drain     reports nothing, sends what the
//       store holds and exits 0 once nothing is pending (1 after 20 s)
//
// Prints "restored <n>" once the stored batches are queued.
#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"
#include "Platform/Desktop/Services/DesktopCacheFiles.h"
#include "Platform/Desktop/Services/DesktopHttpSession.h"
#include "Platform/Desktop/Services/LibraryThread.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace asio = boost::asio;
using corvane::ErrorFirehoseClient;

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    const bool drain = std::strcmp(argv[3], "--drain") == 0;
    desktop::LibraryThread library;
    auto owned = std::make_shared<desktop::DesktopHttpSession>();
    std::shared_ptr<platform::HttpSession> session(std::shared_ptr<void>(), owned.get());
    desktop::DesktopCacheFiles files(argv[1]);

    ErrorFirehoseClient::Tuning tuning;
    tuning.flushIntervalSeconds = 0.02;
    tuning.backoffSeconds = {0.02, 0.05};
    tuning.backoffJitter = 0.01;
    ErrorFirehoseClient::Environment env;
    env.executor = library.executor();
    env.consent = [] { return true; };
    env.clock = [] { return std::chrono::system_clock::now(); };
    env.sleep = [](double seconds) -> asio::awaitable<void> {
        asio::steady_timer timer(co_await asio::this_coro::executor);
        timer.expires_after(std::chrono::microseconds(static_cast<long>(seconds * 1e6)));
        co_await timer.async_wait(asio::use_awaitable);
    };
    env.store = &files;
    auto client = ErrorFirehoseClient::make(tuning, env);
    client->configure("quillet", std::string("linux"), "0.3.1", std::string("6.1.0"),
                      "install-storm", argv[2], session);
    client->start();
    std::size_t restored = 0;
    for (const auto& batch : client->pendingBatches())
        restored += batch.empty() ? 0 : 1;
    std::printf("restored %zu\n", restored);
    std::fflush(stdout);

    if (!drain) {
        // Distinct errors (a counter spelled in letters stays in the template), so that batches
        // fill and the store changes all the time.
        for (long i = 0;; ++i) {
            std::string word;
            for (long n = i; n > 0 || word.empty(); n /= 26)
                word += static_cast<char>('a' + n % 26);
            client->observe("error", "network", "storm failure " + word);
            if (i % 20 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (client->pendingBatches().empty() &&
            !files.read("corvane-error-telemetry.json", 1 << 20)) {
            library.stop();
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    library.stop();
    return 1;
}
