#include "CorvaneAccount/Telemetry/TelemetryUpload.h"

#include "CorvaneAccount/Telemetry/ErrorTelemetryConsent.h"
#include "CorvaneAccount/Telemetry/GeoProbeClient.h"
#include "CorvaneAccount/Telemetry/TelemetryWireFormat.h"
#include "CorvaneAccount/Transport/RetryAfter.h"
#include "Platform/Async.h"
#include "Platform/Host.h"
#include "Platform/HttpSession.h"

#include <algorithm>
#include <random>

namespace asio = boost::asio;

namespace corvane::telemetry {

namespace {

double uniformDefault(double low, double high) {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return std::uniform_real_distribution<double>(low, high)(generator);
}

std::chrono::system_clock::time_point wallClock(const ErrorFirehoseClient::Environment& env) {
    if (env.clock)
        return env.clock();
    return platform::hasHost() ? platform::now() : std::chrono::system_clock::time_point{};
}

} // namespace

bool recordingAllowed(const ErrorFirehoseClient::Environment& env) {
    if (env.consent)
        return env.consent();
    return platform::hasHost() && ErrorTelemetryConsent::isEnabled();
}

bool uploadAllowed(const ErrorFirehoseClient::Environment& env) {
    if (env.uploadConsent)
        return env.uploadConsent();
    if (env.consent)
        return env.consent();
    return platform::hasHost() && ErrorTelemetryConsent::mayUpload();
}

asio::awaitable<bool> sendBatch(const ErrorFirehoseClient::Tuning& tuning,
                                const ErrorFirehoseClient::Environment& env,
                                std::vector<CoalescedEntry> entries,
                                ErrorFirehoseClient::ContextSnapshot context, int retryCount) {
    std::vector<std::string> eventIds;
    eventIds.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        eventIds.push_back(randomUUID());
    co_return co_await sendBatchWithIds(tuning, env, entries, context, retryCount, randomUUID(),
                                        eventIds);
}

asio::awaitable<bool> sendBatchWithIds(const ErrorFirehoseClient::Tuning& tuning,
                                       const ErrorFirehoseClient::Environment& env,
                                       std::vector<CoalescedEntry> entries,
                                       ErrorFirehoseClient::ContextSnapshot context, int retryCount,
                                       std::string batchId, std::vector<std::string> eventIds) {
    // 1. The service refuses a whole batch for one entry it cannot take: such an entry is left
    // out, and the others go.
    std::vector<CoalescedEntry> sound;
    std::vector<std::string> soundIds;
    for (std::size_t i = 0; i < entries.size() && i < eventIds.size(); ++i) {
        if (!keepsInvariants(entries[i]))
            continue;
        sound.push_back(entries[i]);
        soundIds.push_back(eventIds[i]);
    }
    if (sound.empty())
        co_return true;
    // 2. Encode; a body that cannot be encoded, or is too large, is dropped unsent.
    std::string body;
    try {
        body = encodeBatch(context, sound, batchId, soundIds);
    } catch (...) {
        co_return true;
    }
    if (body.size() > tuning.maxBatchBytes)
        co_return true;

    platform::HttpRequest request;
    request.method = "POST";
    request.url = appendingPathComponent(context.identityURL, "api/error-events");
    request.headers.set("Content-Type", "application/json");
    request.body.assign(body.begin(), body.end());
    request.timeout = 60;

    // The session this batch started with stays alive through its back-off waits, whatever
    // the host does with it meanwhile.
    const std::shared_ptr<platform::HttpSession> ownSession = context.urlSession;
    for (int attempt = retryCount;; ++attempt) {
        // 3. Consent is asked before every try: withdrawn, the batch is finished unsent; not
        // (yet) given for sending, the batch is kept.
        if (!recordingAllowed(env))
            co_return true;
        if (!uploadAllowed(env))
            co_return false;
        // 4.-6. Send; a delivered or refused-for-good batch is finished.
        bool retry = false;
        std::optional<double> asked;
        try {
            auto& session = ownSession ? *ownSession : platform::httpSession();
            auto copy = request;
            auto result = co_await session.send(std::move(copy));
            if (!result.response.isHTTP)
                co_return true;
            const int status = result.response.statusCode;
            if (status == 200 || status == 202 || status == 400 || status == 413)
                co_return true;
            // A service that says when to come back is asked again then, not before.
            if (status == 429)
                if (auto value = result.response.headers.value("Retry-After"))
                    asked = parseRetryAfter(*value, wallClock(env), maxRetryAfterSeconds);
            retry = true;
        } catch (...) {
            retry = true; // the transfer failed
        }
        // 7. Retry after the back-off of this attempt, or hand the batch back.
        if (!retry || attempt >= static_cast<int>(tuning.backoffSeconds.size()))
            co_return false;
        const double jitter = env.uniform
                                  ? env.uniform(-tuning.backoffJitter, tuning.backoffJitter)
                                  : uniformDefault(-tuning.backoffJitter, tuning.backoffJitter);
        const double wait =
            asked ? std::max(*asked, 1.0) : std::max(tuning.backoffSeconds[attempt] + jitter, 1.0);
        try {
            if (env.sleep)
                co_await env.sleep(wait);
            else
                co_await platform::sleepFor(wait);
        } catch (...) {
        }
    }
}

} // namespace corvane::telemetry
