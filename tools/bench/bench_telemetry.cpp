// Error telemetry's cost: observe() of a 200-byte message that every scrubbing pattern matches,
// beside the same patterns applied by ICU directly (a matcher per pattern and message, the plain
// way); long messages of the shapes that make a backtracking search slow, one of 30 KB beside 100
// of 300 bytes, and of 100 KB; and a flood of 1,000,000 observations whose memory must stay
// bounded (peak RSS and the client's table sizes are reported as counters).
#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

using corvane::ErrorFirehoseClient;

namespace {

// 200 bytes: an e-mail address, a time stamp, a UUID, an account id, a path, a hex run and a
// number, between ordinary words.
std::string sampleMessage() {
    std::string m = "Sync failed for jane.doe@example.com at 2024-05-01T10:00:00.123Z req "
                    "3f2504e0-4f89-11d3-9a0c-0305e82c3301 acct ca_01HZXQ9 file "
                    "/Users/jane/Library/x.json blob deadbeefcafe code 50321 retry";
    m.resize(200, 'z'); // the last word grows to 200 bytes
    return m;
}

// The scrubbing rules as ICU patterns: the seven of the event model (the first one leaving an
// address glued to a letter of another script to the eighth), then addresses of any script, JSON
// Web Tokens, bearer tokens, IPv4 and IPv6 addresses.
const char16_t* const plainPatterns[12][2] = {
    {uR"((?:\G|(?<![a-zA-Z0-9._%+\-\p{L}\p{M}\p{Nd}]))[a-zA-Z0-9._%+\-]+@[a-zA-Z0-9.\-]+\.[a-zA-Z]{2,})",
     u"<email>"},
    {uR"(\d{4}-\d{2}-\d{2}[T ]\d{2}:\d{2}:\d{2}(?:\.\d+)?(?:Z|[+-]\d{2}:?\d{2})?)", u"<ts>"},
    {uR"([0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12})", u"<uuid>"},
    {uR"(ca_[0-9a-zA-Z-]+)", u"<ca_id>"},
    {uR"((?:[A-Za-z]:[\\\/]|\\\\|\/)[^\s,;\"'<>]+)", u"<path>"},
    {uR"(\b[0-9a-fA-F]{8,}\b)", u"<hex>"},
    {uR"(\b\d{4,}\b)", u"<n>"},
    {uR"([\p{L}\p{M}\p{Nd}._%+\-]+@[\p{L}\p{M}\p{Nd}.\-]+\.[\p{L}\p{M}]{2,})", u"<email>"},
    {uR"((?<![A-Za-z0-9_\-])[eE][yY][jJ][A-Za-z0-9_\-]*\.[A-Za-z0-9_\-]+\.[A-Za-z0-9_\-]+)",
     u"<jwt>"},
    {uR"(\b(?i:bearer)\s+[A-Za-z0-9\-._~+/]{8,}=*)", u"bearer <token>"},
    {uR"((?<![\w.])(?:[0-9]{1,3}\.){3}[0-9]{1,3}(?!\w|\.\w))", u"<ip>"},
    {uR"((?<![\w:.])(?:(?:[0-9A-Fa-f]{1,4}|<n>)(?::(?:[0-9A-Fa-f]{1,4}|<n>)){7}|(?:(?:[0-9A-Fa-f]{1,4}|<n>)(?::(?:[0-9A-Fa-f]{1,4}|<n>)){0,6})?::(?:[0-9A-Fa-f]{1,4}|<n>)(?::(?:[0-9A-Fa-f]{1,4}|<n>)){0,6}|(?:[0-9A-Fa-f]{1,4}|<n>)(?::(?:[0-9A-Fa-f]{1,4}|<n>)){0,6}::)(?![\w:]))",
     u"<ip>"},
};

struct PlainICU {
    std::vector<std::unique_ptr<icu::RegexPattern>> patterns;
    explicit PlainICU(std::size_t count = 12) {
        for (std::size_t i = 0; i < count; ++i) {
            const auto& p = plainPatterns[i];
            UErrorCode status = U_ZERO_ERROR;
            UParseError where{};
            patterns.emplace_back(
                icu::RegexPattern::compile(icu::UnicodeString(p[0]), 0, where, status));
        }
    }
    // Scrubbed and lower-cased: what normalisation gives for a message with single spaces.
    std::string apply(const std::string& message) const {
        icu::UnicodeString s = icu::UnicodeString::fromUTF8(message);
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            UErrorCode status = U_ZERO_ERROR;
            std::unique_ptr<icu::RegexMatcher> m(patterns[i]->matcher(s, status));
            s = m->replaceAll(icu::UnicodeString(plainPatterns[i][1]), status);
        }
        s.toLower(icu::Locale::getRoot());
        std::string out;
        s.toUTF8String(out);
        return out;
    }
};

// A clock of its own that moves on by `step` per reading: no host is needed, and a repeated
// message stays under the breaker threshold.
struct SteppingClock {
    std::shared_ptr<std::atomic<long long>> micros = std::make_shared<std::atomic<long long>>(0);
    long long step;
    explicit SteppingClock(long long stepMicros) : step(stepMicros) {}
    std::function<ErrorFirehoseClient::TimePoint()> function() const {
        return [micros = micros, step = step] {
            return ErrorFirehoseClient::TimePoint(
                std::chrono::microseconds(micros->fetch_add(step)));
        };
    }
};

std::shared_ptr<ErrorFirehoseClient> benchClient(long long stepMicros) {
    ErrorFirehoseClient::Environment env;
    env.consent = [] { return true; };
    env.clock = SteppingClock(stepMicros).function();
    auto client = ErrorFirehoseClient::make({}, env);
    client->configure("quillet", std::string("mac"), "0.3.1", std::string("14.5.0"), "install",
                      "https://id.example");
    return client;
}

long peakRSSKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_ObserveAllPatterns(benchmark::State& state) {
    const std::string message = sampleMessage();
    const std::string plain = PlainICU().apply(message);
    if (ErrorFirehoseClient::normalizeMessage(message, {}) != plain) {
        state.SkipWithError("normalisation differs from plain ICU");
        return;
    }
    // 0.2 s per observation: 50 per breaker window, never tripping it.
    auto client = benchClient(200000);
    for (auto _ : state)
        client->observe("error", "sync", message);
    const auto entries = client->bufferedEntries();
    state.counters["identical"] = entries.empty() || entries[0].messageTemplate == plain;
}
BENCHMARK(BM_ObserveAllPatterns);

// The rules applied by ICU directly: all twelve, and the first seven alone (the seven of the
// event model, as before the later rules were added).
void BM_PlainICU(benchmark::State& state) {
    const std::string message = sampleMessage();
    PlainICU icu(std::size_t(state.range(0)));
    std::string out;
    for (auto _ : state) {
        out = icu.apply(message);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_PlainICU)->Arg(12)->Arg(7);

// Messages of the shapes that make a search from every position slow: an "@" followed by dotted
// words, a long path, a run of digits, a run of hex digits (each ending so that no rule takes it
// whole), and words of the later rules' shapes.
enum Shape { dottedAt, longPath, digitRun, hexRun, tokenish, shapeCount };
const char* const shapeNames[shapeCount] = {"at_dotted", "path", "digits", "hex", "tokens"};

std::string shaped(int shape, std::size_t size) {
    std::string head, unit;
    switch (shape) {
    case dottedAt:
        head = "failed for a@";
        unit = "b.";
        break;
    case longPath:
        head = "cannot open /";
        unit = "dir/";
        break;
    case digitRun:
        head = "code ";
        unit = "0123456789";
        break;
    case hexRun:
        head = "blob ";
        unit = "deadbeef";
        break;
    default:
        head = "auth ";
        unit = "eyJ1.2:3@";
        break;
    }
    std::string m = head;
    while (m.size() + unit.size() < size)
        m += unit;
    m.resize(size - 1, unit[0]);
    return m + "x";
}

// One observation of a 30 KB message (range 0: the shape).
void BM_ObserveOne30KB(benchmark::State& state) {
    const std::string message = shaped(int(state.range(0)), 30 * 1024);
    auto client = benchClient(200000);
    for (auto _ : state)
        client->observe("error", "sync", message);
    state.SetLabel(shapeNames[state.range(0)]);
}
BENCHMARK(BM_ObserveOne30KB)->DenseRange(0, shapeCount - 1)->Unit(benchmark::kMicrosecond);

// One hundred observations of 300-byte messages of the same shape.
void BM_ObserveHundred300B(benchmark::State& state) {
    const std::string message = shaped(int(state.range(0)), 300);
    auto client = benchClient(200000);
    for (auto _ : state)
        for (int i = 0; i < 100; ++i)
            client->observe("error", "sync", message);
    state.SetLabel(shapeNames[state.range(0)]);
}
BENCHMARK(BM_ObserveHundred300B)->DenseRange(0, shapeCount - 1)->Unit(benchmark::kMicrosecond);

// Normalisation of a 100 KB message.
void BM_Normalize100KB(benchmark::State& state) {
    const std::string message = shaped(int(state.range(0)), 100 * 1024);
    std::string out;
    for (auto _ : state) {
        out = ErrorFirehoseClient::normalizeMessage(message, {});
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(shapeNames[state.range(0)]);
}
BENCHMARK(BM_Normalize100KB)->DenseRange(0, shapeCount - 1)->Unit(benchmark::kMillisecond);

void BM_NormalizeOnly(benchmark::State& state) {
    const std::string message = sampleMessage();
    std::string out;
    for (auto _ : state) {
        out = ErrorFirehoseClient::normalizeMessage(message, {});
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_NormalizeOnly);

// One million observations of 5,000 distinct errors, 1 ms apart, no uploads (not started):
// the buffer, the queue and the breaker table must stay bounded.
void BM_ObserveFlood(benchmark::State& state) {
    std::vector<std::string> messages;
    for (int i = 0; i < 5000; ++i)
        messages.push_back("Request " + std::to_string(i) + "x to /api/items/" +
                           std::to_string(i * 7919) + " failed for user" + std::to_string(i) +
                           "@example.com");
    const long before = peakRSSKiB();
    std::size_t maxBuffered = 0, maxPending = 0, maxBreakers = 0;
    for (auto _ : state) {
        auto client = benchClient(1000);
        for (int i = 0; i < 1000000; ++i) {
            client->observe("error", "network", messages[i % messages.size()]);
            if (i % 10000 == 0) {
                maxBuffered = std::max(maxBuffered, client->bufferedEntries().size());
                maxPending = std::max(maxPending, client->pendingBatches().size());
                maxBreakers = std::max(maxBreakers, client->breakerCount());
            }
        }
    }
    state.counters["peak_rss_kib_before"] = double(before);
    state.counters["peak_rss_kib"] = double(peakRSSKiB());
    state.counters["max_buffered"] = double(maxBuffered);
    state.counters["max_pending_batches"] = double(maxPending);
    state.counters["max_breakers"] = double(maxBreakers);
}
BENCHMARK(BM_ObserveFlood)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
