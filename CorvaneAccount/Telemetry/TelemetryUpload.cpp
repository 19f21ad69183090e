#include "CorvaneAccount/Telemetry/TelemetryUpload.h"

#include "CorvaneAccount/Telemetry/GeoProbeClient.h"
#include "CorvaneAccount/Telemetry/TelemetryWireFormat.h"
#include "Platform/Async.h"
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

} // namespace

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
                                       const std::vector<CoalescedEntry>& entries,
                                       const ErrorFirehoseClient::ContextSnapshot& context,
                                       int retryCount, const std::string& batchId,
                                       const std::vector<std::string>& eventIds) {
    // 1.-2. Encode; a body that cannot be encoded, or is too large, is dropped unsent.
    std::string body;
    try {
        body = encodeBatch(context, entries, batchId, eventIds);
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

    for (int attempt = retryCount;; ++attempt) {
        // 3.-6. Send; a delivered or refused-for-good batch is finished.
        bool retry = false;
        try {
            auto& session = context.urlSession ? *context.urlSession : platform::httpSession();
            auto copy = request;
            auto result = co_await session.send(std::move(copy));
            if (!result.response.isHTTP)
                co_return true;
            const int status = result.response.statusCode;
            if (status == 200 || status == 202 || status == 400 || status == 413)
                co_return true;
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
        const double wait = std::max(tuning.backoffSeconds[attempt] + jitter, 1.0);
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
