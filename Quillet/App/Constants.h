// Fixed values of the application: the identity service's addresses, the redirect URI, the
// privacy and terms pages, and the running version.
#pragma once

#include <string>

namespace quillet {

struct Constants {
    struct Auth {
        // The OAuth authority, the identity service and the OAuth client id: the bundle's
        // "CorvaneAuthorityURL", "CorvaneIdentityURL" and "CorvaneClientID" when present, else
        // the production values. For development the environment variables
        // QUILLET_AUTHORITY_URL, QUILLET_IDENTITY_URL and QUILLET_CLIENT_ID win over both. A
        // value that is not an absolute URL is ignored (with an error line).
        static std::string authorityURL();
        static std::string identityURL();
        static std::string clientID();
        static const std::string& redirectURI();
        static const std::string& privacyURL();
        static const std::string& termsURL();
    };
    // "CFBundleShortVersionString" of the main bundle; "0.3.1" when absent or not a string.
    static std::string version();
    // The reverse-DNS subsystem of every logger of the application.
    static constexpr const char* logSubsystem = "com.corvane.quillet";
    static constexpr const char* productName = "Quillet";
};

} // namespace quillet
