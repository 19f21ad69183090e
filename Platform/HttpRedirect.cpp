#include "Platform/HttpRedirect.h"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <optional>
#include <string>

namespace platform {

namespace urls = boost::urls;

namespace {

bool isLoopback(const urls::url_view_base& url) {
    switch (url.host_type()) {
    case urls::host_type::ipv4:
        return url.host_ipv4_address().is_loopback();
    case urls::host_type::ipv6:
        return url.host_ipv6_address().is_loopback();
    case urls::host_type::name:
        return HttpHeaders::namesEqual(url.encoded_host(), "localhost");
    default:
        return false;
    }
}

// A host, and a path that begins where the authority ends: Boost.URL 1.81 reads
// "http://127.0.0.1.nip.io/" as host 127.0.0.1 with the path ".nip.io/", which RFC 3986 §3.3
// does not allow (after an authority the path is empty or begins with "/").
bool hasHost(const urls::url_view_base& url) {
    const auto path = url.encoded_path();
    return url.has_authority() && !url.encoded_host().empty() &&
           (path.empty() || path.front() == '/');
}

bool isWebScheme(const urls::url_view_base& url) {
    return url.scheme_id() == urls::scheme::https || url.scheme_id() == urls::scheme::http;
}

bool isSecureOrLoopback(const urls::url_view_base& url) {
    if (!hasHost(url))
        return false;
    if (url.scheme_id() == urls::scheme::https)
        return true;
    return url.scheme_id() == urls::scheme::http && isLoopback(url);
}

// Scheme, host and port, the port spelled out when it is the scheme's default.
bool sameOrigin(const urls::url_view_base& a, const urls::url_view_base& b) {
    auto port = [](const urls::url_view_base& u) -> std::uint16_t {
        if (u.has_port())
            return u.port_number();
        return u.scheme_id() == urls::scheme::https ? 443 : 80;
    };
    return a.scheme_id() == b.scheme_id() &&
           HttpHeaders::namesEqual(a.encoded_host(), b.encoded_host()) && port(a) == port(b);
}

HttpTransportError refused() {
    return HttpTransportError(
        std::string(URLError::domain), URLError::appTransportSecurityRequiresSecureConnection,
        URLError::appTransportSecurityRequiresSecureConnection,
        "The server redirected the request to an address that does not use HTTPS; the redirect "
        "was not followed.");
}

HttpTransportError unreadable() {
    return HttpTransportError(std::string(URLError::domain), URLError::badServerResponse,
                              URLError::badServerResponse,
                              "The server redirected the request to an address that is not a "
                              "valid URL.");
}

} // namespace

bool isRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool isSecureOrLoopbackURL(std::string_view url) {
    auto parsed = urls::parse_absolute_uri(url);
    return parsed && isSecureOrLoopback(*parsed);
}

HttpRequest redirectedRequest(const HttpRequest& request, int status, std::string_view location) {
    auto base = urls::parse_uri(request.url);
    auto reference = urls::parse_uri_reference(location);
    if (!base || !reference)
        throw unreadable();
    urls::url target;
    if (!urls::resolve(*base, *reference, target))
        throw unreadable();
    if (!isWebScheme(target))
        throw refused();
    if (!hasHost(target) || !hasHost(*base))
        throw unreadable();
    // Fragments are never sent (RFC 9110 §4.2.4).
    target.remove_fragment();

    // Every hop is judged on its own: https, or clear text that never leaves this machine.
    const bool secure = target.scheme_id() == urls::scheme::https;
    const bool local = target.scheme_id() == urls::scheme::http && isLoopback(target) &&
                       base->scheme_id() == urls::scheme::http && isLoopback(*base);
    if (!secure && !local)
        throw refused();

    HttpRequest next = request;
    next.url = std::string(target.buffer());
    const bool post = HttpHeaders::namesEqual(request.method, "POST");
    if ((status == 303 && request.method != "HEAD") || ((status == 301 || status == 302) && post)) {
        next.method = "GET";
        next.body.clear();
        next.headers.remove("Content-Type");
        next.headers.remove("Content-Length");
    }
    if (!sameOrigin(*base, target)) {
        next.headers.remove("Authorization");
        next.headers.remove("Cookie");
        next.headers.remove("DPoP");
    }
    return next;
}

} // namespace platform
