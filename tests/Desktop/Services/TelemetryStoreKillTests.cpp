// The telemetry store under SIGKILL: a process reporting and uploading errors as fast as it can is
// killed at random moments twenty times; each time the store it leaves must be readable, the next
// process must take it up, and the service must never take one batch id twice.
#include "CorvaneAccount/Telemetry/TelemetryStore.h"
#include "Platform/Desktop/Services/DesktopCacheFiles.h"
#include "tests/Desktop/Services/Http/LoopbackHttpServer.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using testing_http::LoopbackHttpServer;
using testing_http::Reply;
using testing_http::Request;

namespace {

struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child startStorm(const std::string& dir, const std::string& url, const char* mode) {
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        ::execl(QUILLET_TELEMETRY_STORM, QUILLET_TELEMETRY_STORM, dir.c_str(), url.c_str(), mode,
                nullptr);
        ::_exit(127);
    }
    ::close(fds[1]);
    return {pid, fds[0]};
}

// The child's first line ("restored <n>"): it has read the store and queued what it held.
std::string firstLine(int fd) {
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

} // namespace

TEST(DesktopTelemetryStore, AKillStormLeavesAReadableStoreAndNeverTheSameBatchTwice) {
    std::mutex mutex;
    std::map<std::string, int> batchIds;
    std::size_t events = 0;
    std::mt19937 random(std::random_device{}());
    // The service is slow and sometimes fails, so that kills land in every phase of an upload:
    // before the request, while it waits, during the back-off and after the answer.
    LoopbackHttpServer server([&](const Request& r) {
        auto body = nlohmann::json::parse(r.body, nullptr, false);
        int roll = 0;
        {
            std::lock_guard guard(mutex);
            roll = static_cast<int>(random() % 10);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(roll * 3));
        // A try that failed is retried under the same id; a batch the service took never is.
        if (roll == 0 || !body.is_object() || !body.contains("batch_id"))
            return Reply{503, "Service Unavailable", {}, "", false};
        std::lock_guard guard(mutex);
        ++batchIds[body["batch_id"].get<std::string>()];
        events += body["events"].size();
        return Reply{202, "Accepted", {}, "{}", false};
    });
    const auto dir = std::filesystem::temp_directory_path() /
                     ("quillet-telemetry-storm-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    desktop::DesktopCacheFiles files(dir.string());

    std::uniform_int_distribution<int> delay(20, 400);
    int restoredNonEmpty = 0;
    for (int kill = 0; kill < 20; ++kill) {
        Child child = startStorm(dir.string(), server.url("/id"), "--observe");
        ASSERT_GT(child.pid, 0);
        const std::string line = firstLine(child.out);
        ASSERT_EQ(line.rfind("restored ", 0), 0u) << "kill " << kill << ": " << line;
        if (line != "restored 0")
            ++restoredNonEmpty;
        std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
        ::kill(child.pid, SIGKILL);
        int status = 0;
        ::waitpid(child.pid, &status, 0);
        ::close(child.out);
        ASSERT_TRUE(WIFSIGNALED(status)) << "kill " << kill << ": the reporter ended on its own";

        // Whatever the moment, the store is absent or one this client reads whole.
        if (auto text =
                files.read(corvane::telemetry::storeFileName, corvane::telemetry::maxStoreBytes)) {
            auto decoded = corvane::telemetry::decodeStore(*text, 10, 50);
            ASSERT_FALSE(decoded.unreadable) << "kill " << kill << " left an unreadable store";
        }
    }
    EXPECT_GT(restoredNonEmpty, 0) << "no kill ever left batches for the next process";

    // A last process sends what the storm left and ends with an empty store.
    Child last = startStorm(dir.string(), server.url("/id"), "--drain");
    ASSERT_GT(last.pid, 0);
    firstLine(last.out);
    int status = 0;
    ::waitpid(last.pid, &status, 0);
    ::close(last.out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(std::filesystem::exists(dir / corvane::telemetry::storeFileName));

    server.stop();
    std::lock_guard guard(mutex);
    EXPECT_GT(events, 0u);
    for (const auto& [id, times] : batchIds)
        EXPECT_EQ(times, 1) << "batch " << id << " was taken " << times << " times";
    std::filesystem::remove_all(dir);
}
