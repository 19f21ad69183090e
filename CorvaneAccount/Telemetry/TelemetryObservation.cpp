#include "CorvaneAccount/Telemetry/TelemetryObservation.h"

#include "CorvaneAccount/Telemetry/TelemetryText.h"

#include <date/date.h>

#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace corvane::telemetry {

std::string typeName(const std::exception& error) {
    const char* mangled = typeid(error).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    const std::string full = status == 0 && demangled ? demangled.get() : mangled;
    // Template arguments are not part of the type's own name: "a::b<c::d>" is "a::b".
    std::string name;
    int depth = 0;
    for (char c : full) {
        if (c == '<')
            ++depth;
        else if (c == '>' && depth > 0)
            --depth;
        else if (depth == 0)
            name += c;
    }
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

std::string fingerprint(const std::string& appSlug, const std::string& platform,
                        const std::string& severity, const std::string& category,
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

std::string utcDateString(TimePoint at) {
    return date::format("%F", date::floor<date::days>(at));
}

std::string dailyToken(const std::string& installId, TimePoint at) {
    return TelemetryText::sha256Hex(installId + "|" + utcDateString(at) + "|marlock-sieve-v1", 16);
}

TelemetryObservation scrubbedObservation(TimePoint now, const std::string& message,
                                         const std::exception* error,
                                         std::optional<std::vector<std::string>> topFrames) {
    TelemetryObservation o;
    o.now = now;
    if (error)
        o.exceptionType = typeName(*error);
    o.normalized = TelemetryText::normalizeMessage(message, o.exceptionType);
    // Cut here, on the caller's thread: the recording step under the lock only moves it.
    o.messageTemplate = TelemetryText::prefixCharacters(o.normalized, maxTemplateCharacters);
    if (topFrames) {
        // Frames name files and values as messages do: they are scrubbed alike, and their
        // digest is taken of what is sent.
        if (topFrames->size() > maxTopFrames)
            topFrames->resize(maxTopFrames);
        for (auto& frame : *topFrames)
            frame = TelemetryText::scrub(frame);
        o.frameDigest = TelemetryText::frameDigest(*topFrames);
    }
    o.topFrames = std::move(topFrames);
    return o;
}

void identify(TelemetryObservation& o, const std::string& appSlug, const std::string& platform,
              const std::string& severity, const std::string& category,
              std::optional<std::string> specId,
              std::optional<std::vector<BreadcrumbEntry>> breadcrumbs) {
    o.fingerprint = fingerprint(appSlug, platform, severity, category, o.normalized, o.frameDigest);
    o.severity = severity;
    o.category = category;
    o.specId = std::move(specId);
    if (breadcrumbs) {
        if (breadcrumbs->size() > maxBreadcrumbs)
            breadcrumbs->resize(maxBreadcrumbs);
        for (auto& crumb : *breadcrumbs) {
            crumb.ts = TelemetryText::scrub(crumb.ts);
            crumb.level = TelemetryText::scrub(crumb.level);
            crumb.category = TelemetryText::scrub(crumb.category);
            crumb.msg = TelemetryText::scrub(crumb.msg);
        }
    }
    o.breadcrumbs = std::move(breadcrumbs);
}

FacadeObservation facadeObservation(CorvaneLogLevel level, const std::string& event,
                                    const std::map<std::string, std::string>& fields) {
    FacadeObservation f;
    f.severity = level == CorvaneLogLevel::warning ? "warn" : "error";
    // The map is ordered by key already: byte-wise ascending.
    f.message = event;
    if (!fields.empty()) {
        f.message += ":";
        for (const auto& [key, value] : fields)
            f.message.append(" ").append(key).append("=").append(value);
    }
    f.category = "auth";
    if (auto it = fields.find("class"); it != fields.end())
        f.category = it->second;
    else if (auto it2 = fields.find("category"); it2 != fields.end())
        f.category = it2->second;
    return f;
}

} // namespace corvane::telemetry
