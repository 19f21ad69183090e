// Who is signed in: the account id, the primary e-mail address and the sign-in providers.
// JSON with snake_case keys; "providers" may be missing.
#pragma once

#include "CorvaneAccount/Model/CorvaneAccountID.h"
#include "CorvaneAccount/Model/CorvaneProvider.h"

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

struct CorvaneAccount {
    CorvaneAccountID corvaneAccountId;
    std::string emailPrimary;
    std::optional<std::vector<CorvaneProvider>> providers;

    bool operator==(const CorvaneAccount&) const = default;
};

void to_json(nlohmann::json& j, const CorvaneAccount& account);
void from_json(const nlohmann::json& j, CorvaneAccount& account);

} // namespace corvane

template <> struct std::hash<corvane::CorvaneAccount> {
    std::size_t operator()(const corvane::CorvaneAccount& a) const noexcept;
};
