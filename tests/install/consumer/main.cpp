// Uses a little of the installed account library: the version line it sends, and the PKCE
// S256 challenge of RFC 7636's Appendix B. Prints the version line; fails on a wrong challenge.
#include "CorvaneAccount/Foundation/Base64URL.h"
#include "CorvaneAccount/Foundation/CorvaneAccountLibrary.h"
#include "OIDC/TokenUtilities.h"

#include <cstdio>
#include <string>

int main() {
    const std::string challenge =
        oidc::TokenUtilities::codeChallengeS256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk");
    if (challenge != "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM") {
        std::fprintf(stderr, "wrong S256 challenge: %s\n", challenge.c_str());
        return 1;
    }
    const auto decoded = corvane::Base64URL::decode(challenge);
    if (!decoded || decoded->size() != 32) {
        std::fprintf(stderr, "the challenge is not 32 bytes of URL-safe Base64\n");
        return 1;
    }
    std::printf("%s\n", corvane::CorvaneAccountLibrary::versionLine("consumer").c_str());
    return 0;
}
