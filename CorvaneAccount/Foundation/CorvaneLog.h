// Log levels of the library and the host's logger callback. The callback may be called from any
// thread; its metadata never carries tokens, codes, bodies or query strings.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

enum class CorvaneLogLevel { debug, info, warning, error };

constexpr std::string_view rawValue(CorvaneLogLevel level) {
    switch (level) {
    case CorvaneLogLevel::debug:
        return "debug";
    case CorvaneLogLevel::info:
        return "info";
    case CorvaneLogLevel::warning:
        return "warning";
    case CorvaneLogLevel::error:
        return "error";
    }
    return "";
}

inline std::optional<CorvaneLogLevel> corvaneLogLevelFromRaw(std::string_view raw) {
    for (auto level : {CorvaneLogLevel::debug, CorvaneLogLevel::info, CorvaneLogLevel::warning,
                       CorvaneLogLevel::error})
        if (rawValue(level) == raw)
            return level;
    return std::nullopt;
}

// (level, snake_case message key, metadata). An empty function means "no logger".
using CorvaneLogger = std::function<void(CorvaneLogLevel, const std::string& messageKey,
                                         const std::map<std::string, std::string>& metadata)>;

} // namespace corvane
