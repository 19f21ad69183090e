#include "Quillet/App/Constants.h"

#include "CorvaneAccount/Foundation/CorvaneConfig.h"
#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Quillet/App/Log.h"

#include <boost/url/parse.hpp>
#include <cstdio>
#include <cstdlib>

namespace quillet {

namespace {

// Built once from a literal; a literal that does not parse is a programming error.
std::string checkedURL(const char* literal) {
    auto parsed = boost::urls::parse_absolute_uri(literal);
    if (!parsed) {
        std::fprintf(stderr, "Constants: malformed URL literal %s\n", literal);
        std::abort();
    }
    return std::string(parsed->buffer());
}

// The environment's value, else the bundle's, else `fallback`. URLs must be absolute, and a
// service URL https (plain http only to a loopback address): the library refuses others.
enum class Kind { text, serviceURL };
std::string configured(const char* environmentName, const char* infoKey,
                       const std::string& fallback, Kind kind) {
    const auto& h = platform::host();
    auto acceptable = [&](const std::string& value, const char* source) {
        if (value.empty())
            return false;
        auto parsed = boost::urls::parse_absolute_uri(value);
        if (kind == Kind::serviceURL &&
            (!parsed || !corvane::CorvaneConfig::isAcceptableServiceURL(*parsed))) {
            Log("account").error(std::string("config_value_ignored key=") + source);
            return false;
        }
        return true;
    };
    const auto& env = h.processInfo().environment;
    if (auto it = env.find(environmentName);
        it != env.end() && acceptable(it->second, environmentName))
        return it->second;
    if (const auto* v = h.mainBundle().objectForInfoDictionaryKey(infoKey))
        if (const auto* s = v->asString(); s && acceptable(*s, infoKey))
            return *s;
    return fallback;
}

} // namespace

std::string Constants::Auth::authorityURL() {
    static const std::string url = checkedURL("https://auth.corvane.com");
    return configured("QUILLET_AUTHORITY_URL", "CorvaneAuthorityURL", url, Kind::serviceURL);
}

std::string Constants::Auth::identityURL() {
    static const std::string url = checkedURL("https://id.corvane.com");
    return configured("QUILLET_IDENTITY_URL", "CorvaneIdentityURL", url, Kind::serviceURL);
}

std::string Constants::Auth::clientID() {
    return configured("QUILLET_CLIENT_ID", "CorvaneClientID", "quillet", Kind::text);
}

const std::string& Constants::Auth::redirectURI() {
    static const std::string url = checkedURL("quillet://auth/callback");
    return url;
}

const std::string& Constants::Auth::privacyURL() {
    static const std::string url = checkedURL("https://corvane.com/privacy/quillet");
    return url;
}

const std::string& Constants::Auth::termsURL() {
    static const std::string url = checkedURL("https://corvane.com/terms/quillet");
    return url;
}

std::string Constants::version() {
    if (const auto* v =
            platform::host().mainBundle().objectForInfoDictionaryKey("CFBundleShortVersionString"))
        if (const auto* s = v->asString())
            return *s;
    return "0.3.1";
}

} // namespace quillet
