// What a DPoP-protected resource or token endpoint says about a refused proof (RFC 9449 §7.1,
// §8, §9): the `error` of the `DPoP` challenge in WWW-Authenticate, and the `DPoP-Nonce` header.
// Pure functions over outside input, bounded and never reading past their text.
#pragma once

#include "Platform/HttpSession.h"

#include <optional>
#include <string>
#include <string_view>

namespace corvane::DPoPChallenge {

// The `error` auth-param of the first `DPoP` challenge in one WWW-Authenticate field value
// (RFC 9110 §11.6.1: challenges and their parameters, comma-separated; quoted strings with
// backslash escapes). Nothing when there is no DPoP challenge or it carries no error.
std::optional<std::string> error(std::string_view wwwAuthenticate);
// The same across every WWW-Authenticate field of a response.
std::optional<std::string> error(const platform::HttpHeaders& headers);

// Whether a challenge error is about the proof rather than the session: the service refused
// the proof itself, or wants one with its nonce.
bool isProofError(const std::string& error);

// The response's `DPoP-Nonce` when it is a well-formed nonce (RFC 9449 §8.1: 1*NQCHAR, here at
// most 1024 characters); nothing otherwise.
std::optional<std::string> nonce(const platform::HttpHeaders& headers);

} // namespace corvane::DPoPChallenge
