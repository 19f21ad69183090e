// The account soak: signs in through the library against tools/identity-dev (started here),
// then makes authenticated calls from concurrent callers while the service faults a share of
// its answers (5xx, reset connections, 2-second delays, 429 with Retry-After, refresh answers
// lost after the rotation). Sessions live 2 s, so refreshes are frequent; the service grants a
// 30-second grace for a spent refresh token. The last line of stdout is one JSON object of
// counts and latencies; the exit status is 0 only when nothing crashed, no session was lost, no
// spent refresh token was reused, every refresh was a rotation or a grace replay, and no secret
// reached a log.
//
// account_soak [--calls N] [--clients K] [--fault-rate F] [--log-dir DIR]
#include "CorvaneAccount/Facade/CorvaneAccountManager.h"
#include "CorvaneAccount/Storage/KeychainStorage.h"
#include "CorvaneAccount/Transport/AuthClient.h"
#include "CorvaneAccount/Transport/IdentityThrottle.h"
#include "Platform/Async.h"
#include "Platform/Desktop/Services/DesktopHttpSession.h"
#include "Platform/Sim/SimHost.h"
#include "tests/Desktop/Account/IdentityDevServer.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/url/parse.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace asio = boost::asio;
using corvane::CorvaneAccountManager;
using corvane::CorvaneError;
using corvane::StoredSession;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    int calls = 1000;
    int clients = 4;
    double faultRate = 0.2;
    std::string logDir;
};

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "account_soak: " << problem << "\n"
              << "usage: account_soak [--calls N] [--clients K] [--fault-rate F] [--log-dir DIR]\n";
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
            else
                usage("unknown option " + arg);
        } catch (const std::logic_error&) {
            usage(arg + " needs a number");
        }
    }
    if (o.calls < 1 || o.clients < 1 || o.clients > 64 || !(o.faultRate >= 0 && o.faultRate <= 1))
        usage("--calls ≥ 1, --clients 1 to 64, --fault-rate 0 to 1");
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

private:
    void makeManager() {
        const boost::urls::url base(server_->baseURL());
        corvane::CorvaneConfig config(
            base, base, "quillet", "quillet-desktop", "0.3.1", "0.9.5",
            boost::urls::url("quillet://auth/callback"), corvane::AuthScheme::systemBrowser,
            std::nullopt, {"openid", "email"}, &http_,
            [this](corvane::CorvaneLogLevel level, const std::string& key,
                   const std::map<std::string, std::string>& metadata) {
                std::string line = std::string(corvane::rawValue(level)) + " " + key;
                for (const auto& [k, v] : metadata)
                    line += " " + k + ": " + v;
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
        request.url = server_->baseURL() + path;
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
    std::unique_ptr<identity_dev::Server> server_;
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

} // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    Soak soak(options);
    return soak.run();
}
