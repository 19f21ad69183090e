#include "Platform/UserDefaults.h"

#include <cstdlib>

namespace platform {

namespace {

std::optional<double> numberFrom(const Value& v) {
    if (auto b = v.asBool())
        return *b ? 1.0 : 0.0;
    if (auto n = v.asNumber())
        return n;
    if (auto* s = v.asString()) {
        if (*s == "YES" || *s == "true")
            return 1.0;
        if (*s == "NO" || *s == "false")
            return 0.0;
        char* end = nullptr;
        double d = std::strtod(s->c_str(), &end);
        if (end != s->c_str())
            return d;
    }
    return std::nullopt;
}

} // namespace

bool UserDefaults::boolForKey(const std::string& key) const {
    auto v = object(key);
    if (!v)
        return false;
    auto n = numberFrom(*v);
    return n && *n != 0;
}

std::int64_t UserDefaults::integerForKey(const std::string& key) const {
    auto v = object(key);
    if (!v)
        return 0;
    if (auto i = v->asInteger())
        return *i;
    auto n = numberFrom(*v);
    if (!n || *n != *n || *n > 9.2e18 || *n < -9.2e18)
        return 0;
    return static_cast<std::int64_t>(*n);
}

double UserDefaults::doubleForKey(const std::string& key) const {
    auto v = object(key);
    if (!v)
        return 0;
    return numberFrom(*v).value_or(0.0);
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    auto v = object(key);
    if (!v)
        return std::nullopt;
    if (auto* s = v->asString())
        return *s;
    return std::nullopt;
}

} // namespace platform
