#include "Platform/Desktop/Services/ValueJson.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace desktop {

namespace {

constexpr int maxDepth = 64;
constexpr const char* bytesKey = "$data";
constexpr const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const platform::Bytes& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += alphabet[n & 63];
    }
    if (i < bytes.size()) {
        unsigned n = bytes[i] << 16;
        if (i + 1 < bytes.size())
            n |= bytes[i + 1] << 8;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

platform::Bytes unbase64(const std::string& text) {
    if (text.size() % 4 != 0)
        throw std::invalid_argument("data value: base64 length is not a multiple of 4");
    auto decode = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    platform::Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0 || (v[k] = decode(c)) < 0)
                throw std::invalid_argument("data value: invalid base64");
        }
        unsigned n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        out.push_back(static_cast<std::uint8_t>(n >> 16));
        if (pad < 2)
            out.push_back(static_cast<std::uint8_t>(n >> 8));
        if (pad < 1)
            out.push_back(static_cast<std::uint8_t>(n));
    }
    return out;
}

platform::Value convert(const nlohmann::json& j, int depth) {
    if (depth > maxDepth)
        throw std::invalid_argument("value nested too deeply");
    switch (j.type()) {
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::discarded:
        return {};
    case nlohmann::json::value_t::boolean:
        return j.get<bool>();
    case nlohmann::json::value_t::number_integer:
        return j.get<std::int64_t>();
    case nlohmann::json::value_t::number_unsigned: {
        auto u = j.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX))
            return static_cast<double>(u);
        return static_cast<std::int64_t>(u);
    }
    case nlohmann::json::value_t::number_float:
        return j.get<double>();
    case nlohmann::json::value_t::string:
        return j.get<std::string>();
    case nlohmann::json::value_t::binary:
        return platform::Bytes(j.get_binary().begin(), j.get_binary().end());
    case nlohmann::json::value_t::array: {
        platform::Array a;
        a.reserve(j.size());
        for (auto& e : j)
            a.push_back(convert(e, depth + 1));
        return a;
    }
    case nlohmann::json::value_t::object: {
        if (j.size() == 1 && j.contains(bytesKey)) {
            auto& d = j.at(bytesKey);
            if (!d.is_string())
                throw std::invalid_argument("data value: not a string");
            return unbase64(d.get<std::string>());
        }
        // The object's keys come in sorted order, so each one goes at the end of the
        // dictionary's block: a large object costs linear time, not a shift per key.
        platform::Dictionary d;
        d.reserve(j.size());
        for (auto& [k, v] : j.items())
            d.emplace_hint(d.end(), k, convert(v, depth + 1));
        return d;
    }
    }
    return {};
}

nlohmann::json toJson(const platform::Value& v, int depth) {
    if (depth > maxDepth)
        throw std::invalid_argument("value nested too deeply");
    using T = platform::Value::Type;
    switch (v.type()) {
    case T::null:
        return nullptr;
    case T::boolean:
        return *v.asBool();
    case T::integer:
        return *v.asInteger();
    case T::real:
        return *v.asNumber();
    case T::string:
        return *v.asString();
    case T::bytes:
        return nlohmann::json{{bytesKey, base64(*v.asBytes())}};
    case T::array: {
        auto out = nlohmann::json::array();
        for (auto& e : *v.asArray())
            out.push_back(toJson(e, depth + 1));
        return out;
    }
    case T::dictionary: {
        auto out = nlohmann::json::object();
        for (auto& [k, e] : *v.asDictionary())
            out[k] = toJson(e, depth + 1);
        return out;
    }
    }
    return nullptr;
}

} // namespace

nlohmann::json jsonFromValue(const platform::Value& value) {
    return toJson(value, 0);
}

platform::Value valueFromJson(const nlohmann::json& json) {
    return convert(json, 0);
}

} // namespace desktop
