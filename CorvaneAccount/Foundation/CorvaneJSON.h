// The library's JSON coding (nlohmann json): dates as ISO 8601 internet date-times, read with
// or without fractional seconds and any offset, always written with milliseconds in UTC ("Z").
// Wire records declare their own keys. Stateless; any thread.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// A moment in time, as the host clock gives it.
using Date = std::chrono::system_clock::time_point;

namespace CorvaneJSON {

// The data does not decode into the expected record. The text names keys and types, never
// values (apart from the rejected date text).
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "2026-01-05T09:00:00.000Z": milliseconds, truncated towards the past.
std::string encodeDate(Date date);
// RFC 3339 date-time ("T" and "Z" in either case, fraction of any length, offset "Z" or
// "+hh:mm"/"-hh:mm"). Moments outside the clock's range (about 1677 to 2262) are clamped to its
// ends. Throws DecodingError "Bad ISO 8601 date: <text>".
Date decodeDate(std::string_view text);
// As decodeDate(), nullopt instead of throwing.
std::optional<Date> parseDate(std::string_view text) noexcept;

// --- helpers for records' to_json / from_json ---

// The member `key` of object `j`; throws DecodingError when `j` is not an object or the key is
// missing.
const nlohmann::json& required(const nlohmann::json& j, const char* key);
// The member `key` when present and not null.
const nlohmann::json* optional(const nlohmann::json& j, const char* key);
// `j` as a string; throws DecodingError naming `what` otherwise.
const std::string& stringValue(const nlohmann::json& j, const char* what);
nlohmann::json dateJSON(Date date);
Date dateValue(const nlohmann::json& j);

// --- the decoder and the encoder ---

// Parses `text` and converts it to T. Every failure is a DecodingError.
template <class T> T decode(std::string_view text) {
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception&) {
        // The parser's own message quotes the input, which may hold secrets.
        throw DecodingError("The given data was not valid JSON.");
    }
    try {
        return j.get<T>();
    } catch (const nlohmann::json::exception& e) {
        throw DecodingError(e.what());
    }
}

template <class T> T decode(std::span<const std::uint8_t> bytes) {
    return decode<T>(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Converts `value` to compact JSON text. Throws EncodingError (for instance on invalid UTF-8).
template <class T> std::string encode(const T& value) {
    try {
        return nlohmann::json(value).dump();
    } catch (const nlohmann::json::exception& e) {
        throw EncodingError(e.what());
    }
}

template <class T> std::vector<std::uint8_t> encodeBytes(const T& value) {
    const std::string text = encode(value);
    return {text.begin(), text.end()};
}

} // namespace CorvaneJSON

} // namespace corvane
