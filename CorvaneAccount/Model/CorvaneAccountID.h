// The identity service's account identifier: "ca_" and a lowercase version-7 UUID when well
// formed. Coded as a bare JSON string; decoding does not check the form.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <string>

namespace corvane {

struct CorvaneAccountID {
    std::string raw;

    // raw matches ^ca_[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$
    bool isWellFormed() const;
    const std::string& description() const { return raw; }

    bool operator==(const CorvaneAccountID&) const = default;
};

void to_json(nlohmann::json& j, const CorvaneAccountID& id);
void from_json(const nlohmann::json& j, CorvaneAccountID& id);

} // namespace corvane

template <> struct std::hash<corvane::CorvaneAccountID> {
    std::size_t operator()(const corvane::CorvaneAccountID& id) const noexcept {
        return std::hash<std::string>{}(id.raw);
    }
};
