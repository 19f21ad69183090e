// The library's configuration, filled in once by the host application. A plain value; the
// logger may be called from any thread.
#pragma once

#include "CorvaneAccount/Foundation/AuthScheme.h"
#include "CorvaneAccount/Foundation/CorvaneLog.h"

#include <boost/url/url.hpp>
#include <boost/url/url_view.hpp>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class HttpSession;
}

namespace corvane {

struct CorvaneConfig {
    // Every field is given; none has a default.
    CorvaneConfig(boost::urls::url authorityURL, boost::urls::url identityURL, std::string appSlug,
                  std::string clientID, std::string clientVersion, std::string libVersion,
                  boost::urls::url redirectURI, AuthScheme preferredScheme,
                  std::optional<std::string> keychainAccessGroup, std::vector<std::string> scopes,
                  platform::HttpSession* urlSession, CorvaneLogger logger,
                  std::optional<std::string> installID);

    // The OAuth authority (issuer) whose discovery document the sign-in loads.
    boost::urls::url authorityURL;
    // Base URL of the identity service; every API path is resolved against it.
    boost::urls::url identityURL;
    // The application's identifier at the identity service; part of the Keychain service name.
    std::string appSlug;
    std::string clientID;
    // The host application's version (Corvane-Client-Version, user agent, request bodies).
    std::string clientVersion;
    // Sent in Corvane-Lib-Version; hosts pass CorvaneAccountLibrary::libVersion.
    std::string libVersion;
    // The OAuth redirect URI registered for the application.
    boost::urls::url redirectURI;
    AuthScheme preferredScheme;
    // Keychain access group of the session items.
    std::optional<std::string> keychainAccessGroup;
    std::vector<std::string> scopes;
    // Every HTTP request goes through this session; not owned, outlives the library.
    platform::HttpSession* urlSession;
    // Receives every log line of the library; empty means none.
    CorvaneLogger logger;
    // Sent as install_id; when absent the facade fills it in.
    std::optional<std::string> installID;

    // Whether a service URL may carry codes, verifiers, tokens and proofs: absolute https, or
    // plain http only to a loopback address (RFC 8252 §8.3), without a fragment; the rule the
    // authority is held to at discovery.
    static bool isAcceptableServiceURL(boost::urls::url_view url);
    // Throws CorvaneError (authorizationFailed with insecureIdentityURL) when the identity URL
    // is not acceptable: the library refuses such a configuration.
    void validate() const;
    static constexpr const char* insecureIdentityURL =
        "the identity URL must use https (plain http only to a loopback address)";

    // Hands a line to the logger, when there is one.
    void log(CorvaneLogLevel level, const std::string& messageKey,
             const std::map<std::string, std::string>& metadata = {}) const;
};

} // namespace corvane
