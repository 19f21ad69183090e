// An error observation turned into what the client records: its text scrubbed and normalised,
// its fingerprint, and its details cut to size; also the daily token. Pure functions; any thread.
#pragma once

#include "CorvaneAccount/Foundation/CorvaneLog.h"
#include "CorvaneAccount/Telemetry/CoalescedEntry.h"

#include <chrono>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvane::telemetry {

using TimePoint = std::chrono::system_clock::time_point;

// One observation after the front half, ready for the recording step.
struct TelemetryObservation {
    TimePoint now;
    std::string fingerprint;
    std::string severity;
    std::string category;
    std::optional<std::string> specId;
    // The normalised message, whole: the fingerprint is made of it.
    std::string normalized;
    // Its first 256 characters, as the entry keeps it.
    std::string messageTemplate;
    std::optional<std::string> exceptionType;
    std::optional<std::vector<std::string>> topFrames;
    std::optional<std::string> frameDigest;
    std::optional<std::vector<BreadcrumbEntry>> breadcrumbs;
};

// At most this many frames and breadcrumbs travel with an entry.
inline constexpr std::size_t maxTopFrames = 3;
inline constexpr std::size_t maxBreadcrumbs = 10;
// A message template is cut to this many characters.
inline constexpr std::size_t maxTemplateCharacters = 256;

// The last dotted or scoped component of the dynamic type's name, its template arguments left
// out; "Error" when there is none.
std::string typeName(const std::exception& error);
// 16 hex digits over appSlug|platform|severity|category|normalized|frameDigest.
std::string fingerprint(const std::string& appSlug, const std::string& platform,
                        const std::string& severity, const std::string& category,
                        const std::string& normalized,
                        const std::optional<std::string>& frameDigest);
// yyyy-MM-dd of `at` in UTC.
std::string utcDateString(TimePoint at);
// 16 hex digits over installId|<UTC date of `at`>|marlock-sieve-v1.
std::string dailyToken(const std::string& installId, TimePoint at);

// The text half of an observation: the exception's type name, the normalised message and its
// template, the frames cut to their limit and scrubbed, and their digest. Fingerprint and details
// are left for identify().
TelemetryObservation scrubbedObservation(TimePoint now, const std::string& message,
                                         const std::exception* error,
                                         std::optional<std::vector<std::string>> topFrames);
// Completes an observation: its fingerprint under the app's slug and platform, and the caller's
// details; the breadcrumbs cut to their limit, every field of them scrubbed.
void identify(TelemetryObservation& observation, const std::string& appSlug,
              const std::string& platform, const std::string& severity, const std::string& category,
              std::optional<std::string> specId,
              std::optional<std::vector<BreadcrumbEntry>> breadcrumbs);

// What a library log call of warning or error level is observed as.
struct FacadeObservation {
    std::string severity;
    std::string category;
    std::string message;
};
// "warn" or "error"; the event followed by " key=value" per field in key order; the category
// from the "class" field, else the "category" field, else "auth". `level` is warning or error.
FacadeObservation facadeObservation(CorvaneLogLevel level, const std::string& event,
                                    const std::map<std::string, std::string>& fields);

} // namespace corvane::telemetry
