#include "CorvaneAccount/Telemetry/GeoProbeClient.h"

#include "Platform/Host.h"
#include "Platform/UserDefaults.h"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>
#include <nlohmann/json.hpp>

namespace corvane {

std::string appendingPathComponent(const std::string& base, std::string_view component) {
    auto parsed = boost::urls::parse_uri_reference(base);
    if (!parsed) {
        std::string out = base;
        if (out.empty() || out.back() != '/')
            out += '/';
        return out.append(component);
    }
    boost::urls::url url(*parsed);
    std::string path(url.encoded_path());
    if (path.empty() || path.back() != '/')
        path += '/';
    path.append(component);
    url.set_encoded_path(path);
    url.remove_query();
    url.remove_fragment();
    return std::string(url.buffer());
}

namespace GeoProbeClient {

std::optional<bool> cachedIsEU() {
    auto value = platform::host().userDefaults().object(std::string(userDefaultsKey));
    return value ? value->asBool() : std::nullopt;
}

platform::HttpRequest probeRequest(const std::string& identityURL) {
    platform::HttpRequest request;
    request.method = "GET";
    request.url = appendingPathComponent(identityURL, "api/geo");
    request.timeout = 60;
    return request;
}

std::optional<GeoResponse> decodeResponse(std::string_view body) {
    auto j = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!j.is_object())
        return std::nullopt;
    auto eu = j.find("eu");
    if (eu == j.end() || !eu->is_boolean())
        return std::nullopt;
    return GeoResponse{eu->get<bool>()};
}

boost::asio::awaitable<bool> probe(platform::HttpSession& session, std::string identityURL) {
    // Send once; every failure counts as "not in the EU" and leaves the cache alone.
    platform::HttpResult result;
    try {
        result = co_await session.send(probeRequest(identityURL));
    } catch (...) {
        co_return false;
    }
    auto answer = decodeResponse(
        std::string_view(reinterpret_cast<const char*>(result.data.data()), result.data.size()));
    if (!answer)
        co_return false;
    platform::host().userDefaults().set(std::string(userDefaultsKey),
                                        platform::Value(answer->isEU));
    co_return answer->isEU;
}

} // namespace GeoProbeClient

} // namespace corvane
