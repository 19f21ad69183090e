#include "CorvaneAccount/Transport/DPoPChallenge.h"

namespace corvane::DPoPChallenge {

namespace {

constexpr std::size_t maxNonceLength = 1024;

bool isTokenChar(char c) {
    // RFC 9110 §5.6.2 tchar.
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return platform::HttpHeaders::namesEqual(a, b);
}

class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const { return atEnd() ? '\0' : text_[pos_]; }
    void skipBlanks() {
        while (!atEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t'))
            ++pos_;
    }
    void skipSeparators() {
        while (!atEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == ','))
            ++pos_;
    }
    std::string_view token() {
        const std::size_t start = pos_;
        while (!atEnd() && isTokenChar(text_[pos_]))
            ++pos_;
        return text_.substr(start, pos_ - start);
    }
    // A token68's trailing "=" padding, when a bare credential follows a scheme.
    void skipPadding() {
        while (!atEnd() && text_[pos_] == '=')
            ++pos_;
    }
    // After "=": a quoted string (escapes resolved) or a token.
    std::string value() {
        skipBlanks();
        if (peek() != '"')
            return std::string(token());
        ++pos_;
        std::string out;
        while (!atEnd() && text_[pos_] != '"') {
            if (text_[pos_] == '\\' && pos_ + 1 < text_.size())
                ++pos_;
            out += text_[pos_++];
        }
        if (!atEnd())
            ++pos_;
        return out;
    }
    bool consume(char c) {
        if (peek() != c)
            return false;
        ++pos_;
        return true;
    }
    void skipOne() {
        if (!atEnd())
            ++pos_;
    }
    // The offset, to look ahead and come back.
    std::size_t mark() const { return pos_; }
    void reset(std::size_t mark) { pos_ = mark; }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

} // namespace

std::optional<std::string> error(std::string_view wwwAuthenticate) {
    Scanner s(wwwAuthenticate);
    bool inDPoP = false;
    while (true) {
        s.skipSeparators();
        if (s.atEnd())
            return std::nullopt;
        const std::string_view name = s.token();
        if (name.empty()) {
            // Not a token: skip the character, the parse goes on.
            s.skipOne();
            continue;
        }
        const std::size_t afterName = s.mark();
        s.skipBlanks();
        if (s.consume('=') && s.peek() != '=' && s.peek() != ',' && !s.atEnd()) {
            // name=value: a parameter of the current challenge.
            std::string value = s.value();
            if (inDPoP && equalsIgnoringCase(name, "error"))
                return value;
            continue;
        }
        // A new challenge's scheme, possibly followed by a token68 credential.
        s.reset(afterName);
        inDPoP = equalsIgnoringCase(name, "DPoP");
        s.skipBlanks();
        const std::size_t beforeCredential = s.mark();
        const std::string_view credential = s.token();
        s.skipBlanks();
        if (!credential.empty() && s.peek() == '=') {
            // The first parameter of this challenge, not a credential.
            s.reset(beforeCredential);
        } else {
            s.skipPadding();
        }
    }
}

std::optional<std::string> error(const platform::HttpHeaders& headers) {
    for (const auto& [name, value] : headers.fields())
        if (equalsIgnoringCase(name, "WWW-Authenticate"))
            if (auto e = error(std::string_view(value)))
                return e;
    return std::nullopt;
}

bool isProofError(const std::string& error) {
    return error == "invalid_dpop_proof" || error == "use_dpop_nonce";
}

std::optional<std::string> nonce(const platform::HttpHeaders& headers) {
    auto value = headers.value("DPoP-Nonce");
    if (!value || value->empty() || value->size() > maxNonceLength)
        return std::nullopt;
    // NQCHAR: %x21 / %x23-5B / %x5D-7E.
    for (char c : *value)
        if (c < 0x21 || c > 0x7e || c == '"' || c == '\\')
            return std::nullopt;
    return value;
}

} // namespace corvane::DPoPChallenge
