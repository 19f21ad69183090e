// A telemetry client of its own on the simulated Mac: virtual time, the scripted server behind
// the host's URL session, uploads to "/api/error-events" recorded with their virtual time.
#pragma once

#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"
#include "CorvaneAccount/Telemetry/ErrorTelemetryConsent.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimHttpSession.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace telemetry_test {

constexpr const char* identityBase = "https://id.corvane.example";

struct Upload {
    double at = 0;
    nlohmann::ordered_json body;
    std::string text;
    platform::HttpRequest request;
};

class TelemetryTest : public ::testing::Test {
protected:
    // A user whose region is known to be outside the EU, who made no choice: telemetry is on
    // and recorded errors may be sent.
    TelemetryTest() {
        setRegion(false);
        makeClient({}, {});
    }

    // The geo probe's cached answer; none: the region is unknown.
    void setRegion(std::optional<bool> isEU) {
        const std::string key(corvane::ErrorTelemetryConsent::Keys::resolvedIsEU);
        host.simDefaults().removeObject(key);
        if (isEU)
            host.simDefaults().set(key, *isEU);
    }

    void makeClient(corvane::ErrorFirehoseClient::Tuning tuning,
                    corvane::ErrorFirehoseClient::Environment env) {
        client = corvane::ErrorFirehoseClient::make(std::move(tuning), std::move(env));
        client->configure("quillet", std::nullopt, "0.3.1", std::nullopt, "install-1",
                          identityBase);
    }

    // Every upload answered with `status`.
    void answer(int status) { answerSequence({platform::sim::SimHttpReply::http(status)}); }
    void answerSequence(std::vector<platform::sim::SimHttpReply> replies,
                        const std::string& path = "/api/error-events") {
        auto sequence = std::make_shared<std::vector<platform::sim::SimHttpReply>>(replies);
        auto next = std::make_shared<std::size_t>(0);
        host.simHttp().route("POST", path,
                             [this, sequence, next](const platform::HttpRequest& request) {
                                 Upload u;
                                 u.at = seconds();
                                 u.text.assign(request.body.begin(), request.body.end());
                                 u.body = nlohmann::ordered_json::parse(u.text);
                                 u.request = request;
                                 uploads.push_back(std::move(u));
                                 auto i = std::min(*next, sequence->size() - 1);
                                 ++*next;
                                 return (*sequence)[i];
                             });
    }

    // Virtual seconds since the host started.
    double seconds() { return host.runLoop().monotonicNow(); }

    void observe(const std::string& message, const std::string& severity = "error",
                 const std::string& category = "auth") {
        client->observe(severity, category, message);
    }

    std::size_t pendingEntryCount() const {
        std::size_t n = 0;
        for (const auto& batch : client->pendingBatches())
            n += batch.size();
        return n;
    }

    platform::sim::SimHost host;
    std::shared_ptr<corvane::ErrorFirehoseClient> client;
    std::vector<Upload> uploads;
};

} // namespace telemetry_test
