// Text operations of error telemetry with Unicode meaning: the scrubbing and normalisation of
// messages (ICU regular expressions, so \d, \s, \w and \b are Unicode-aware), full lower-case
// mapping, cutting to a number of user-perceived characters, and truncated SHA-256 hex.
// Stateless; any thread (compiled patterns are shared, matchers are per thread).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::TelemetryText {

// Every match of the seven scrubbing patterns replaced, in order, by its token.
std::string scrub(std::string_view message);
// The message scrubbed, lower-cased, its white-space runs collapsed to single spaces and trimmed;
// padded with the exception type when shorter than 8 characters (see ErrorFirehoseClient).
std::string normalizeMessage(std::string_view message,
                             const std::optional<std::string>& exceptionType);
// One frame with the arrow and everything after it, and the outermost parenthesised part,
// removed; trimmed of spaces and tabs and lower-cased.
std::string cleanFrame(std::string_view frame);
// 12 hex digits of SHA-256 over the first three cleaned frames joined with "|".
std::string frameDigest(const std::vector<std::string>& frames);

// Full Unicode lower-case mapping (root locale). Invalid UTF-8 reads as U+FFFD.
std::string lowercased(std::string_view text);
// The first `count` extended grapheme clusters of `text`.
std::string prefixCharacters(std::string_view text, std::size_t count);
// Number of extended grapheme clusters of `text`, counting no further than `limit`.
std::size_t characterCount(std::string_view text, std::size_t limit);
// The first `length` lower-case hex digits of SHA-256 over the bytes of `text`.
std::string sha256Hex(std::string_view text, std::size_t length = 64);

} // namespace corvane::TelemetryText
