// The account soak: signs in through the library against tools/identity-dev (started here),
// then makes authenticated calls from concurrent callers while the service faults a share of
// its answers (5xx, reset connections, 2-second delays, 429 with Retry-After, refresh answers
// lost after the rotation). Sessions live 2 s, so refreshes are frequent; the service grants a
// 30-second grace for a spent refresh token. The last line of stdout is one JSON object of
// counts and latencies; the exit status is 0 only when nothing crashed, no session was lost, no
// spent refresh token was reused, every refresh was a rotation or a grace replay, and no secret
// reached a log.
//
// With --kill-test M it runs M child processes one after another instead, each the same binary
// with the desktop Keychain on a real gnome-keyring in a private D-Bus session (the whole run
// re-executes itself under tests/Desktop/Services/Keychain/with-keyring.sh for that). The first
// child signs in; every child restores the stored session and makes authenticated calls in a
// loop, each of which refreshes the 2-second session; the parent kills each child with SIGKILL
// at a random moment. Every next child must find the session stored and usable. The last line
// is one JSON object (kills, sessions_lost, restores, refreshes, …); the exit status is 0 only
// when no session was lost, no child crashed and no spent refresh token was reused.
//
// account_soak [--calls N] [--clients K] [--fault-rate F] [--log-dir DIR]
// account_soak --kill-test M [--seed S] [--refresh-grace-seconds N] [--log-dir DIR]
#include "CorvaneAccount/Facade/CorvaneAccountManager.h"
#include "CorvaneAccount/Storage/KeychainStorage.h"
#include "CorvaneAccount/Transport/AuthClient.h"
#include "CorvaneAccount/Transport/IdentityThrottle.h"
#include "Platform/Async.h"
#include "Platform/Desktop/Services/DesktopHttpSession.h"
#include "Platform/Desktop/Services/DesktopKeychain.h"
#include "Platform/Sim/SimHost.h"
#include "tests/Desktop/Account/IdentityDevServer.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/url/parse.hpp>
#include <curl/curl.h>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace asio = boost::asio;
using corvane::CorvaneAccountManager;
using corvane::CorvaneError;
using corvane::StoredSession;
using Clock = std::chrono::steady_clock;

extern "C" char** environ;

namespace {

// What a child process of the kill test does: sign in first, or restore and call in a loop until
// it is killed, or (the last one) restore, make one call and exit.
enum class ChildRole { none, signIn, loop, check };

struct Options {
    int calls = 1000;
    int clients = 4;
    double faultRate = 0.2;
    std::string logDir;
    int killTest = 0;
    std::optional<unsigned> seed;
    // The service's grace for a spent refresh token; 0 shows what a kill between the rotation
    // and the keyring write does without it.
    int graceSeconds = 30;
    ChildRole child = ChildRole::none;
    std::string baseURL;
};

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "account_soak: " << problem << "\n"
              << "usage: account_soak [--calls N] [--clients K] [--fault-rate F] [--log-dir DIR]\n"
              << "       account_soak --kill-test M [--seed S] [--refresh-grace-seconds N] "
                 "[--log-dir DIR]\n";
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(arg + " needs a value");
            return argv[++i];
        };
        try {
            if (arg == "--calls")
                o.calls = std::stoi(value());
            else if (arg == "--clients")
                o.clients = std::stoi(value());
            else if (arg == "--fault-rate")
                o.faultRate = std::stod(value());
            else if (arg == "--log-dir")
                o.logDir = value();
            else if (arg == "--kill-test")
                o.killTest = std::stoi(value());
            else if (arg == "--refresh-grace-seconds")
                o.graceSeconds = std::stoi(value());
            else if (arg == "--seed")
                o.seed = static_cast<unsigned>(std::stoul(value()));
            // The children of the kill test, started by it (not for people).
            else if (arg == "--child") {
                const std::string role = value();
                o.child = role == "sign-in" ? ChildRole::signIn
                          : role == "loop"  ? ChildRole::loop
                          : role == "check"
                              ? ChildRole::check
                              : (usage("unknown child role " + role), ChildRole::none);
            } else if (arg == "--base")
                o.baseURL = value();
            else
                usage("unknown option " + arg);
        } catch (const std::logic_error&) {
            usage(arg + " needs a number");
        }
    }
    if (o.calls < 1 || o.clients < 1 || o.clients > 64 || !(o.faultRate >= 0 && o.faultRate <= 1))
        usage("--calls ≥ 1, --clients 1 to 64, --fault-rate 0 to 1");
    if (o.killTest < 0 || o.killTest > 100000 || o.graceSeconds < 0)
        usage("--kill-test 1 to 100000, --refresh-grace-seconds 0 or more");
    if (o.child != ChildRole::none && o.baseURL.empty())
        usage("--child needs --base");
    return o;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

class Soak {
public:
    explicit Soak(Options options) : options_(std::move(options)) {}

    int run() {
        server_ = std::make_unique<identity_dev::Server>(
            std::vector<std::string>{"--session-lifetime", "2", "--refresh-grace-seconds", "30"});
        if (!server_->running()) {
            std::cerr << "account_soak: tools/identity-dev did not start (node and its packages "
                         "are needed)\n";
            return 1;
        }
        baseURL_ = server_->baseURL();
        host_.setWallClock(std::chrono::system_clock::now());
        host_.useHttpSession(&http_);
        makeManager();

        if (!signIn()) {
            std::cerr << "account_soak: the sign-in failed\n" << server_->log();
            return 1;
        }
        remember(storedSession());
        dev("POST", "/__dev/knobs", {{"random_faults", {{"rate", options_.faultRate}}}});

        // The callers, each taking the next call until all are made.
        for (int k = 0; k < options_.clients; ++k)
            asio::co_spawn(platform::libraryExecutor(), caller(this), asio::detached);
        pumpUntil([this] { return finished_ == options_.calls; }, 3600);

        // Afterwards, without faults: the stored session must still work.
        dev("POST", "/__dev/knobs", {{"random_faults", nullptr}});
        if (!sessionStillWorks())
            ++sessionsLost_;
        const nlohmann::json stats = dev("GET", "/__dev/state")["refresh_stats"];
        const int secretsInLogs = scanLogs();

        nlohmann::ordered_json result;
        result["calls"] = options_.calls;
        result["succeeded"] = succeeded_;
        result["failed_with_clear_error"] = failedClearly_;
        result["crashes"] = crashes_;
        result["sessions_lost"] = sessionsLost_;
        result["refreshes"] = stats.value("refreshes", -1);
        result["rotations"] = stats.value("rotations", -1);
        result["grace_replays"] = stats.value("grace_replays", -1);
        result["reused_refresh_tokens"] = stats.value("reused_refresh_tokens", -1);
        result["p50_ms"] = percentile(latencies_, 0.5);
        result["p99_ms"] = percentile(latencies_, 0.99);
        std::cerr << "account_soak: errors by kind " << nlohmann::json(errors_).dump()
                  << "; faults by kind " << stats.value("faults", nlohmann::json::object()).dump()
                  << "; secrets in logs " << secretsInLogs << "\n";
        std::cout << result.dump() << std::endl;

        const bool sound = crashes_ == 0 && sessionsLost_ == 0 &&
                           result["reused_refresh_tokens"] == 0 &&
                           result["refreshes"] == result["rotations"].get<int>() +
                                                      result["grace_replays"].get<int>() &&
                           succeeded_ + failedClearly_ == options_.calls && secretsInLogs == 0;
        return sound ? 0 : 1;
    }

    // A child of the kill test, on the real keyring. Reports on stdout, one word a line:
    // "signed-in", "restored", "refreshed" (a call that refreshed the session and succeeded),
    // "error KIND" (a call failed for a passing reason), "lost WHY" (the stored session is gone
    // or unusable), "done". Library log lines go to stderr as they come, since a child is killed
    // without warning.
    int runChild() {
        baseURL_ = options_.baseURL;
        streamLog_ = true;
        keychain_ = std::make_unique<desktop::DesktopKeychain>();
        host_.useKeychain(keychain_.get());
        host_.setWallClock(std::chrono::system_clock::now());
        host_.useHttpSession(&http_);
        makeManager();

        if (options_.child == ChildRole::signIn) {
            if (!signIn()) {
                say("lost sign-in-failed");
                return 1;
            }
            say("signed-in");
        } else {
            auto restored = await(manager_->restore(true));
            if (!restored || !*restored) {
                say(manager_->storedSessionUnread() ? "lost keyring-unreadable"
                                                    : "lost not-stored");
                return 3;
            }
            say("restored");
        }
        for (;;) {
            const auto session = storedSession();
            if (!session) {
                say("lost deleted");
                return 3;
            }
            const std::string outcome = await(callOnce(this, session->cas)).value_or("none");
            if (outcome == "ok") {
                say("refreshed");
                if (options_.child == ChildRole::check) {
                    say("done");
                    return 0;
                }
            } else if (outcome == "sessionExpired") {
                // What the application does with a rejected session.
                if (!await(manager_->recoverRejectedSession()).value_or(false)) {
                    say("lost rejected");
                    return 3;
                }
            } else {
                say("error " + outcome);
                if (options_.child == ChildRole::check && ++checkErrors_ > 10) {
                    say("lost no-call-succeeds");
                    return 3;
                }
                pumpUntil([] { return false; }, 0.1);
            }
        }
    }

private:
    static asio::awaitable<std::string> callOnce(Soak* soak, std::string cas) {
        try {
            auto op = soak->manager_->authClient()->getAppDataToken(cas);
            co_await std::move(op);
            co_return "ok";
        } catch (const CorvaneError& e) {
            co_return e.kind() == CorvaneError::Kind::sessionExpired
                ? std::string("sessionExpired")
                : (e.code() ? *e.code() : kindName(e));
        } catch (const corvane::CancellationError&) {
            co_return "cancelled";
        }
    }

    static void say(const std::string& line) { std::cout << line << std::endl; }

    void makeManager() {
        const boost::urls::url base(baseURL_);
        corvane::CorvaneConfig config(
            base, base, "quillet", "quillet-desktop", "0.3.1", "0.9.5",
            boost::urls::url("quillet://auth/callback"), corvane::AuthScheme::systemBrowser,
            std::nullopt, {"openid", "email"}, &http_,
            [this](corvane::CorvaneLogLevel level, const std::string& key,
                   const std::map<std::string, std::string>& metadata) {
                std::string line = std::string(corvane::rawValue(level)) + " " + key;
                for (const auto& [k, v] : metadata)
                    line += " " + k + ": " + v;
                if (streamLog_)
                    std::cerr << line << std::endl;
                else
                    libraryLog_.push_back(line);
            },
            std::nullopt);
        // A budget far above an application's: the soak loads the service on purpose. The
        // breaker and back-off stay, with short waits.
        corvane::IdentityThrottleOptions throttle;
        throttle.maxRequestsPerMinute = 1'000'000;
        throttle.circuitBreakerOpenDuration = 2;
        throttle.maxBackoff = 5;
        throttle.backoffBase = 0.2;
        manager_ = CorvaneAccountManager::create(
            config, std::make_shared<corvane::IdentityThrottle>(throttle, config.logger));
    }

    // Runs the simulated host, whose run loop takes the transfers' answers, with virtual time
    // kept at the real time, until `done` or `limit` real seconds.
    void pumpUntil(const std::function<bool()>& done, double limit) {
        const auto start = Clock::now();
        auto last = start;
        while (!done() && std::chrono::duration<double>(Clock::now() - start).count() < limit) {
            host_.runUntilIdle();
            if (done())
                break;
            host_.simRunLoop().waitForPostedWork(std::chrono::milliseconds(5));
            const auto now = Clock::now();
            host_.advance(std::chrono::duration<double>(now - last).count());
            last = now;
        }
    }

    template <class T> std::optional<T> await(asio::awaitable<T> op) {
        auto result = std::make_shared<std::optional<T>>();
        auto done = std::make_shared<bool>(false);
        asio::co_spawn(platform::libraryExecutor(), std::move(op),
                       [result, done](std::exception_ptr e, T value) {
                           *done = true;
                           if (!e)
                               *result = std::move(value);
                       });
        pumpUntil([done] { return *done; }, 60);
        return *result;
    }

    platform::HttpResult send(platform::HttpRequest request) {
        auto op = [](platform::HttpSession* s,
                     platform::HttpRequest r) -> asio::awaitable<platform::HttpResult> {
            auto sent = s->send(std::move(r));
            co_return co_await std::move(sent);
        };
        return await(op(&http_, std::move(request))).value_or(platform::HttpResult{});
    }

    nlohmann::json dev(const std::string& method, const std::string& path,
                       const nlohmann::json& body = nullptr) {
        platform::HttpRequest request;
        request.method = method;
        request.url = baseURL_ + path;
        if (!body.is_null()) {
            const std::string text = body.dump();
            request.body.assign(text.begin(), text.end());
            request.headers.set("Content-Type", "application/json");
        }
        auto answer = send(request);
        return nlohmann::json::parse(std::string(answer.data.begin(), answer.data.end()), nullptr,
                                     false);
    }

    // A browser sign-in, the user approving at once, as the integration tests do.
    bool signIn() {
        auto account = std::make_shared<std::optional<corvane::CorvaneAccount>>();
        auto done = std::make_shared<bool>(false);
        asio::co_spawn(platform::libraryExecutor(),
                       manager_->signInViaSystemBrowser(std::nullopt, std::nullopt),
                       [account, done](std::exception_ptr e, corvane::CorvaneAccount a) {
                           *done = true;
                           if (!e)
                               *account = std::move(a);
                       });
        pumpUntil([this] { return !host_.simBrowser().openedURLs.empty(); }, 30);
        if (host_.simBrowser().openedURLs.empty())
            return false;
        platform::HttpRequest authorize;
        authorize.url = host_.simBrowser().openedURLs.back();
        const auto location = send(authorize).response.headers.value("Location");
        if (!location)
            return false;
        const auto code = boost::urls::parse_uri(*location);
        if (code)
            for (const auto& param : code->params())
                if (param.key == "code" || param.key == "state")
                    secrets_.insert(std::string(param.value));
        if (!manager_->resume(*location))
            return false;
        pumpUntil([done] { return *done; }, 60);
        return account->has_value();
    }

    std::optional<StoredSession> storedSession() {
        return corvane::KeychainStorage("quillet", std::nullopt)
            .getJSON<StoredSession>(corvane::KeychainStorage::Keys::session);
    }

    void remember(const std::optional<StoredSession>& session) {
        if (!session)
            return;
        secrets_.insert(session->cas);
        if (session->refreshToken)
            secrets_.insert(*session->refreshToken);
    }

    static asio::awaitable<void> caller(Soak* soak) {
        while (soak->started_ < soak->options_.calls) {
            ++soak->started_;
            const auto start = Clock::now();
            std::optional<StoredSession> session = soak->storedSession();
            soak->remember(session);
            std::exception_ptr error;
            try {
                if (!session) {
                    // The session is gone: the library deleted or lost it.
                    if (!soak->lostSeen_) {
                        soak->lostSeen_ = true;
                        ++soak->sessionsLost_;
                    }
                    throw CorvaneError::notSignedIn();
                }
                auto op = soak->manager_->authClient()->getAppDataToken(session->cas);
                co_await std::move(op);
                ++soak->succeeded_;
            } catch (...) {
                error = std::current_exception();
            }
            if (error)
                co_await soak->classify(error);
            soak->latencies_.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            ++soak->finished_;
        }
    }

    // A failure is clear when it is one of the library's errors (or its own cancellation); a
    // rejected session is handed to the facade's recovery, as the application does.
    asio::awaitable<void> classify(std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const CorvaneError& e) {
            ++failedClearly_;
            ++errors_[e.code() ? *e.code() : kindName(e)];
            if (e.kind() != CorvaneError::Kind::sessionExpired)
                co_return;
        } catch (const corvane::CancellationError&) {
            ++failedClearly_;
            ++errors_["cancelled"];
            co_return;
        } catch (...) {
            ++crashes_;
            co_return;
        }
        try {
            auto op = manager_->recoverRejectedSession();
            co_await std::move(op);
        } catch (...) {
            ++crashes_;
        }
    }

    static std::string kindName(const CorvaneError& e) {
        switch (e.kind()) {
        case CorvaneError::Kind::networkUnavailable:
            return "networkUnavailable";
        case CorvaneError::Kind::sessionExpired:
            return "sessionExpired";
        case CorvaneError::Kind::notSignedIn:
            return "notSignedIn";
        case CorvaneError::Kind::malformedResponse:
            return "malformedResponse";
        case CorvaneError::Kind::serverError:
            return "serverError " + std::to_string(e.status());
        default:
            return "other";
        }
    }

    bool sessionStillWorks() {
        auto session = storedSession();
        if (!session)
            return false;
        remember(session);
        auto token = await(manager_->authClient()->getAppDataToken(session->cas));
        remember(storedSession());
        return token.has_value() && manager_->state().account();
    }

    // Writes every log of the run to the log directory (when given) and counts the secrets of
    // the run (tokens, code, state) found in any of them.
    int scanLogs() {
        std::string all = server_->log();
        std::string library;
        for (const auto& line : libraryLog_)
            library += line + "\n";
        for (const auto& entry : host_.simLog().lines)
            library += entry.message + "\n";
        all += library;
        if (!options_.logDir.empty()) {
            std::ofstream(options_.logDir + "/identity-dev.log") << server_->log();
            std::ofstream(options_.logDir + "/library.log") << library;
        }
        int found = 0;
        for (const auto& secret : secrets_)
            if (secret.size() >= 8 && all.find(secret) != std::string::npos)
                ++found;
        return found;
    }

    Options options_;
    platform::sim::SimHost host_;
    desktop::DesktopHttpSession http_;
    std::unique_ptr<desktop::DesktopKeychain> keychain_;
    std::unique_ptr<identity_dev::Server> server_;
    std::string baseURL_;
    bool streamLog_ = false;
    int checkErrors_ = 0;
    std::shared_ptr<CorvaneAccountManager> manager_;
    std::vector<std::string> libraryLog_;
    std::set<std::string> secrets_;

    int started_ = 0;
    int finished_ = 0;
    int succeeded_ = 0;
    int failedClearly_ = 0;
    int crashes_ = 0;
    int sessionsLost_ = 0;
    bool lostSeen_ = false;
    std::map<std::string, int> errors_;
    std::vector<double> latencies_;
};

// --- the kill test ---

// The body of a GET, or nothing when it fails.
std::optional<std::string> httpGet(const std::string& url) {
    CURL* curl = curl_easy_init();
    if (!curl)
        return std::nullopt;
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION,
        +[](char* data, size_t size, size_t count, void* out) -> size_t {
            static_cast<std::string*>(out)->append(data, size * count);
            return size * count;
        });
    const CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (result != CURLE_OK)
        return std::nullopt;
    return body;
}

// A child process with its stdout on a pipe, read a line at a time.
class Child {
public:
    Child(const std::vector<std::string>& arguments, const std::string& stderrPath) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO,
                                         stderrPath.empty() ? "/dev/null" : stderrPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv;
        for (const auto& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, "/proc/self/exe", &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        fd_ = out[0];
    }
    ~Child() {
        kill();
        if (fd_ >= 0)
            close(fd_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }

    // The next line before `deadline`; none when the deadline passed or the child closed its
    // stdout (it ended).
    std::optional<std::string> readLine(Clock::time_point deadline) {
        for (;;) {
            if (const auto end = buffer_.find('\n'); end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            if (fd_ < 0 || eof_)
                return std::nullopt;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char chunk[4096];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0)
                eof_ = true;
            else
                buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // SIGKILL, then reaps it; true when it was still running.
    bool kill() {
        if (pid_ <= 0)
            return false;
        const bool running = waitpid(pid_, &status_, WNOHANG) == 0;
        if (running) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        }
        pid_ = -1;
        return running;
    }

    // Waits for it to end; its exit status, or -1 when a signal ended it.
    int wait() {
        if (pid_ > 0) {
            waitpid(pid_, &status_, 0);
            pid_ = -1;
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    int status_ = 0;
    bool eof_ = false;
    std::string buffer_;
};

class KillTest {
public:
    explicit KillTest(Options options) : options_(std::move(options)) {}

    int run() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        server_ = std::make_unique<identity_dev::Server>(
            std::vector<std::string>{"--session-lifetime", "2", "--refresh-grace-seconds",
                                     std::to_string(options_.graceSeconds)});
        if (!server_->running()) {
            std::cerr << "account_soak: tools/identity-dev did not start (node and its packages "
                         "are needed)\n";
            return 1;
        }
        const unsigned seed = options_.seed.value_or(std::random_device{}());
        std::mt19937 random(seed);
        // From before the restore has finished to well into the calls.
        std::uniform_real_distribution<double> delay(0.05, 3.0);
        std::cerr << "account_soak: kill test of " << options_.killTest << " children, seed "
                  << seed << "\n";

        // The first child signs in; the random moments start once the session is stored.
        {
            Child first(arguments("sign-in"), logPath("child-0-sign-in"));
            if (!first.started() || !expect(first, "signed-in", 90)) {
                std::cerr << "account_soak: the first child did not sign in\n" << server_->log();
                return 1;
            }
            watch(first, Clock::now() + seconds(delay(random)));
            if (first.kill())
                ++kills_;
            else
                ++crashes_;
        }
        for (int i = 1; i < options_.killTest; ++i) {
            Child child(arguments("loop"), logPath("child-" + std::to_string(i)));
            if (!child.started()) {
                ++crashes_;
                continue;
            }
            watch(child, Clock::now() + seconds(delay(random)));
            if (child.kill())
                ++kills_;
            else if (child.wait() != 3) // a lost session ends a child with 3, already counted
                ++crashes_;
        }
        // The last child restores, makes one call and ends by itself.
        {
            Child last(arguments("check"), logPath("child-check"));
            const int lostBefore = sessionsLost_;
            const bool done = last.started() && watch(last, Clock::now() + seconds(90));
            // One that said why it lost the session is counted already.
            if (!done && sessionsLost_ == lostBefore) {
                ++sessionsLost_;
                ++lostWhy_["check-did-not-finish"];
            }
            if (last.wait() != 0 && done)
                ++crashes_;
        }

        const auto state = nlohmann::json::parse(
            httpGet(server_->baseURL() + "/__dev/state").value_or(""), nullptr, false);
        const nlohmann::json stats = state.is_object()
                                         ? state.value("refresh_stats", nlohmann::json::object())
                                         : nlohmann::json::object();
        if (!options_.logDir.empty())
            std::ofstream(options_.logDir + "/identity-dev.log") << server_->log();

        nlohmann::ordered_json result;
        result["kills"] = kills_;
        result["sessions_lost"] = sessionsLost_;
        result["restores"] = restores_;
        result["refreshes"] = stats.value("refreshes", -1);
        result["rotations"] = stats.value("rotations", -1);
        result["grace_replays"] = stats.value("grace_replays", -1);
        result["reused_refresh_tokens"] = stats.value("reused_refresh_tokens", -1);
        result["calls_succeeded"] = callsSucceeded_;
        result["crashes"] = crashes_;
        std::cerr << "account_soak: lost sessions by reason " << nlohmann::json(lostWhy_).dump()
                  << "; call errors by kind " << nlohmann::json(errors_).dump() << "\n";
        std::cout << result.dump() << std::endl;
        return sessionsLost_ == 0 && crashes_ == 0 && result["reused_refresh_tokens"] == 0 ? 0 : 1;
    }

private:
    static Clock::duration seconds(double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    }

    std::vector<std::string> arguments(const std::string& role) const {
        return {"account_soak", "--child", role, "--base", server_->baseURL()};
    }

    std::string logPath(const std::string& name) const {
        return options_.logDir.empty() ? std::string() : options_.logDir + "/" + name + ".log";
    }

    // Reads the child's reports until `deadline` or until it ends; true when it said "done".
    bool watch(Child& child, Clock::time_point deadline) {
        while (auto line = child.readLine(deadline)) {
            if (*line == "restored")
                ++restores_;
            else if (*line == "refreshed")
                ++callsSucceeded_;
            else if (line->rfind("error ", 0) == 0)
                ++errors_[line->substr(6)];
            else if (line->rfind("lost ", 0) == 0) {
                ++sessionsLost_;
                ++lostWhy_[line->substr(5)];
            } else if (*line == "done")
                return true;
        }
        return false;
    }

    bool expect(Child& child, const std::string& word, double limit) {
        const auto deadline = Clock::now() + seconds(limit);
        while (auto line = child.readLine(deadline))
            if (*line == word)
                return true;
        return false;
    }

    Options options_;
    std::unique_ptr<identity_dev::Server> server_;
    int kills_ = 0;
    int sessionsLost_ = 0;
    int restores_ = 0;
    int callsSucceeded_ = 0;
    int crashes_ = 0;
    std::map<std::string, int> lostWhy_;
    std::map<std::string, int> errors_;
};

// The kill test runs on a keyring of its own: the whole run starts again under the script that
// gives it a private D-Bus session with a fresh, unlocked gnome-keyring.
int runKillTestOnPrivateKeyring(char** argv) {
    if (std::getenv("QUILLET_SOAK_PRIVATE_KEYRING"))
        return -1;
    setenv("QUILLET_SOAK_PRIVATE_KEYRING", "1", 1);
    const std::string script =
        std::string(QUILLET_SOURCE_DIR) + "/tests/Desktop/Services/Keychain/with-keyring.sh";
    // The script's shell would be /proc/self/exe by then: the binary goes by its real path.
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::vector<char*> args{const_cast<char*>(script.c_str()), self.data()};
    for (char** a = argv + 1; *a; ++a)
        args.push_back(*a);
    args.push_back(nullptr);
    execv(script.c_str(), args.data());
    std::cerr << "account_soak: cannot run " << script << "\n";
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    if (options.child != ChildRole::none) {
        Soak soak(options);
        return soak.runChild();
    }
    if (options.killTest > 0) {
        if (const int status = runKillTestOnPrivateKeyring(argv); status >= 0)
            return status;
        KillTest test(options);
        return test.run();
    }
    Soak soak(options);
    return soak.run();
}