#include "CorvaneAccount/Model/StoredSession.h"

#include "Platform/Host.h"

namespace corvane {

bool StoredSession::isExpired() const {
    return platform::now() >= expiresAt;
}

void to_json(nlohmann::json& j, const StoredSession& s) {
    j = nlohmann::json::object();
    j["cas"] = s.cas;
    if (s.refreshToken)
        j["refreshToken"] = *s.refreshToken;
    j["expiresAt"] = CorvaneJSON::dateJSON(s.expiresAt);
    j["account"] = s.account;
    j["appSlug"] = s.appSlug;
    j["issuedAt"] = CorvaneJSON::dateJSON(s.issuedAt);
}

void from_json(const nlohmann::json& j, StoredSession& s) {
    using namespace CorvaneJSON;
    s.cas = stringValue(required(j, "cas"), "cas");
    if (const auto* r = optional(j, "refreshToken"))
        s.refreshToken = stringValue(*r, "refreshToken");
    else
        s.refreshToken.reset();
    s.expiresAt = dateValue(required(j, "expiresAt"));
    s.account = required(j, "account").get<CorvaneAccount>();
    s.appSlug = stringValue(required(j, "appSlug"), "appSlug");
    s.issuedAt = dateValue(required(j, "issuedAt"));
}

} // namespace corvane
