#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"

#include "CorvaneAccount/Telemetry/ErrorTelemetryConsent.h"
#include "CorvaneAccount/Telemetry/TelemetryObservation.h"
#include "CorvaneAccount/Telemetry/TelemetryStore.h"
#include "CorvaneAccount/Telemetry/TelemetryText.h"
#include "CorvaneAccount/Telemetry/TelemetryUpload.h"
#include "CorvaneAccount/Telemetry/TelemetryWireFormat.h"
#include "Platform/Bundle.h"
#include "Platform/CacheFiles.h"
#include "Platform/Host.h"
#include "Platform/Log.h"

#include <algorithm>

namespace corvane {

namespace {

std::string defaultOSVersion() {
    if (!platform::hasHost())
        return "0.0.0";
    const auto& v = platform::host().processInfo().operatingSystemVersion;
    return std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion) + "." +
           std::to_string(v.patchVersion);
}

} // namespace

// --- construction ---

ErrorFirehoseClient& ErrorFirehoseClient::shared() {
    // Lives until the process ends and is never destroyed: at exit the executor its flush
    // loop runs on may already be gone, and the destructor would post to it.
    static const auto* const instance = new std::shared_ptr<ErrorFirehoseClient>(make());
    return **instance;
}

std::shared_ptr<ErrorFirehoseClient> ErrorFirehoseClient::make() {
    return make({}, {});
}

std::shared_ptr<ErrorFirehoseClient> ErrorFirehoseClient::make(Tuning tuning, Environment env) {
    auto client = std::shared_ptr<ErrorFirehoseClient>(
        new ErrorFirehoseClient(std::move(tuning), std::move(env)));
    client->withdrawal_ =
        ErrorTelemetryConsent::onWithdrawn([weak = std::weak_ptr<ErrorFirehoseClient>(client)] {
            if (auto self = weak.lock())
                self->discardAll();
        });
    return client;
}

ErrorFirehoseClient::ErrorFirehoseClient(Tuning tuning, Environment env)
    : tuning_(std::move(tuning)), env_(std::move(env)),
      breakers_(tuning_.circuitBreakerThreshold, tuning_.circuitBreakerWindowSeconds,
                tuning_.circuitBreakerSilenceSeconds),
      buffer_(tuning_.maxDistinctFingerprints, tuning_.coalescingWindowSeconds),
      queue_(tuning_.maxPendingBatches, tuning_.maxBatchSize) {
    auto config = std::make_shared<Config>();
    config->osVersion = defaultOSVersion();
    config->identityURL = defaultIdentityURL;
    config_ = std::move(config);
    buffer_.startWindow(now());
}

ErrorFirehoseClient::TimePoint ErrorFirehoseClient::now() const {
    if (env_.clock)
        return env_.clock();
    // Before a host is installed (or after it is gone) there is no clock to read.
    return platform::hasHost() ? platform::now() : TimePoint{};
}

bool ErrorFirehoseClient::consented() const {
    return telemetry::recordingAllowed(env_);
}

bool ErrorFirehoseClient::mayUpload() const {
    return telemetry::uploadAllowed(env_);
}

std::shared_ptr<const ErrorFirehoseClient::Config> ErrorFirehoseClient::currentConfig() const {
    std::lock_guard guard(configMutex_);
    return config_;
}

void ErrorFirehoseClient::setConfig(std::shared_ptr<const Config> config) {
    std::lock_guard guard(configMutex_);
    config_ = std::move(config);
}

// --- configuration and context ---

void ErrorFirehoseClient::configure(std::string appSlug, std::optional<std::string> platform,
                                    std::string appVersion, std::optional<std::string> osVersion,
                                    std::string installId, std::string identityURL,
                                    std::shared_ptr<platform::HttpSession> urlSession) {
    const TimePoint at = now();
    std::lock_guard guard(lock_);
    // A new configuration built from the current one and published whole.
    auto next = std::make_shared<Config>(*currentConfig());
    next->appSlug = std::move(appSlug);
    if (platform)
        next->platform = std::move(*platform);
    next->appVersion = std::move(appVersion);
    if (osVersion)
        next->osVersion = std::move(*osVersion);
    next->installId = std::move(installId);
    next->identityURL = std::move(identityURL);
    next->urlSession = std::move(urlSession);
    dailyToken_ = computeDailyToken(next->installId, at);
    setConfig(std::move(next));
}

void ErrorFirehoseClient::updateContext(bool signedIn, bool online,
                                        std::optional<std::int64_t> sessionUptimeSeconds) {
    std::lock_guard guard(lock_);
    buffer_.setSession(signedIn, online, sessionUptimeSeconds);
}

// --- pure functions ---

std::string ErrorFirehoseClient::typeName(const std::exception& error) {
    return telemetry::typeName(error);
}

std::string ErrorFirehoseClient::normalizeMessage(const std::string& message,
                                                  const std::optional<std::string>& exceptionType) {
    return TelemetryText::normalizeMessage(message, exceptionType);
}

std::string ErrorFirehoseClient::computeFrameDigest(const std::vector<std::string>& frames) {
    return TelemetryText::frameDigest(frames);
}

std::string ErrorFirehoseClient::fingerprint(const std::string& appSlug,
                                             const std::string& platform,
                                             const std::string& severity,
                                             const std::string& category,
                                             const std::string& normalized,
                                             const std::optional<std::string>& frameDigest) {
    return telemetry::fingerprint(appSlug, platform, severity, category, normalized, frameDigest);
}

std::string ErrorFirehoseClient::utcDateString(TimePoint at) {
    return telemetry::utcDateString(at);
}

std::string ErrorFirehoseClient::computeDailyToken(const std::string& installId, TimePoint at) {
    return telemetry::dailyToken(installId, at);
}

std::string ErrorFirehoseClient::encodeBatch(const ContextSnapshot& context,
                                             const std::vector<CoalescedEntry>& entries,
                                             const std::string& batchId,
                                             const std::vector<std::string>& eventIds) {
    return telemetry::encodeBatch(context, entries, batchId, eventIds);
}

// --- observations ---

void ErrorFirehoseClient::observe(
    const std::string& severity, const std::string& category, const std::string& message,
    const std::exception* error, std::optional<std::string> specId,
    std::optional<std::vector<std::string>> topFrames,
    std::optional<std::vector<BreadcrumbEntry>> breadcrumbs) noexcept {
    try {
        // Without consent nothing is computed, counted or stored; without a host (and no clock
        // of the client's own) there is neither a consent nor a time to record it at.
        if (!consented() || (!env_.clock && !platform::hasHost()))
            return;
        auto o = telemetry::scrubbedObservation(now(), message, error, std::move(topFrames));
        // One consistent configuration, read without the client's lock.
        const auto config = currentConfig();
        telemetry::identify(o, config->appSlug, config->platform, severity, category,
                            std::move(specId), std::move(breadcrumbs));
        record(std::move(o));
    } catch (...) {
        // Telemetry never reports to its caller and never ends the program: an observation
        // that cannot be made (no memory, no ICU matcher) is lost.
    }
}

void ErrorFirehoseClient::observeFromFacade(CorvaneLogLevel level, const std::string& event,
                                            const std::map<std::string, std::string>& fields,
                                            std::optional<std::string> specId) noexcept {
    if (level != CorvaneLogLevel::warning && level != CorvaneLogLevel::error)
        return;
    try {
        const auto f = telemetry::facadeObservation(level, event, fields);
        observe(f.severity, f.category, f.message, nullptr, std::move(specId));
    } catch (...) {
    }
}

// --- the recording step ---

void ErrorFirehoseClient::record(telemetry::TelemetryObservation&& o) {
    using Verdict = telemetry::TelemetryBreaker::Verdict;
    const TimePoint now = o.now;
    std::lock_guard guard(lock_);

    // 1.-5. The fingerprint's breaker: a silenced one is dropped uncounted; the one that trips
    // it is not recorded, and drains the buffer when its fingerprint is buffered.
    switch (breakers_.admit(o.fingerprint, now)) {
    case Verdict::silenced:
        return;
    case Verdict::tripped:
        if (buffer_.contains(o.fingerprint))
            queue_.enqueue(drainBuffer(now));
        return;
    case Verdict::admitted:
        break;
    }

    // 6. A window older than its length closes first.
    if (buffer_.windowOutlasted(now)) {
        auto drained = drainBuffer(now);
        if (!drained.empty())
            queue_.enqueue(std::move(drained));
        buffer_.startWindow(now);
    }

    // 7.-8. A repeat merges into its entry; a new error gets one while there is room.
    buffer_.add(std::move(o));

    // 9. A full buffer is drained at once.
    if (buffer_.isFull()) {
        queue_.enqueue(drainBuffer(now));
        buffer_.startWindow(now);
    }
}

void ErrorFirehoseClient::discardAll() {
    {
        std::lock_guard guard(lock_);
        buffer_.clear();
        queue_.clear();
        inFlight_.clear();
    }
    persist();
}

// --- the store ---

platform::CacheFiles* ErrorFirehoseClient::store() const {
    if (env_.store)
        return env_.store;
    return platform::hasHost() ? platform::host().cacheFiles() : nullptr;
}

void ErrorFirehoseClient::restoreStored() {
    auto* files = store();
    if (!files)
        return;
    std::lock_guard storeGuard(storeMutex_);
    if (!consented()) {
        files->remove(telemetry::storeFileName);
        return;
    }
    auto text = files->read(telemetry::storeFileName, telemetry::maxStoreBytes);
    if (!text)
        return;
    auto decoded = telemetry::decodeStore(*text, tuning_.maxPendingBatches, tuning_.maxBatchSize);
    if (decoded.unreadable) {
        // Not a store this client wrote (or damaged beyond what atomic writes allow): nothing
        // in it is trusted, and the next write replaces it.
        if (platform::hasHost())
            platform::Logger("com.corvane.account", "telemetry")
                .log(platform::LogLevel::error,
                     "error telemetry: the store of undelivered reports is unreadable; "
                     "starting without it");
        files->remove(telemetry::storeFileName);
        return;
    }
    std::lock_guard guard(lock_);
    queue_.prependOlder(std::move(decoded.batches));
}

bool ErrorFirehoseClient::persist(std::optional<std::chrono::milliseconds> deadline) {
    auto* files = store();
    if (!files)
        return false;
    std::unique_lock storeGuard(storeMutex_, std::defer_lock);
    if (deadline) {
        if (!storeGuard.try_lock_for(*deadline))
            return false;
    } else {
        storeGuard.lock();
    }
    telemetry::StoredBatches batches;
    {
        std::lock_guard guard(lock_);
        for (const auto& [flight, batch] : inFlight_)
            batches.push_back(batch);
        for (const auto& batch : queue_.batches())
            batches.push_back(batch);
    }
    if (batches.empty()) {
        files->remove(telemetry::storeFileName);
        return true;
    }
    return files->write(telemetry::storeFileName, telemetry::encodeStore(batches));
}

bool ErrorFirehoseClient::saveForQuit(double deadlineSeconds) noexcept {
    try {
        if (!consented()) {
            discardAll();
            return true;
        }
        const TimePoint at = now();
        {
            std::lock_guard guard(lock_);
            auto drained = drainBuffer(at);
            buffer_.startWindow(at);
            if (!drained.empty())
                queue_.enqueue(std::move(drained));
        }
        return persist(std::chrono::milliseconds(
            static_cast<std::int64_t>(std::max(0.0, deadlineSeconds) * 1000)));
    } catch (...) {
        return false;
    }
}

std::vector<CoalescedEntry> ErrorFirehoseClient::drainBuffer(TimePoint now) {
    return buffer_.drain(now, [this](const std::string& severity, const std::string& category,
                                     const std::string& message) {
        const auto config = currentConfig();
        return fingerprint(config->appSlug, config->platform, severity, category, message,
                           std::nullopt);
    });
}

ErrorFirehoseClient::ContextSnapshot ErrorFirehoseClient::snapshot(TimePoint now) {
    const auto config = currentConfig();
    dailyToken_ = computeDailyToken(config->installId, now);
    return {config->appSlug, config->platform,    config->appVersion, config->osVersion,
            dailyToken_,     config->identityURL, config->urlSession};
}

// --- inspection ---

std::shared_ptr<const ErrorFirehoseClient::Config> ErrorFirehoseClient::config() const {
    return currentConfig();
}

std::vector<CoalescedEntry> ErrorFirehoseClient::bufferedEntries() const {
    std::lock_guard guard(lock_);
    return buffer_.entries();
}

std::vector<std::vector<CoalescedEntry>> ErrorFirehoseClient::pendingBatches() const {
    std::lock_guard guard(lock_);
    const auto& batches = queue_.batches();
    return {batches.begin(), batches.end()};
}

std::int64_t ErrorFirehoseClient::droppedCount() const {
    std::lock_guard guard(lock_);
    return buffer_.droppedCount();
}

std::size_t ErrorFirehoseClient::breakerCount() const {
    std::lock_guard guard(lock_);
    return breakers_.size();
}

bool ErrorFirehoseClient::isStarted() const {
    std::lock_guard guard(lock_);
    return isStarted_;
}

} // namespace corvane
