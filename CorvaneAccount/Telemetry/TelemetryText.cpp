#include "CorvaneAccount/Telemetry/TelemetryText.h"

#include <openssl/evp.h>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <array>
#include <memory>

namespace corvane::TelemetryText {

namespace {

using icu::UnicodeString;

// The scrubbing rules, applied in this order, each replacing every match. ICU syntax,
// case-sensitive.
struct Rule {
    const char16_t* pattern;
    const char16_t* token;
};
constexpr std::array<Rule, 7> rules{{
    {uR"([a-zA-Z0-9._%+\-]+@[a-zA-Z0-9.\-]+\.[a-zA-Z]{2,})", u"<email>"},
    {uR"(\d{4}-\d{2}-\d{2}[T ]\d{2}:\d{2}:\d{2}(?:\.\d+)?(?:Z|[+-]\d{2}:?\d{2})?)", u"<ts>"},
    {uR"([0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12})", u"<uuid>"},
    {uR"(ca_[0-9a-zA-Z-]+)", u"<ca_id>"},
    {uR"((?:[A-Za-z]:[\\\/]|\\\\|\/)[^\s,;\"'<>]+)", u"<path>"},
    {uR"(\b[0-9a-fA-F]{8,}\b)", u"<hex>"},
    {uR"(\b\d{4,}\b)", u"<n>"},
}};

// Frame cleaning: an arrow with what follows it, then the outermost parentheses.
constexpr std::array<const char16_t*, 2> frameRules{{uR"(\s*->.+)", uR"(\(.*\))"}};

constexpr std::size_t ruleCount = rules.size() + frameRules.size();

// Compiled once for the process; a compiled pattern is immutable and shared by all threads.
const std::array<std::unique_ptr<icu::RegexPattern>, ruleCount>& patterns() {
    static const auto compiled = [] {
        std::array<std::unique_ptr<icu::RegexPattern>, ruleCount> out;
        for (std::size_t i = 0; i < ruleCount; ++i) {
            const char16_t* text =
                i < rules.size() ? rules[i].pattern : frameRules[i - rules.size()];
            UErrorCode status = U_ZERO_ERROR;
            UParseError where{};
            out[i].reset(icu::RegexPattern::compile(UnicodeString(text), 0, where, status));
            if (U_FAILURE(status) || !out[i])
                std::abort(); // the patterns are constants: a failure is a build fault
        }
        return out;
    }();
    return compiled;
}

// A matcher is stateful: each thread keeps its own, reset onto each input.
icu::RegexMatcher& matcher(std::size_t rule) {
    thread_local std::array<std::unique_ptr<icu::RegexMatcher>, ruleCount> matchers;
    auto& m = matchers[rule];
    if (!m) {
        UErrorCode status = U_ZERO_ERROR;
        m.reset(patterns()[rule]->matcher(status));
        if (U_FAILURE(status) || !m)
            std::abort();
    }
    return *m;
}

UnicodeString replaceAll(std::size_t rule, const UnicodeString& input, const UnicodeString& token) {
    auto& m = matcher(rule);
    m.reset(input);
    UErrorCode status = U_ZERO_ERROR;
    UnicodeString out = m.replaceAll(token, status);
    // Leave no reference to `input` behind in the thread's matcher.
    m.reset(UnicodeString());
    return U_FAILURE(status) ? input : out;
}

// Quick refusals: a rule whose required character is absent cannot match, so its (costly)
// scan is skipped. Each test names a character every match of the rule must contain.
bool mayMatch(std::size_t rule, const UnicodeString& s) {
    switch (rule) {
    case 0:
        return s.indexOf(char16_t('@')) >= 0;
    case 1:
        return s.indexOf(char16_t(':')) >= 0 && s.indexOf(char16_t('-')) >= 0;
    case 2:
        return s.indexOf(char16_t('-')) >= 0;
    case 3:
        return s.indexOf(u"ca_", 3, 0) >= 0;
    case 4:
        return s.indexOf(char16_t('/')) >= 0 || s.indexOf(char16_t('\\')) >= 0;
    default:
        return true;
    }
}

UnicodeString scrubbed(const UnicodeString& message) {
    UnicodeString text = message;
    for (std::size_t i = 0; i < rules.size(); ++i)
        if (mayMatch(i, text))
            text = replaceAll(i, text, UnicodeString(rules[i].token));
    return text;
}

std::string utf8(const UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}

UnicodeString fromUTF8(std::string_view text) {
    return UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

UnicodeString lower(const UnicodeString& s) {
    UnicodeString copy = s;
    copy.toLower(icu::Locale::getRoot());
    return copy;
}

// Splits at every run of white space (the Unicode White_Space property, line breaks included),
// drops empty pieces and joins the rest with single spaces.
UnicodeString collapseWhiteSpace(const UnicodeString& s) {
    UnicodeString out;
    bool pendingSpace = false;
    for (int32_t i = 0; i < s.length();) {
        UChar32 c = s.char32At(i);
        i += U16_LENGTH(c);
        if (u_isUWhiteSpace(c)) {
            pendingSpace = !out.isEmpty();
            continue;
        }
        if (pendingSpace)
            out.append(char16_t(' '));
        pendingSpace = false;
        out.append(c);
    }
    return out;
}

// Spaces and tabs: the space separators and U+0009.
bool isSpaceOrTab(UChar32 c) {
    return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR;
}

UnicodeString trimSpaces(const UnicodeString& s) {
    int32_t start = 0, end = s.length();
    while (start < end && isSpaceOrTab(s.char32At(start)))
        start += U16_LENGTH(s.char32At(start));
    while (end > start) {
        int32_t last = s.moveIndex32(end, -1);
        if (!isSpaceOrTab(s.char32At(last)))
            break;
        end = last;
    }
    return UnicodeString(s, start, end - start);
}

const icu::BreakIterator& characterPrototype() {
    static const std::unique_ptr<icu::BreakIterator> prototype = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> b(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !b)
            std::abort();
        return b;
    }();
    return *prototype;
}

icu::BreakIterator& characters() {
    thread_local std::unique_ptr<icu::BreakIterator> it = [] {
        std::unique_ptr<icu::BreakIterator> b(characterPrototype().clone());
        if (!b)
            std::abort();
        return b;
    }();
    return *it;
}

// The UTF-16 offset after the first `count` grapheme clusters of `s` (its length when shorter),
// and how many clusters that is.
std::pair<int32_t, std::size_t> clusterEnd(const UnicodeString& s, std::size_t count) {
    if (count == 0 || s.isEmpty())
        return {0, 0};
    auto& it = characters();
    it.setText(s);
    std::size_t seen = 0;
    int32_t position = it.first();
    while (seen < count) {
        int32_t next = it.next();
        if (next == icu::BreakIterator::DONE)
            break;
        position = next;
        ++seen;
    }
    it.setText(UnicodeString());
    return {position, seen};
}

// ICU loads its data (rules, case mappings, character properties) lazily, behind its own
// once-flags. All of that first use happens here, once, under the C++ static initialisation
// guard, before any thread works with the loaded data.
void ensureLoaded() {
    static const bool loaded = [] {
        patterns();
        characterPrototype();
        UnicodeString sample(u"A a@b.cd 2024-01-02T03:04:05Z /p \u0661\u0662\u0663\u0664 \u00e9");
        for (std::size_t i = 0; i < rules.size(); ++i)
            replaceAll(i, sample, UnicodeString(rules[i].token));
        (void)lower(sample);
        (void)u_isUWhiteSpace(0x3000);
        (void)u_charType(0x3000);
        return true;
    }();
    (void)loaded;
}

} // namespace

std::string scrub(std::string_view message) {
    ensureLoaded();
    return utf8(scrubbed(fromUTF8(message)));
}

std::string normalizeMessage(std::string_view message,
                             const std::optional<std::string>& exceptionType) {
    ensureLoaded();
    const UnicodeString input = fromUTF8(message);
    const UnicodeString templ = collapseWhiteSpace(lower(scrubbed(input)));
    if (clusterEnd(templ, 8).second >= 8)
        return utf8(templ);
    if (!exceptionType || exceptionType->empty())
        return templ.isEmpty() ? utf8(lower(input)) : utf8(templ);
    UnicodeString padded = templ;
    padded.append(char16_t(' ')).append(fromUTF8(*exceptionType));
    return utf8(trimSpaces(padded));
}

std::string cleanFrame(std::string_view frame) {
    ensureLoaded();
    UnicodeString text = fromUTF8(frame);
    for (std::size_t i = 0; i < frameRules.size(); ++i)
        text = replaceAll(rules.size() + i, text, UnicodeString());
    return utf8(lower(trimSpaces(text)));
}

std::string frameDigest(const std::vector<std::string>& frames) {
    std::string joined;
    for (std::size_t i = 0; i < frames.size() && i < 3; ++i) {
        if (i > 0)
            joined += '|';
        joined += cleanFrame(frames[i]);
    }
    return sha256Hex(joined, 12);
}

std::string lowercased(std::string_view text) {
    ensureLoaded();
    return utf8(lower(fromUTF8(text)));
}

std::string prefixCharacters(std::string_view text, std::size_t count) {
    ensureLoaded();
    const UnicodeString s = fromUTF8(text);
    auto [end, seen] = clusterEnd(s, count);
    if (end >= s.length())
        return utf8(s);
    return utf8(UnicodeString(s, 0, end));
}

std::size_t characterCount(std::string_view text, std::size_t limit) {
    ensureLoaded();
    return clusterEnd(fromUTF8(text), limit).second;
}

std::string sha256Hex(std::string_view text, std::size_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        size = 0; // cannot happen with the built-in digest; yields the empty string
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (unsigned int i = 0; i < size; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 0x0f];
    }
    return out.substr(0, length);
}

} // namespace corvane::TelemetryText
