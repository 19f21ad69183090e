#include "CorvaneAccount/Foundation/CorvaneConfig.h"

#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "OIDC/ServiceConfiguration.h"

#include <utility>

namespace corvane {

CorvaneConfig::CorvaneConfig(boost::urls::url authorityURL, boost::urls::url identityURL,
                             std::string appSlug, std::string clientID, std::string clientVersion,
                             std::string libVersion, boost::urls::url redirectURI,
                             AuthScheme preferredScheme,
                             std::optional<std::string> keychainAccessGroup,
                             std::vector<std::string> scopes, platform::HttpSession* urlSession,
                             CorvaneLogger logger, std::optional<std::string> installID)
    : authorityURL(std::move(authorityURL)), identityURL(std::move(identityURL)),
      appSlug(std::move(appSlug)), clientID(std::move(clientID)),
      clientVersion(std::move(clientVersion)), libVersion(std::move(libVersion)),
      redirectURI(std::move(redirectURI)), preferredScheme(preferredScheme),
      keychainAccessGroup(std::move(keychainAccessGroup)), scopes(std::move(scopes)),
      urlSession(urlSession), logger(std::move(logger)), installID(std::move(installID)) {}

bool CorvaneConfig::isAcceptableServiceURL(boost::urls::url_view url) {
    return oidc::isAcceptableEndpoint(url);
}

void CorvaneConfig::validate() const {
    if (!isAcceptableServiceURL(identityURL))
        throw CorvaneError::authorizationFailed(insecureIdentityURL);
}

void CorvaneConfig::log(CorvaneLogLevel level, const std::string& messageKey,
                        const std::map<std::string, std::string>& metadata) const {
    if (logger)
        logger(level, messageKey, metadata);
}

} // namespace corvane
