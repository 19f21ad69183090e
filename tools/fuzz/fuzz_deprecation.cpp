// Fuzzes the reading of the identity service's `Corvane-Deprecation` header and the version
// comparison it feeds: any text parses without reading outside the input; every notice is one
// the grammar allows (a client notice always has its minimum version, trimmed); parsing is
// stable under surrounding white space; version comparison is a consistent order.
#include "CorvaneAccount/Transport/AuthModels.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool trimmed(std::string_view s) {
    auto space = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    };
    return s.empty() || (!space(s.front()) && !space(s.back()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvane;
    const std::string text(reinterpret_cast<const char*>(data), size);

    const auto notices = CorvaneDeprecationParser::parse(text);
    for (const auto& notice : notices) {
        if (const auto* client = notice.client()) {
            if (!trimmed(client->minVersion))
                __builtin_trap();
            if (Semver::compare(client->minVersion, client->minVersion) != 0)
                __builtin_trap();
        } else if (const auto* endpoint = notice.endpoint()) {
            if (endpoint->replacement && !trimmed(*endpoint->replacement))
                __builtin_trap();
        } else {
            __builtin_trap();
        }
    }
    // White space around the whole value changes nothing.
    if (CorvaneDeprecationParser::parse("  " + text + " \t") != notices)
        __builtin_trap();

    // Split the input in two and compare them as versions: antisymmetric and reflexive.
    const std::string_view all(text);
    const std::string_view a = all.substr(0, all.size() / 2);
    const std::string_view b = all.substr(all.size() / 2);
    const int ab = Semver::compare(a, b);
    if (ab != -Semver::compare(b, a) || ab < -1 || ab > 1 || Semver::compare(a, a) != 0)
        __builtin_trap();
    return 0;
}
