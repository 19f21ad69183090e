#include "CorvaneAccount/Model/CorvaneAccount.h"

#include "CorvaneAccount/Foundation/CorvaneJSON.h"

namespace corvane {

void to_json(nlohmann::json& j, const CorvaneAccount& account) {
    j = nlohmann::json::object();
    j["corvane_account_id"] = account.corvaneAccountId;
    j["email_primary"] = account.emailPrimary;
    if (account.providers)
        j["providers"] = *account.providers;
}

void from_json(const nlohmann::json& j, CorvaneAccount& account) {
    using namespace CorvaneJSON;
    account.corvaneAccountId = required(j, "corvane_account_id").get<CorvaneAccountID>();
    account.emailPrimary = stringValue(required(j, "email_primary"), "email_primary");
    if (const auto* p = optional(j, "providers")) {
        if (!p->is_array())
            throw DecodingError("Expected an array for providers.");
        account.providers = p->get<std::vector<CorvaneProvider>>();
    } else {
        account.providers.reset();
    }
}

} // namespace corvane

std::size_t
std::hash<corvane::CorvaneAccount>::operator()(const corvane::CorvaneAccount& a) const noexcept {
    std::size_t h = std::hash<corvane::CorvaneAccountID>{}(a.corvaneAccountId);
    auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    mix(std::hash<std::string>{}(a.emailPrimary));
    mix(a.providers.has_value());
    if (a.providers)
        for (auto p : *a.providers)
            mix(static_cast<std::size_t>(p));
    return h;
}
