#include "CorvaneAccount/Telemetry/TelemetryText.h"

#include <openssl/evp.h>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

namespace corvane::TelemetryText {

namespace {

using icu::UnicodeString;

// A set of ASCII characters, and what it holds beyond ASCII.
struct CharSet {
    enum class Beyond { nothing, decimalDigits, everything };
    std::uint64_t bits[2] = {0, 0};
    Beyond beyond = Beyond::nothing;

    static constexpr CharSet of(std::string_view chars) {
        CharSet set;
        for (char c : chars)
            set.bits[(c >> 6) & 1] |= std::uint64_t(1) << (c & 63);
        return set;
    }
    static constexpr CharSet span(char first, char last) {
        CharSet set;
        for (int c = first; c <= last; ++c)
            set.bits[c >> 6] |= std::uint64_t(1) << (c & 63);
        return set;
    }
    constexpr CharSet operator|(CharSet other) const {
        other.bits[0] |= bits[0];
        other.bits[1] |= bits[1];
        other.beyond = std::max(beyond, other.beyond);
        return other;
    }
    constexpr CharSet complement() const {
        CharSet set;
        set.bits[0] = ~bits[0];
        set.bits[1] = ~bits[1];
        set.beyond = Beyond::everything;
        return set;
    }
    constexpr CharSet plus(Beyond more) const {
        CharSet set = *this;
        set.beyond = more;
        return set;
    }
    bool contains(UChar32 c) const {
        if (c < 0x80)
            return (bits[c >> 6] >> (c & 63)) & 1;
        switch (beyond) {
        case Beyond::nothing:
            return false;
        case Beyond::decimalDigits:
            return u_charType(c) == U_DECIMAL_DIGIT_NUMBER;
        case Beyond::everything:
            return true;
        }
        return false;
    }
};

constexpr CharSet asciiDigits = CharSet::span('0', '9');
constexpr CharSet asciiAlnum = asciiDigits | CharSet::span('a', 'z') | CharSet::span('A', 'Z');
constexpr CharSet asciiHex = asciiDigits | CharSet::span('a', 'f') | CharSet::span('A', 'F');
// \d: a decimal digit of any script (general category Nd); among ASCII, 0 to 9.
constexpr CharSet decimalDigits = asciiDigits.plus(CharSet::Beyond::decimalDigits);

bool contains(std::u16string_view run, std::u16string_view part) {
    return run.find(part) != std::u16string_view::npos;
}

// The scrubbing rules, applied in this order, each replacing every match. ICU syntax,
// case-sensitive.
//
// A match consists only of characters in `scope`, so it lies inside one maximal run of such
// characters, and it holds whatever `qualifies` asks of such a run (a character it must contain,
// a least number of code points). Runs that do not qualify cannot hold a match and are not
// searched; the others are searched as regions with transparent bounds, so \b looks at the
// characters around them as it would in the whole text. The matches found are thus exactly those
// of a search through the whole text, at a fraction of its cost: that search tries a match at
// every position the pattern's first element accepts, and the e-mail rule, for one, runs from
// each letter to the end of its word before it fails. `scope` may hold more than the pattern
// accepts (that only makes runs longer), never less.
struct Rule {
    const char16_t* pattern;
    std::u16string_view token;
    CharSet scope;
    bool (*qualifies)(std::u16string_view run, int32_t codePoints);
};
constexpr std::array<Rule, 7> rules{{
    {uR"([a-zA-Z0-9._%+\-]+@[a-zA-Z0-9.\-]+\.[a-zA-Z]{2,})", u"<email>",
     asciiAlnum | CharSet::of("._%+-@"),
     [](std::u16string_view run, int32_t) { return contains(run, u"@"); }},
    {uR"(\d{4}-\d{2}-\d{2}[T ]\d{2}:\d{2}:\d{2}(?:\.\d+)?(?:Z|[+-]\d{2}:?\d{2})?)", u"<ts>",
     decimalDigits | CharSet::of("-T :.Z+"),
     [](std::u16string_view run, int32_t codePoints) {
         return codePoints >= 19 && contains(run, u"-") && contains(run, u":");
     }},
    {uR"([0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12})", u"<uuid>",
     asciiHex | CharSet::of("-"),
     [](std::u16string_view run, int32_t codePoints) {
         return codePoints >= 36 && contains(run, u"-");
     }},
    {uR"(ca_[0-9a-zA-Z-]+)", u"<ca_id>", asciiAlnum | CharSet::of("_-"),
     [](std::u16string_view run, int32_t) { return contains(run, u"ca_"); }},
    // Runs end only at characters the path's tail surely refuses: ASCII white space that every
    // reading of \s includes, and the listed punctuation.
    {uR"((?:[A-Za-z]:[\\\/]|\\\\|\/)[^\s,;\"'<>]+)", u"<path>",
     CharSet::of(" \t\n\r\f,;\"'<>").complement(),
     [](std::u16string_view run, int32_t) { return contains(run, u"/") || contains(run, u"\\"); }},
    {uR"(\b[0-9a-fA-F]{8,}\b)", u"<hex>", asciiHex,
     [](std::u16string_view, int32_t codePoints) { return codePoints >= 8; }},
    {uR"(\b\d{4,}\b)", u"<n>", decimalDigits,
     [](std::u16string_view, int32_t codePoints) { return codePoints >= 4; }},
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

// Every match of scrubbing rule `index` in `text` replaced by its token, written to `out`.
// Returns false, `out` then being unspecified, when nothing matched (or ICU failed: the rule then
// leaves the text as it is).
bool replaceInRuns(std::size_t index, const UnicodeString& text, UnicodeString& out) {
    const Rule& rule = rules[index];
    const char16_t* s = text.getBuffer();
    const int32_t n = text.length();
    icu::RegexMatcher* m = nullptr;
    UErrorCode status = U_ZERO_ERROR;
    bool matched = false;
    int32_t copied = 0; // `text` before this offset is in `out`
    int32_t begin = -1, codePoints = 0;
    for (int32_t i = 0; i <= n && U_SUCCESS(status);) {
        const int32_t at = i;
        bool member = false;
        if (i < n) {
            UChar32 c;
            U16_NEXT(s, i, n, c);
            member = rule.scope.contains(c);
        } else {
            ++i;
        }
        if (member) {
            if (begin < 0) {
                begin = at;
                codePoints = 0;
            }
            ++codePoints;
            continue;
        }
        if (begin < 0)
            continue;
        const int32_t runBegin = begin, runEnd = at;
        begin = -1;
        const std::u16string_view run(s + runBegin, std::size_t(runEnd - runBegin));
        if (!rule.qualifies(run, codePoints))
            continue;
        if (!m) {
            m = &matcher(index);
            m->reset(text);
            m->useTransparentBounds(true);
        }
        m->region(runBegin, runEnd, status);
        while (U_SUCCESS(status) && m->find(status)) {
            const int32_t start = m->start(status), stop = m->end(status);
            if (U_FAILURE(status))
                break;
            if (!matched)
                out.remove();
            matched = true;
            out.append(text, copied, start - copied)
                .append(rule.token.data(), int32_t(rule.token.size()));
            copied = stop;
        }
    }
    if (m)
        m->reset(UnicodeString()); // no reference to `text` stays behind in the thread's matcher
    if (!matched || U_FAILURE(status))
        return false;
    out.append(text, copied, n - copied);
    return true;
}

UnicodeString scrubbed(const UnicodeString& message) {
    UnicodeString text = message, next;
    for (std::size_t i = 0; i < rules.size(); ++i)
        if (replaceInRuns(i, text, next))
            text.swap(next);
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
    const char16_t* text = s.getBuffer();
    const int32_t n = s.length();
    UnicodeString out;
    int32_t wordStart = -1;
    for (int32_t i = 0; i <= n;) {
        const int32_t at = i;
        bool space = true;
        if (i < n) {
            UChar32 c;
            U16_NEXT(text, i, n, c);
            // Among ASCII, White_Space is U+0009 to U+000D and U+0020.
            space = c < 0x80 ? c == 0x20 || (c >= 0x09 && c <= 0x0d) : u_isUWhiteSpace(c);
        } else {
            ++i;
        }
        if (!space) {
            if (wordStart < 0)
                wordStart = at;
            continue;
        }
        if (wordStart < 0)
            continue;
        if (!out.isEmpty())
            out.append(char16_t(' '));
        out.append(s, wordStart, at - wordStart);
        wordStart = -1;
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
            replaceAll(i, sample, UnicodeString());
        (void)scrubbed(sample);
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
