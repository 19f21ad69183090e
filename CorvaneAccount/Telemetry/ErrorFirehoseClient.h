// The account library's error-telemetry client: turns error observations into anonymous,
// fingerprinted, coalesced events and uploads them in batches to the identity service, behind a
// per-fingerprint circuit breaker, with retries, back-off and jitter. One lock guards all mutable
// state; observations may come from any thread; the flush loop runs on the library executor.
#pragma once

#include "CorvaneAccount/Foundation/CorvaneLog.h"
#include "CorvaneAccount/Telemetry/CoalescedEntry.h"
#include "CorvaneAccount/Telemetry/TelemetryBreaker.h"
#include "CorvaneAccount/Telemetry/TelemetryBuffer.h"
#include "CorvaneAccount/Telemetry/TelemetryQueue.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

namespace boost::asio {
class cancellation_signal;
}

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform {
class CacheFiles;
class HttpSession;
} // namespace platform

namespace corvane {

namespace telemetry {
struct TelemetryObservation;
}

class ErrorFirehoseClient : public std::enable_shared_from_this<ErrorFirehoseClient> {
public:
    using TimePoint = std::chrono::system_clock::time_point;

    // Fixed at construction; no operation changes them.
    struct Tuning {
        double coalescingWindowSeconds = 60;
        std::size_t maxDistinctFingerprints = 50;
        std::size_t maxBatchSize = 50;
        std::size_t maxBatchBytes = 262144;
        int circuitBreakerThreshold = 100;
        double circuitBreakerWindowSeconds = 10;
        double circuitBreakerSilenceSeconds = 300;
        std::size_t maxPendingBatches = 10;
        std::vector<double> backoffSeconds{30, 60, 120};
        double backoffJitter = 10;
        // Seconds between two ticks of the flush loop.
        double flushIntervalSeconds = 60;
    };

    // What the client asks of its surroundings. Empty members take the defaults: the host's
    // clock, platform::sleepFor, a uniform draw from a per-thread generator, the user's consent
    // switch (ErrorTelemetryConsent::isEnabled), the library executor for the flush loop. The
    // clock is read from observing threads.
    struct Environment {
        std::function<TimePoint()> clock;
        std::function<boost::asio::awaitable<void>(double seconds)> sleep;
        // A number drawn uniformly from [low, high].
        std::function<double(double low, double high)> uniform;
        std::function<bool()> consent;
        // Whether recorded errors may be sent now. Empty: `consent` when one is given, else
        // ErrorTelemetryConsent::mayUpload (which keeps them while the region is unknown).
        std::function<bool()> uploadConsent;
        boost::asio::any_io_executor executor;
        // Where undelivered batches wait for the next launch. Null: the host's cache files
        // (none without a host, or on a host that keeps no files).
        platform::CacheFiles* store = nullptr;
    };

    // The client's configuration, replaced as a whole by configure(): observers on other threads
    // read one consistent copy without the lock.
    struct Config {
        std::string appSlug = "unknown";
        std::string platform = "mac";
        std::string appVersion = "0.0.0";
        std::string osVersion;
        std::string installId;
        std::string identityURL;
        // Null: the host's URL session at the time of sending. Shared: an upload keeps the
        // session it started with alive through its back-off waits.
        std::shared_ptr<platform::HttpSession> urlSession;
    };

    // What one upload is sent with.
    struct ContextSnapshot {
        std::string appSlug;
        std::string platform;
        std::string appVersion;
        std::string osVersion;
        std::string dailyToken;
        std::string identityURL;
        std::shared_ptr<platform::HttpSession> urlSession;
    };

    // The identity service's base URL used until configure() names one.
    static constexpr const char* defaultIdentityURL = "https://id.corvane.app";

    // The process-wide client the library reports through, created on first use.
    static ErrorFirehoseClient& shared();
    // A client of one's own (tests, tools), independent of shared().
    static std::shared_ptr<ErrorFirehoseClient> make();
    static std::shared_ptr<ErrorFirehoseClient> make(Tuning tuning, Environment env);

    ErrorFirehoseClient(const ErrorFirehoseClient&) = delete;
    ErrorFirehoseClient& operator=(const ErrorFirehoseClient&) = delete;
    // Ends a started flush loop: its sleep is cancelled on the loop's executor, so the task
    // does not outlive the client waiting for its next tick. May run on any thread.
    ~ErrorFirehoseClient();

    // --- configuration and context ---
    // Absent platform and osVersion keep the current values. A null `urlSession` sends through
    // the host's session.
    void configure(std::string appSlug, std::optional<std::string> platform, std::string appVersion,
                   std::optional<std::string> osVersion, std::string installId,
                   std::string identityURL,
                   std::shared_ptr<platform::HttpSession> urlSession = nullptr);
    void updateContext(bool signedIn, bool online,
                       std::optional<std::int64_t> sessionUptimeSeconds);
    // Starts the flush loop on the library executor, once; later calls do nothing. The batches a
    // previous launch left in the store are queued first (and the store is deleted instead when
    // consent is off).
    void start();
    // Forgets every buffered, queued and stored error at once (consent was withdrawn).
    void discardAll();
    // For a host that quits: closes the coalescing window, queues what it held and writes the
    // queue to the store, waiting at most `deadlineSeconds` for a write already under way. True
    // when the store holds everything pending. Any thread; never throws.
    bool saveForQuit(double deadlineSeconds = 2) noexcept;

    // --- observations (any thread; never throw) ---
    void observe(const std::string& severity, const std::string& category,
                 const std::string& message, const std::exception* error = nullptr,
                 std::optional<std::string> specId = std::nullopt,
                 std::optional<std::vector<std::string>> topFrames = std::nullopt,
                 std::optional<std::vector<BreadcrumbEntry>> breadcrumbs = std::nullopt) noexcept;
    // The account library's logger callback shape: warnings and errors become observations.
    void observeFromFacade(CorvaneLogLevel level, const std::string& event,
                           const std::map<std::string, std::string>& fields,
                           std::optional<std::string> specId = std::nullopt) noexcept;

    // --- pure functions ---
    // The last dotted component of the dynamic type's name ("corvane.CorvaneError" gives
    // "CorvaneError"); "Error" when there is none.
    static std::string typeName(const std::exception& error);
    static std::string normalizeMessage(const std::string& message,
                                        const std::optional<std::string>& exceptionType);
    static std::string computeFrameDigest(const std::vector<std::string>& frames);
    // 16 hex digits over appSlug|platform|severity|category|normalized|frameDigest.
    static std::string fingerprint(const std::string& appSlug, const std::string& platform,
                                   const std::string& severity, const std::string& category,
                                   const std::string& normalized,
                                   const std::optional<std::string>& frameDigest);
    // 16 hex digits over installId|<UTC date yyyy-MM-dd of `at`>|marlock-sieve-v1.
    static std::string computeDailyToken(const std::string& installId, TimePoint at);
    static std::string utcDateString(TimePoint at);
    // The body of one batch: ErrorBatch with its keys in wire order.
    static std::string encodeBatch(const ContextSnapshot& context,
                                   const std::vector<CoalescedEntry>& entries,
                                   const std::string& batchId,
                                   const std::vector<std::string>& eventIds);

    // --- inspection (for tests and tools; each takes the lock) ---
    std::shared_ptr<const Config> config() const;
    std::vector<CoalescedEntry> bufferedEntries() const;
    std::vector<std::vector<CoalescedEntry>> pendingBatches() const;
    std::int64_t droppedCount() const;
    std::size_t breakerCount() const;
    bool isStarted() const;
    const Tuning& tuning() const { return tuning_; }

private:
    ErrorFirehoseClient(Tuning tuning, Environment env);

    void record(telemetry::TelemetryObservation&& observation);
    // Under lock_: the buffer's entries, with the overflow entry under the current configuration.
    std::vector<CoalescedEntry> drainBuffer(TimePoint now);
    // Under lock_: what to send a batch with, and today's daily token.
    ContextSnapshot snapshot(TimePoint now);

    // In ErrorFirehoseClient+Flush.cpp.
    static boost::asio::awaitable<void> flushLoop(std::weak_ptr<ErrorFirehoseClient> weak);
    static boost::asio::awaitable<void> sendPendingBatches(std::weak_ptr<ErrorFirehoseClient> weak);

    TimePoint now() const;
    // The store, if any.
    platform::CacheFiles* store() const;
    // Queues the batches the store holds (start()).
    void restoreStored();
    // Writes what is pending (batches being sent, then the queue) to the store, or deletes it
    // when nothing is. False when the store could not be written or the deadline passed.
    bool persist(std::optional<std::chrono::milliseconds> deadline = std::nullopt);
    // Whether errors may be recorded, and whether they may be sent now.
    bool consented() const;
    bool mayUpload() const;
    std::shared_ptr<const Config> currentConfig() const;
    void setConfig(std::shared_ptr<const Config> config);

    const Tuning tuning_;
    const Environment env_;

    // The configuration: swapped whole under configMutex_ (held only for the copy of the
    // pointer), so the front half of an observation reads a consistent one without lock_.
    mutable std::mutex configMutex_;
    std::shared_ptr<const Config> config_;

    mutable std::mutex lock_;
    // --- guarded by lock_ ---
    std::string dailyToken_;
    telemetry::TelemetryBreaker breakers_;
    telemetry::TelemetryBuffer buffer_;
    telemetry::TelemetryQueue queue_;
    bool isStarted_ = false;
    // Set once by start(): where the flush loop runs, and the signal that cancels it.
    boost::asio::any_io_executor flushExecutor_;
    std::shared_ptr<boost::asio::cancellation_signal> flushStop_;
    // Batches taken from the queue by a sending pass and not yet finished, by pass order: they
    // stay in the store until they are.
    std::map<std::uint64_t, std::vector<CoalescedEntry>> inFlight_;
    std::uint64_t nextFlight_ = 0;

    // Held while the store is written (before lock_, never inside it), so that the last write
    // holds the latest state.
    std::timed_mutex storeMutex_;

    // Held for the client's life: setEnabled(false) empties the client at once.
    std::shared_ptr<void> withdrawal_;
};

} // namespace corvane
