// Following redirects under RedirectPolicy::httpsOnly: which hops are allowed and what request
// each one makes. Shared by every URL session so that all of them follow the same rules.
// Pure functions; any thread.
#pragma once

#include "Platform/HttpSession.h"

#include <string_view>

namespace platform {

// The most redirects one httpsOnly request follows; the next one fails with
// URLError::httpTooManyRedirects.
inline constexpr int maxRedirects = 10;

// Whether `status` sends the client elsewhere with a Location field (RFC 9110 §15.4: 301, 302,
// 303, 307, 308).
bool isRedirectStatus(int status);

// Whether `url` is an absolute address that can be fetched without crossing a network in clear
// text: https to any host, or http to this machine's loopback interface (127.0.0.0/8, ::1,
// "localhost").
bool isSecureOrLoopbackURL(std::string_view url);

// The request that follows `request` after an answer with redirect `status` and `location`
// (resolved against the request's URL, RFC 9110 §10.2.2). The hop must go to an https address;
// plain http only from a loopback address to a loopback address. 303, and 301/302 after a POST,
// become a GET without body (RFC 9110 §15.4.2-4); 307 and 308 keep method and body. Credentials
// (Authorization, Cookie, DPoP) are not carried to another origin. Throws HttpTransportError:
// URLError::appTransportSecurityRequiresSecureConnection for a refused hop,
// URLError::badServerResponse for a location that is not a URL.
HttpRequest redirectedRequest(const HttpRequest& request, int status, std::string_view location);

} // namespace platform
