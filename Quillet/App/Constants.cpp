#include "Quillet/App/Constants.h"

#include "Platform/Bundle.h"
#include "Platform/Host.h"

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

} // namespace

const std::string& Constants::Auth::authorityURL() {
    static const std::string url = checkedURL("https://auth.corvane.com");
    return url;
}

const std::string& Constants::Auth::identityURL() {
    static const std::string url = checkedURL("https://id.corvane.com");
    return url;
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
