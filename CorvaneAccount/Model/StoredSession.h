// The persisted session: the session token (`cas`), the refresh token, expiry, account, the
// application it belongs to and when it was written. JSON with camelCase keys; dates through
// CorvaneJSON; only "refreshToken" may be missing.
#pragma once

#include "CorvaneAccount/Foundation/CorvaneJSON.h"
#include "CorvaneAccount/Model/CorvaneAccount.h"

#include <optional>
#include <string>

namespace corvane {

struct StoredSession {
    std::string cas;
    std::optional<std::string> refreshToken;
    Date expiresAt;
    CorvaneAccount account;
    std::string appSlug;
    Date issuedAt;

    // True at or after expiresAt, by the host clock.
    bool isExpired() const;

    bool operator==(const StoredSession&) const = default;
};

void to_json(nlohmann::json& j, const StoredSession& session);
void from_json(const nlohmann::json& j, StoredSession& session);

} // namespace corvane
