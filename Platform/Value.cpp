#include "Platform/Value.h"

namespace platform {

std::optional<bool> Value::asBool() const {
    if (auto* b = std::get_if<bool>(&v_))
        return *b;
    return std::nullopt;
}

std::optional<std::int64_t> Value::asInteger() const {
    if (auto* i = std::get_if<std::int64_t>(&v_))
        return *i;
    return std::nullopt;
}

std::optional<double> Value::asNumber() const {
    if (auto* i = std::get_if<std::int64_t>(&v_))
        return static_cast<double>(*i);
    if (auto* d = std::get_if<double>(&v_))
        return *d;
    return std::nullopt;
}

const Value* Value::find(std::string_view key) const {
    auto* d = asDictionary();
    if (!d)
        return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

} // namespace platform
