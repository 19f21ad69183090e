#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"

#include "CorvaneAccount/Telemetry/ErrorTelemetryConsent.h"
#include "CorvaneAccount/Telemetry/GeoProbeClient.h"
#include "CorvaneAccount/Telemetry/TelemetryText.h"
#include "Platform/Async.h"
#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Platform/HttpSession.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <date/date.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cxxabi.h>
#include <random>
#include <typeinfo>

namespace asio = boost::asio;

namespace corvane {

namespace {

// A random (version 4) UUID in lower case. Falls back to a per-thread generator should the
// system source ever fail: an id only has to be unique, and telemetry never throws.
std::string randomUUID() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) {
        thread_local std::mt19937_64 fallback{std::random_device{}()};
        for (auto& byte : b)
            byte = static_cast<unsigned char>(fallback());
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += hex[b[i] >> 4];
        out += hex[b[i] & 0x0f];
    }
    return out;
}

double uniformDefault(double low, double high) {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return std::uniform_real_distribution<double>(low, high)(generator);
}

std::string defaultOSVersion() {
    if (!platform::hasHost())
        return "0.0.0";
    const auto& v = platform::host().processInfo().operatingSystemVersion;
    return std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion) + "." +
           std::to_string(v.patchVersion);
}

double secondsBetween(ErrorFirehoseClient::TimePoint from, ErrorFirehoseClient::TimePoint to) {
    return std::chrono::duration<double>(to - from).count();
}

ErrorFirehoseClient::TimePoint plusSeconds(ErrorFirehoseClient::TimePoint t, double seconds) {
    return t + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                   std::chrono::duration<double>(seconds));
}

std::optional<std::int64_t> roundDown30(std::optional<std::int64_t> seconds) {
    if (!seconds)
        return std::nullopt;
    return *seconds / 30 * 30;
}

constexpr const char* overflowTemplate = "client.distinct_fingerprint_overflow";

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
    return std::shared_ptr<ErrorFirehoseClient>(
        new ErrorFirehoseClient(std::move(tuning), std::move(env)));
}

ErrorFirehoseClient::ErrorFirehoseClient(Tuning tuning, Environment env)
    : tuning_(std::move(tuning)), env_(std::move(env)) {
    auto config = std::make_shared<Config>();
    config->osVersion = defaultOSVersion();
    config->identityURL = defaultIdentityURL;
    config_ = std::move(config);
    windowStart_ = now();
}

ErrorFirehoseClient::~ErrorFirehoseClient() {
    // No lock: nothing else can reach a client that is being destroyed.
    if (!flushStop_)
        return;
    // A cancellation signal is emitted on its operation's executor, never from here.
    asio::post(flushExecutor_,
               [stop = flushStop_] { stop->emit(asio::cancellation_type::terminal); });
}

ErrorFirehoseClient::TimePoint ErrorFirehoseClient::now() const {
    return env_.clock ? env_.clock() : platform::now();
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
                                    platform::HttpSession* urlSession) {
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
    next->urlSession = urlSession;
    dailyToken_ = computeDailyToken(next->installId, at);
    setConfig(std::move(next));
}

void ErrorFirehoseClient::updateContext(bool signedIn, bool online,
                                        std::optional<std::int64_t> sessionUptimeSeconds) {
    std::lock_guard guard(lock_);
    signedIn_ = signedIn;
    online_ = online;
    sessionUptimeSeconds_ = roundDown30(sessionUptimeSeconds);
}

void ErrorFirehoseClient::start() {
    auto executor = env_.executor ? env_.executor : platform::libraryExecutor();
    auto stop = std::make_shared<asio::cancellation_signal>();
    {
        std::lock_guard guard(lock_);
        if (isStarted_)
            return;
        isStarted_ = true;
        flushExecutor_ = executor;
        flushStop_ = stop;
    }
    // The completion handler keeps the signal alive as long as the task may look at it: the
    // task's cancellation state lives in the signal's memory.
    asio::co_spawn(executor, flushLoop(weak_from_this()),
                   asio::bind_cancellation_slot(stop->slot(), [stop](std::exception_ptr) {}));
}

// --- pure functions ---

std::string ErrorFirehoseClient::typeName(const std::exception& error) {
    const char* mangled = typeid(error).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    std::string name = status == 0 && demangled ? demangled.get() : mangled;
    // C++ scopes ("::") separate components as dots do: the last non-empty piece is the
    // type's own name.
    std::string last, piece;
    for (char c : name) {
        if (c == '.' || c == ':') {
            if (!piece.empty())
                last = std::move(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty())
        last = std::move(piece);
    return last.empty() ? "Error" : last;
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
    std::string input;
    input.reserve(appSlug.size() + platform.size() + severity.size() + category.size() +
                  normalized.size() + 17);
    input.append(appSlug).append("|").append(platform).append("|").append(severity);
    input.append("|").append(category).append("|").append(normalized).append("|");
    if (frameDigest)
        input.append(*frameDigest);
    return TelemetryText::sha256Hex(input, 16);
}

std::string ErrorFirehoseClient::utcDateString(TimePoint at) {
    return date::format("%F", date::floor<date::days>(at));
}

std::string ErrorFirehoseClient::computeDailyToken(const std::string& installId, TimePoint at) {
    return TelemetryText::sha256Hex(installId + "|" + utcDateString(at) + "|marlock-sieve-v1", 16);
}

std::string ErrorFirehoseClient::encodeBatch(const ContextSnapshot& context,
                                             const std::vector<CoalescedEntry>& entries,
                                             const std::string& batchId,
                                             const std::vector<std::string>& eventIds) {
    nlohmann::ordered_json batch = nlohmann::ordered_json::object();
    batch["schema_version"] = 1;
    batch["batch_id"] = batchId;
    batch["daily_token"] = context.dailyToken;
    batch["app_slug"] = context.appSlug;
    batch["platform"] = context.platform;
    batch["app_version"] = context.appVersion;
    batch["os_version"] = context.osVersion;
    auto events = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < entries.size(); ++i)
        events.push_back(coalescedEventJSON(entries[i], i < eventIds.size() ? eventIds[i] : ""));
    batch["events"] = std::move(events);
    // Text that is not valid UTF-8 (callers pass raw bytes) is written with U+FFFD in its place
    // rather than failing the whole batch.
    return batch.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// --- observations ---

void ErrorFirehoseClient::observe(
    const std::string& severity, const std::string& category, const std::string& message,
    const std::exception* error, std::optional<std::string> specId,
    std::optional<std::vector<std::string>> topFrames,
    std::optional<std::vector<BreadcrumbEntry>> breadcrumbs) noexcept {
    try {
        // Without consent nothing is computed, counted or stored.
        if (!(env_.consent ? env_.consent() : ErrorTelemetryConsent::isEnabled()))
            return;
        Observation o;
        o.now = now();
        if (error)
            o.exceptionType = typeName(*error);
        o.normalized = normalizeMessage(message, o.exceptionType);
        if (topFrames)
            o.frameDigest = computeFrameDigest(*topFrames);
        // One consistent configuration, read without the client's lock.
        const auto config = currentConfig();
        o.fingerprint = fingerprint(config->appSlug, config->platform, severity, category,
                                    o.normalized, o.frameDigest);
        o.severity = severity;
        o.category = category;
        o.specId = std::move(specId);
        if (topFrames && topFrames->size() > 3)
            topFrames->resize(3);
        o.topFrames = std::move(topFrames);
        if (breadcrumbs && breadcrumbs->size() > 10)
            breadcrumbs->resize(10);
        o.breadcrumbs = std::move(breadcrumbs);
        record(std::move(o));
    } catch (...) {
        // Telemetry never reports to its caller: an observation that cannot be made is lost.
    }
}

void ErrorFirehoseClient::observeFromFacade(CorvaneLogLevel level, const std::string& event,
                                            const std::map<std::string, std::string>& fields,
                                            std::optional<std::string> specId) noexcept {
    if (level != CorvaneLogLevel::warning && level != CorvaneLogLevel::error)
        return;
    try {
        const std::string severity = level == CorvaneLogLevel::warning ? "warn" : "error";
        // The map is ordered by key already: byte-wise ascending.
        std::string message = event;
        if (!fields.empty()) {
            message += ":";
            for (const auto& [key, value] : fields)
                message.append(" ").append(key).append("=").append(value);
        }
        std::string category = "auth";
        if (auto it = fields.find("class"); it != fields.end())
            category = it->second;
        else if (auto it2 = fields.find("category"); it2 != fields.end())
            category = it2->second;
        observe(severity, category, message, nullptr, std::move(specId));
    } catch (...) {
    }
}

// --- the recording step ---

std::optional<std::int64_t> ErrorFirehoseClient::roundedUptime() const {
    return roundDown30(sessionUptimeSeconds_);
}

void ErrorFirehoseClient::record(Observation&& o) {
    const TimePoint now = o.now;
    std::lock_guard guard(lock_);

    // 1. A silenced fingerprint is dropped without any count.
    auto found = circuitBreakers_.find(o.fingerprint);
    if (found != circuitBreakers_.end() && found->second.silencedUntil &&
        *found->second.silencedUntil > now)
        return;

    // 2.-5. Count it in its breaker window; the 101st within one window silences it.
    if (found == circuitBreakers_.end()) {
        pruneBreakers(now);
        found = circuitBreakers_.emplace(o.fingerprint, CircuitBreakerState{0, now, {}}).first;
    }
    auto& breaker = found->second;
    if (secondsBetween(breaker.windowStart, now) > tuning_.circuitBreakerWindowSeconds) {
        breaker.countInWindow = 0;
        breaker.windowStart = now;
    }
    breaker.countInWindow += 1;
    if (breaker.countInWindow > tuning_.circuitBreakerThreshold) {
        breaker.silencedUntil = plusSeconds(now, tuning_.circuitBreakerSilenceSeconds);
        if (bufferIndex_.count(o.fingerprint))
            enqueueBatch(drainBuffer(now));
        return;
    }

    // 6. A window older than its length closes first.
    if (secondsBetween(windowStart_, now) > tuning_.coalescingWindowSeconds) {
        auto drained = drainBuffer(now);
        if (!drained.empty())
            enqueueBatch(std::move(drained));
        windowStart_ = now;
        droppedCount_ = 0;
    }

    // 7. A repeat merges into its entry.
    if (auto at = bufferIndex_.find(o.fingerprint); at != bufferIndex_.end()) {
        auto& entry = buffer_[at->second];
        entry.count += 1;
        entry.lastSeen = now;
        entry.signedIn = signedIn_;
        entry.online = online_;
        entry.sessionUptimeSeconds = roundedUptime();
        if (o.breadcrumbs)
            entry.breadcrumbs = std::move(o.breadcrumbs);
    } else if (buffer_.size() < tuning_.maxDistinctFingerprints) {
        // 8. A new error gets an entry while there is room; otherwise it is only counted.
        CoalescedEntry entry;
        entry.fingerprint = o.fingerprint;
        entry.severity = std::move(o.severity);
        entry.category = std::move(o.category);
        entry.specId = std::move(o.specId);
        entry.messageTemplate = TelemetryText::prefixCharacters(o.normalized, 256);
        entry.exceptionType = std::move(o.exceptionType);
        entry.topFrames = std::move(o.topFrames);
        entry.frameDigest = std::move(o.frameDigest);
        entry.count = 1;
        entry.firstSeen = entry.lastSeen = now;
        entry.signedIn = signedIn_;
        entry.online = online_;
        entry.sessionUptimeSeconds = roundedUptime();
        entry.breadcrumbs = std::move(o.breadcrumbs);
        bufferIndex_.emplace(o.fingerprint, buffer_.size());
        buffer_.push_back(std::move(entry));
    } else {
        droppedCount_ += 1;
    }

    // 9. A full buffer is drained at once.
    if (buffer_.size() >= tuning_.maxDistinctFingerprints) {
        enqueueBatch(drainBuffer(now));
        windowStart_ = now;
    }
}

// A breaker state whose window has ended and that is not silenced acts exactly as a fresh one
// would (its count restarts at the next observation), so forgetting it changes nothing; this
// keeps the table bounded by the fingerprints seen in the last window and the silenced ones.
void ErrorFirehoseClient::pruneBreakers(TimePoint now) {
    if (circuitBreakers_.size() < breakerPruneThreshold_)
        return;
    std::erase_if(circuitBreakers_, [&](const auto& item) {
        const auto& state = item.second;
        const bool windowOver =
            secondsBetween(state.windowStart, now) > tuning_.circuitBreakerWindowSeconds;
        const bool silenced = state.silencedUntil && *state.silencedUntil > now;
        return windowOver && !silenced;
    });
    breakerPruneThreshold_ = std::max<std::size_t>(1024, circuitBreakers_.size() * 2);
}

std::vector<CoalescedEntry> ErrorFirehoseClient::drainBuffer(TimePoint now) {
    std::vector<CoalescedEntry> entries = std::move(buffer_);
    buffer_.clear();
    bufferIndex_.clear();
    if (droppedCount_ > 0) {
        const auto config = currentConfig();
        CoalescedEntry overflow;
        overflow.severity = "warn";
        overflow.category = "client";
        overflow.messageTemplate = overflowTemplate;
        overflow.fingerprint = fingerprint(config->appSlug, config->platform, "warn", "client",
                                           overflowTemplate, std::nullopt);
        overflow.count = droppedCount_;
        overflow.firstSeen = overflow.lastSeen = now;
        overflow.signedIn = signedIn_;
        overflow.online = online_;
        entries.push_back(std::move(overflow));
        droppedCount_ = 0;
    }
    return entries;
}

void ErrorFirehoseClient::enqueueBatch(std::vector<CoalescedEntry> entries) {
    if (entries.empty())
        return;
    if (pendingBatches_.size() >= tuning_.maxPendingBatches)
        pendingBatches_.pop_front();
    const std::size_t size = std::max<std::size_t>(1, tuning_.maxBatchSize);
    for (std::size_t start = 0; start < entries.size(); start += size) {
        if (pendingBatches_.size() >= tuning_.maxPendingBatches)
            break; // this chunk and the rest find the queue full
        const std::size_t end = std::min(entries.size(), start + size);
        pendingBatches_.emplace_back(std::make_move_iterator(entries.begin() + start),
                                     std::make_move_iterator(entries.begin() + end));
    }
}

ErrorFirehoseClient::ContextSnapshot ErrorFirehoseClient::snapshot(TimePoint now) {
    const auto config = currentConfig();
    dailyToken_ = computeDailyToken(config->installId, now);
    return {config->appSlug, config->platform,    config->appVersion, config->osVersion,
            dailyToken_,     config->identityURL, config->urlSession};
}

// --- the flush loop and the upload ---

asio::awaitable<void> ErrorFirehoseClient::flushLoop(std::weak_ptr<ErrorFirehoseClient> weak) {
    if (weak.expired())
        co_return;
    for (;;) {
        // 1. Sleep one interval; an interrupted sleep counts as finished.
        double interval = 60;
        std::function<asio::awaitable<void>(double)> sleep;
        if (auto self = weak.lock()) {
            interval = self->tuning_.flushIntervalSeconds;
            sleep = self->env_.sleep;
        } else {
            co_return;
        }
        try {
            if (sleep)
                co_await sleep(interval);
            else
                co_await platform::sleepFor(interval);
        } catch (...) {
        }
        // 2. A cancelled task ends here.
        auto cs = co_await asio::this_coro::cancellation_state;
        if (cs.cancelled() != asio::cancellation_type::none)
            co_return;
        auto self = weak.lock();
        if (!self)
            co_return;
        // 3.-4. Close the window and queue what it held.
        const TimePoint now = self->now();
        std::vector<CoalescedEntry> drained;
        {
            std::lock_guard guard(self->lock_);
            drained = self->drainBuffer(now);
            self->windowStart_ = now;
        }
        if (!drained.empty()) {
            std::lock_guard guard(self->lock_);
            self->enqueueBatch(std::move(drained));
        }
        // 5. Send in a task of its own, not waited for.
        asio::co_spawn(co_await asio::this_coro::executor, sendPendingBatches(weak),
                       asio::detached);
    }
}

asio::awaitable<void>
ErrorFirehoseClient::sendPendingBatches(std::weak_ptr<ErrorFirehoseClient> weak) {
    for (;;) {
        auto self = weak.lock();
        if (!self)
            co_return;
        // 1. Take the oldest batch and what to send it with.
        std::vector<CoalescedEntry> batch;
        ContextSnapshot context;
        {
            std::lock_guard guard(self->lock_);
            if (self->pendingBatches_.empty())
                co_return;
            batch = std::move(self->pendingBatches_.front());
            self->pendingBatches_.pop_front();
            context = self->snapshot(self->now());
        }
        // 2. Send it, retries included.
        const bool finished = co_await self->sendBatch(batch, context, 0);
        // 3. A batch the server would not take goes back to the head while there is room.
        if (!finished) {
            std::lock_guard guard(self->lock_);
            if (self->pendingBatches_.size() < self->tuning_.maxPendingBatches)
                self->pendingBatches_.push_front(std::move(batch));
            co_return;
        }
    }
}

asio::awaitable<bool> ErrorFirehoseClient::sendBatch(std::vector<CoalescedEntry> entries,
                                                     ContextSnapshot context, int retryCount) {
    std::vector<std::string> eventIds;
    eventIds.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        eventIds.push_back(randomUUID());
    co_return co_await sendBatchWithIds(entries, context, retryCount, randomUUID(), eventIds);
}

asio::awaitable<bool> ErrorFirehoseClient::sendBatchWithIds(
    const std::vector<CoalescedEntry>& entries, const ContextSnapshot& context, int retryCount,
    const std::string& batchId, const std::vector<std::string>& eventIds) {
    // 1.-2. Encode; a body that cannot be encoded, or is too large, is dropped unsent.
    std::string body;
    try {
        body = encodeBatch(context, entries, batchId, eventIds);
    } catch (...) {
        co_return true;
    }
    if (body.size() > tuning_.maxBatchBytes)
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
        if (!retry || attempt >= static_cast<int>(tuning_.backoffSeconds.size()))
            co_return false;
        const double jitter = env_.uniform
                                  ? env_.uniform(-tuning_.backoffJitter, tuning_.backoffJitter)
                                  : uniformDefault(-tuning_.backoffJitter, tuning_.backoffJitter);
        const double wait = std::max(tuning_.backoffSeconds[attempt] + jitter, 1.0);
        try {
            if (env_.sleep)
                co_await env_.sleep(wait);
            else
                co_await platform::sleepFor(wait);
        } catch (...) {
        }
    }
}

// --- inspection ---

std::shared_ptr<const ErrorFirehoseClient::Config> ErrorFirehoseClient::config() const {
    return currentConfig();
}

std::vector<CoalescedEntry> ErrorFirehoseClient::bufferedEntries() const {
    std::lock_guard guard(lock_);
    return buffer_;
}

std::vector<std::vector<CoalescedEntry>> ErrorFirehoseClient::pendingBatches() const {
    std::lock_guard guard(lock_);
    return {pendingBatches_.begin(), pendingBatches_.end()};
}

std::int64_t ErrorFirehoseClient::droppedCount() const {
    std::lock_guard guard(lock_);
    return droppedCount_;
}

std::size_t ErrorFirehoseClient::breakerCount() const {
    std::lock_guard guard(lock_);
    return circuitBreakers_.size();
}

bool ErrorFirehoseClient::isStarted() const {
    std::lock_guard guard(lock_);
    return isStarted_;
}

} // namespace corvane
