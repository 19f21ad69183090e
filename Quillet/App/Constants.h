// Fixed values of the application: the identity service's addresses, the redirect URI, the
// privacy and terms pages, and the running version.
#pragma once

#include <string>

namespace quillet {

struct Constants {
    struct Auth {
        static const std::string& authorityURL();
        static const std::string& identityURL();
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
