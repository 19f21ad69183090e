#include "CorvaneAccount/Foundation/CorvaneRedaction.h"

namespace corvane::CorvaneRedaction {

std::string endpoint(std::string_view path) {
    return std::string(path.substr(0, path.find_first_of("?#")));
}

Metadata decodeFailure(std::string_view path, const std::optional<std::string>& field) {
    Metadata m{{"endpoint", endpoint(path)}, {"class", "decode"}};
    if (field)
        m["field"] = *field;
    return m;
}

Metadata transportFailure(std::string_view path, const TransportErrorInfo& error) {
    Metadata m{{"endpoint", endpoint(path)},
               {"class", "transport"},
               {"error_domain", error.domain},
               {"error_code", std::to_string(error.code)}};
    if (error.urlErrorCode)
        m["url_error"] = std::to_string(*error.urlErrorCode);
    return m;
}

namespace {

// The code point at `i` and its length in bytes; nullopt for an invalid or overlong sequence.
std::optional<std::pair<char32_t, std::size_t>> decodeUTF8(std::string_view text, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80)
        return std::pair{char32_t(b0), std::size_t(1)};
    std::size_t length = b0 >= 0xF0 && b0 <= 0xF4 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC2 ? 2 : 0;
    if (b0 >= 0xF5 || length == 0 || i + length > text.size())
        return std::nullopt;
    char32_t cp = b0 & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80)
            return std::nullopt;
        cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return std::nullopt;
    return std::pair{cp, length};
}

bool isControlOrBidi(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x061C || cp == 0x200E ||
           cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

} // namespace

std::string logSafeText(std::string_view text, std::size_t limit) {
    std::string out;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < text.size() && kept < limit;) {
        auto decoded = decodeUTF8(text, i);
        if (!decoded) {
            ++i;
            continue;
        }
        auto [cp, length] = *decoded;
        if (!isControlOrBidi(cp)) {
            out.append(text.substr(i, length));
            ++kept;
        }
        i += length;
    }
    return out;
}

} // namespace corvane::CorvaneRedaction
