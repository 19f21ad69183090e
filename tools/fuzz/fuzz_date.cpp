// Fuzzes the library's date readers. ISO 8601 (CorvaneJSON): any text either decodes or fails
// with "Bad ISO 8601 date: " and the text; a decoded date writes as a 24-character UTC form
// that reads back as the same millisecond. HTTP dates (Retry-After): a date that reads is a
// whole second, and its IMF-fixdate form reads back as the same second. Nothing reads outside
// the input or overflows.
#include "CorvaneAccount/Foundation/CorvaneJSON.h"
#include "CorvaneAccount/Transport/RetryAfter.h"

#include <date/date.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool writtenForm(const std::string& s) {
    // yyyy-mm-ddThh:mm:ss.fffZ
    static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (s.size() != shape.size())
        return false;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (shape[i] == 'd' ? (s[i] < '0' || s[i] > '9') : s[i] != shape[i])
            return false;
    return true;
}

void checkHttpDate(const std::string& text) {
    using namespace std::chrono;
    const auto parsed = corvane::parseHttpDate(text);
    if (!parsed)
        return;
    const auto whole = floor<seconds>(*parsed);
    if (whole != *parsed)
        __builtin_trap();
    const std::string written = date::format("%a, %d %b %Y %H:%M:%S GMT", whole);
    const auto reread = corvane::parseHttpDate(written);
    if (!reread || *reread != *parsed)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvane;
    using std::chrono::floor;
    using std::chrono::milliseconds;
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkHttpDate(text);

    const auto parsed = CorvaneJSON::parseDate(text);
    try {
        const Date d = CorvaneJSON::decodeDate(text);
        if (!parsed || *parsed != d)
            __builtin_trap();
    } catch (const CorvaneJSON::DecodingError& e) {
        // what() is a C string: compare up to the first NUL of the input.
        const std::string expected = "Bad ISO 8601 date: " + text;
        if (parsed || std::string(e.what()) != expected.c_str())
            __builtin_trap();
    }
    if (!parsed)
        return 0;

    const std::string written = CorvaneJSON::encodeDate(*parsed);
    if (!writtenForm(written))
        __builtin_trap();
    const auto reread = CorvaneJSON::parseDate(written);
    if (!reread || floor<milliseconds>(*reread) != floor<milliseconds>(*parsed) ||
        CorvaneJSON::encodeDate(*reread) != written)
        __builtin_trap();
    return 0;
}
