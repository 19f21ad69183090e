#include "Platform/HttpSession.h"

#include "Platform/Host.h"

#include <algorithm>
#include <cctype>

namespace platform {

std::string URLError::localizedDescription(int code) {
    switch (code) {
    case cancelled:
        return "cancelled";
    case badURL:
        return "unsupported URL";
    case timedOut:
        return "The request timed out.";
    case unsupportedURL:
        return "unsupported URL";
    case cannotFindHost:
        return "A server with the specified hostname could not be found.";
    case cannotConnectToHost:
        return "Could not connect to the server.";
    case networkConnectionLost:
        return "The network connection was lost.";
    case httpTooManyRedirects:
        return "too many HTTP redirects";
    case notConnectedToInternet:
        return "The Internet connection appears to be offline.";
    case appTransportSecurityRequiresSecureConnection:
        return "The resource could not be loaded because the App Transport Security policy "
               "requires the use of a secure connection.";
    case badServerResponse:
        return "bad server response";
    case dataLengthExceedsMaximum:
        return "resource exceeds maximum size";
    case secureConnectionFailed:
        return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case serverCertificateUntrusted:
        return "The certificate for this server is invalid.";
    default:
        return "An unknown error occurred.";
    }
}

// --- HttpHeaders ---

HttpHeaders::HttpHeaders(std::initializer_list<Field> fields) : fields_(fields) {}

bool HttpHeaders::namesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::optional<std::string> HttpHeaders::value(std::string_view name) const {
    for (const auto& [n, v] : fields_)
        if (namesEqual(n, name))
            return v;
    return std::nullopt;
}

void HttpHeaders::set(std::string name, std::string value) {
    auto first = std::find_if(fields_.begin(), fields_.end(),
                              [&](const Field& f) { return namesEqual(f.first, name); });
    if (first == fields_.end()) {
        fields_.emplace_back(std::move(name), std::move(value));
        return;
    }
    first->first = name;
    first->second = std::move(value);
    const std::string kept = std::move(name);
    std::size_t keptIndex = static_cast<std::size_t>(first - fields_.begin());
    std::vector<Field> out;
    out.reserve(fields_.size());
    for (std::size_t i = 0; i < fields_.size(); ++i)
        if (i == keptIndex || !namesEqual(fields_[i].first, kept))
            out.push_back(std::move(fields_[i]));
    fields_ = std::move(out);
}

void HttpHeaders::add(std::string name, std::string value) {
    fields_.emplace_back(std::move(name), std::move(value));
}

void HttpHeaders::remove(std::string_view name) {
    std::erase_if(fields_, [&](const Field& f) { return namesEqual(f.first, name); });
}

// --- HttpTransportError ---

HttpTransportError::HttpTransportError(std::string domain, long code,
                                       std::optional<int> urlErrorCode,
                                       const std::string& description)
    : std::runtime_error(description), domain_(std::move(domain)), code_(code),
      urlErrorCode_(urlErrorCode) {}

HttpTransportError HttpTransportError::urlError(int code) {
    return HttpTransportError(std::string(URLError::domain), code, code,
                              URLError::localizedDescription(code));
}

HttpSession& httpSession() {
    return host().httpSession();
}

} // namespace platform
