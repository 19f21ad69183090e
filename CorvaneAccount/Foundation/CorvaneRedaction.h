// Metadata of the library's request log lines: endpoints cut before any query or fragment,
// failure classes and error codes; never tokens, codes or bodies. Pure functions.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// What a log line may say about a transport failure.
struct TransportErrorInfo {
    std::string domain;
    long code = 0;
    // Set when the failure is one of URL loading.
    std::optional<int> urlErrorCode;

    // From any error offering domain(), code() and urlErrorCode() (platform::HttpTransportError).
    template <class Error> static TransportErrorInfo of(const Error& error) {
        return {std::string(error.domain()), static_cast<long>(error.code()), error.urlErrorCode()};
    }
};

namespace CorvaneRedaction {

using Metadata = std::map<std::string, std::string>;

// The class of a failure in log metadata.
enum class Classification {
    transport,
    server,
    auth,
    decode,
    cancelled,
    timeout,
    clientKilled,
    requiresUpgrade,
};

constexpr std::string_view rawValue(Classification c) {
    switch (c) {
    case Classification::transport:
        return "transport";
    case Classification::server:
        return "server";
    case Classification::auth:
        return "auth";
    case Classification::decode:
        return "decode";
    case Classification::cancelled:
        return "cancelled";
    case Classification::timeout:
        return "timeout";
    case Classification::clientKilled:
        return "clientKilled";
    case Classification::requiresUpgrade:
        return "requiresUpgrade";
    }
    return "";
}

// The path up to, not including, the first "?" or "#".
std::string endpoint(std::string_view path);

// {"endpoint", "class": "decode"} plus "field" when one is given.
Metadata decodeFailure(std::string_view endpoint, const std::optional<std::string>& field);

// {"endpoint", "class": "transport", "error_domain", "error_code"} plus "url_error" for
// URL-loading failures.
Metadata transportFailure(std::string_view endpoint, const TransportErrorInfo& error);

// Text from outside (a server's error description) made fit for a log line: UTF-8 with every
// control character (C0, DEL, C1), every bidirectional formatting character (U+061C,
// U+200E-U+200F, U+202A-U+202E, U+2066-U+2069) and every invalid byte dropped, cut to `limit`
// characters.
std::string logSafeText(std::string_view text, std::size_t limit = 200);

} // namespace CorvaneRedaction

} // namespace corvane
