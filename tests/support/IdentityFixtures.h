// Small fixtures of the identity service's answers and URLs for the account library's tests.
#pragma once

#include "CorvaneAccount/Foundation/CorvaneJSON.h"

#include <boost/url/parse.hpp>

#include <string>

namespace test_support {

inline constexpr const char* accountID = "ca_0190a5a0-1c2d-7e3f-8a4b-5c6d7e8f9a0b";

// A session answer (CasResponse) for `email` (by default "ada@example.com") of the app "quillet".
inline std::string casJSON(const std::string& cas, const std::string& refresh,
                           corvane::Date expiresAt, const std::string& email = "ada@example.com") {
    return R"({"ok":true,"cas":")" + cas + R"(","refresh_token":")" + refresh +
           R"(","expires_at":")" + corvane::CorvaneJSON::encodeDate(expiresAt) +
           R"(","corvane_account_id":")" + accountID + R"(","email":")" + email +
           R"(","app_slug":"quillet"})";
}

// The decoded value of the query parameter `name` of `url`; empty when absent.
inline std::string queryValue(const std::string& url, const std::string& name) {
    auto u = boost::urls::parse_uri_reference(url);
    if (!u)
        return {};
    auto it = u->params().find(name);
    return it == u->params().end() ? std::string() : std::string((*it).value);
}

} // namespace test_support
