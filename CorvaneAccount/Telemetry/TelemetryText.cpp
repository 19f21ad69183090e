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
#include <stdexcept>
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

// `part` (lower-case ASCII) occurs in `run` in any ASCII case.
bool containsCaseless(std::u16string_view run, std::u16string_view part) {
    if (part.size() > run.size())
        return false;
    for (std::size_t i = 0; i + part.size() <= run.size(); ++i) {
        std::size_t j = 0;
        while (j < part.size()) {
            char16_t c = run[i + j];
            if (c >= u'A' && c <= u'Z')
                c = char16_t(c - u'A' + u'a');
            if (c != part[j])
                break;
            ++j;
        }
        if (j == part.size())
            return true;
    }
    return false;
}

// --- e-mail addresses, matched by a scanner of linear cost ---
//
// The e-mail rules have the shape  local+ "@" domain+ "\." tld{2,}  where tld ⊂ domain ⊂ local
// and neither "@" nor the characters around it belong to tld. A backtracking engine tries a match
// at every position of a word and runs each try to the word's end, which costs time quadratic in
// the word's length. The scanner decides the same matches with a bounded number of looks at each
// character:
// - local+ takes all of the local characters up to the end of their run, so a try succeeds only
//   where that run is followed by "@", and then tries starting anywhere in the run all find the
//   same domain part: the leftmost one (the run's first character, or the search position) wins,
//   or none of them does.
// - domain+ greedy, then "\." and two tld characters: the match ends at the last "." of the
//   domain run that is followed by two tld characters, after the tld run that follows it.
struct MailClasses {
    bool (*local)(UChar32);
    bool (*domain)(UChar32);
    bool (*tld)(UChar32);
    // An address glued to a letter, mark or digit beyond ASCII is left whole to the later rule
    // that knows letters of every script, unless it starts where the previous match ended.
    bool leaveGluedToForeignLetters;
};

bool isAsciiAlnum(UChar32 c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiLetter(UChar32 c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
// Letters and marks of any script (\p{L}, \p{M}), and decimal digits (\p{Nd}).
bool isLetterOrMark(UChar32 c) {
    return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK)) != 0;
}
bool isWordLetter(UChar32 c) {
    return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_ND_MASK)) != 0;
}

constexpr MailClasses asciiMail{
    [](UChar32 c) {
        return isAsciiAlnum(c) || c == '.' || c == '_' || c == '%' || c == '+' || c == '-';
    },
    [](UChar32 c) { return isAsciiAlnum(c) || c == '.' || c == '-'; }, isAsciiLetter, true};

constexpr MailClasses unicodeMail{
    [](UChar32 c) {
        return isWordLetter(c) || c == '.' || c == '_' || c == '%' || c == '+' || c == '-';
    },
    [](UChar32 c) { return isWordLetter(c) || c == '.' || c == '-'; }, isLetterOrMark, false};

// Every address in `text` replaced by `token`, written to `out`; false when there was none.
bool replaceMail(const MailClasses& classes, const UnicodeString& text, std::u16string_view token,
                 UnicodeString& out) {
    const char16_t* s = text.getBuffer();
    const int32_t n = text.length();
    if (text.indexOf(char16_t('@')) < 0)
        return false;
    auto at = [&](int32_t i) {
        UChar32 c;
        U16_GET(s, 0, i, n, c);
        return c;
    };
    bool matched = false;
    int32_t copied = 0, lastEnd = 0, pos = 0;
    while (pos < n) {
        // The next run of local characters, and what follows it.
        if (!classes.local(at(pos))) {
            U16_FWD_1(s, pos, n);
            continue;
        }
        const int32_t runStart = pos;
        while (pos < n && classes.local(at(pos)))
            U16_FWD_1(s, pos, n);
        if (pos >= n || s[pos] != u'@')
            continue;
        const int32_t atSign = pos;
        pos = atSign + 1; // where the search goes on if no address starts in this run
        if (classes.leaveGluedToForeignLetters && runStart != lastEnd && runStart > 0) {
            int32_t before = runStart;
            UChar32 c;
            U16_PREV(s, 0, before, c);
            if (isWordLetter(c))
                continue;
        }
        // The last "." of the domain run followed by two tld characters.
        int32_t dot = -1;
        for (int32_t i = atSign + 1; i < n;) {
            const UChar32 c = at(i);
            if (!classes.domain(c))
                break;
            const int32_t here = i;
            U16_FWD_1(s, i, n);
            if (c != '.' || here == atSign + 1 || i >= n || !classes.tld(at(i)))
                continue;
            int32_t second = i;
            U16_FWD_1(s, second, n);
            if (second < n && classes.tld(at(second)))
                dot = here;
        }
        if (dot < 0)
            continue;
        int32_t end = dot + 1;
        while (end < n && classes.tld(at(end)))
            U16_FWD_1(s, end, n);
        if (!matched)
            out.remove();
        matched = true;
        out.append(text, copied, runStart - copied).append(token.data(), int32_t(token.size()));
        copied = lastEnd = pos = end;
    }
    if (matched)
        out.append(text, copied, n - copied);
    return matched;
}

bool replaceAsciiMail(const UnicodeString& text, std::u16string_view token, UnicodeString& out) {
    return replaceMail(asciiMail, text, token, out);
}
bool replaceUnicodeMail(const UnicodeString& text, std::u16string_view token, UnicodeString& out) {
    return replaceMail(unicodeMail, text, token, out);
}

// The scrubbing rules, applied in this order, each replacing every match. ICU syntax,
// case-sensitive. The two e-mail rules are matched by the scanner above: their meaning is that of
// the ICU patterns given beside them (proven by the differential tests).
//
// A match of the other rules consists only of characters in `scope`, so it lies inside one
// maximal run of such characters, and it holds whatever `qualifies` asks of such a run (a
// character it must contain, a least number of code points). Runs that do not qualify cannot hold
// a match and are not searched; the others are searched as regions with transparent bounds, so
// \b and look-arounds see the characters around them as they would in the whole text. The
// matches found are thus exactly those of a search through the whole text, at a fraction of its
// cost. `scope` may hold more than the pattern accepts (that only makes runs longer), never less.
// Each of these patterns fails a try within a bounded number of characters, or is anchored by a
// look-behind to the start of a run, so its search costs time linear in the text.
struct Rule {
    const char16_t* pattern; // null: matched by `scan`
    std::u16string_view token;
    CharSet scope;
    bool (*qualifies)(std::u16string_view run, int32_t codePoints);
    bool (*scan)(const UnicodeString& text, std::u16string_view token, UnicodeString& out);
};
constexpr CharSet everything = CharSet().complement();
constexpr std::array<Rule, 12> rules{{
    // (?:\G|(?<![a-zA-Z0-9._%+\-\p{L}\p{M}\p{Nd}]))[a-zA-Z0-9._%+\-]+@[a-zA-Z0-9.\-]+\.[a-zA-Z]{2,}
    {nullptr, u"<email>", everything, nullptr, replaceAsciiMail},
    {uR"(\d{4}-\d{2}-\d{2}[T ]\d{2}:\d{2}:\d{2}(?:\.\d+)?(?:Z|[+-]\d{2}:?\d{2})?)", u"<ts>",
     decimalDigits | CharSet::of("-T :.Z+"),
     [](std::u16string_view run, int32_t codePoints) {
         return codePoints >= 19 && contains(run, u"-") && contains(run, u":");
     },
     nullptr},
    {uR"([0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12})", u"<uuid>",
     asciiHex | CharSet::of("-"),
     [](std::u16string_view run, int32_t codePoints) {
         return codePoints >= 36 && contains(run, u"-");
     },
     nullptr},
    {uR"(ca_[0-9a-zA-Z-]+)", u"<ca_id>", asciiAlnum | CharSet::of("_-"),
     [](std::u16string_view run, int32_t) { return contains(run, u"ca_"); }, nullptr},
    // Runs end only at characters the path's tail surely refuses: ASCII white space that every
    // reading of \s includes, and the listed punctuation.
    {uR"((?:[A-Za-z]:[\\\/]|\\\\|\/)[^\s,;\"'<>]+)", u"<path>",
     CharSet::of(" \t\n\r\f,;\"'<>").complement(),
     [](std::u16string_view run, int32_t) { return contains(run, u"/") || contains(run, u"\\"); },
     nullptr},
    {uR"(\b[0-9a-fA-F]{8,}\b)", u"<hex>", asciiHex,
     [](std::u16string_view, int32_t codePoints) { return codePoints >= 8; }, nullptr},
    {uR"(\b\d{4,}\b)", u"<n>", decimalDigits,
     [](std::u16string_view, int32_t codePoints) { return codePoints >= 4; }, nullptr},
    // E-mail addresses with letters of any script in the local part or the domain:
    // [\p{L}\p{M}\p{Nd}._%+\-]+@[\p{L}\p{M}\p{Nd}.\-]+\.[\p{L}\p{M}]{2,}
    {nullptr, u"<email>", everything, nullptr, replaceUnicodeMail},
    // JSON Web Tokens: three base64url parts, the first starting "eyJ" in any case.
    {uR"((?<![A-Za-z0-9_\-])[eE][yY][jJ][A-Za-z0-9_\-]*\.[A-Za-z0-9_\-]+\.[A-Za-z0-9_\-]+)",
     u"<jwt>", asciiAlnum | CharSet::of("_-."),
     [](std::u16string_view run, int32_t) {
         return containsCaseless(run, u"eyj") && run.find(u'.') != run.rfind(u'.');
     },
     nullptr},
    // An authorization header's bearer token (eight characters or more: "the bearer of" is none).
    {uR"(\b[Bb][Ee][Aa][Rr][Ee][Rr]\s+[A-Za-z0-9\-._~+/]{8,}=*)", u"bearer <token>", everything,
     [](std::u16string_view run, int32_t) { return containsCaseless(run, u"bearer"); }, nullptr},
    // IPv4 addresses: four dotted groups of one to three digits standing as a word.
    {uR"((?<![\w.])(?:[0-9]{1,3}\.){3}[0-9]{1,3}(?!\w|\.\w))", u"<ip>",
     asciiDigits | CharSet::of("."),
     [](std::u16string_view run, int32_t codePoints) {
         return codePoints >= 7 && contains(run, u".");
     },
     nullptr},
    // IPv6 addresses: eight groups, or fewer with one "::", standing as a word. A group of four
    // decimal digits has become "<n>" by now.
    {uR"((?<![\w:.])(?:(?:[0-9A-Fa-f]{1,4}|<n>)(?::(?:[0-9A-Fa-f]{1,4}|<n>)){7}|(?:(?:[0-9A-Fa-f]{1,4}|<n>)(?::(?:[0-9A-Fa-f]{1,4}|<n>)){0,6})?::(?:[0-9A-Fa-f]{1,4}|<n>)(?::(?:[0-9A-Fa-f]{1,4}|<n>)){0,6}|(?:[0-9A-Fa-f]{1,4}|<n>)(?::(?:[0-9A-Fa-f]{1,4}|<n>)){0,6}::)(?![\w:]))",
     u"<ip>", asciiHex | CharSet::of(":<n>"),
     [](std::u16string_view run, int32_t codePoints) {
         return contains(run, u"::") || codePoints >= 15;
     },
     nullptr},
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
            if (!text)
                continue;
            UErrorCode status = U_ZERO_ERROR;
            UParseError where{};
            out[i].reset(icu::RegexPattern::compile(UnicodeString(text), 0, where, status));
            // The patterns are constants; what fails here is memory. The caller drops the text.
            if (U_FAILURE(status) || !out[i])
                throw std::runtime_error("telemetry: a scrubbing pattern could not be compiled");
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
            throw std::runtime_error("telemetry: no matcher for a scrubbing pattern");
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
    if (rule.scan)
        return rule.scan(text, rule.token, out);
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
            throw std::runtime_error("telemetry: no character break iterator");
        return b;
    }();
    return *prototype;
}

icu::BreakIterator& characters() {
    thread_local std::unique_ptr<icu::BreakIterator> it = [] {
        std::unique_ptr<icu::BreakIterator> b(characterPrototype().clone());
        if (!b)
            throw std::runtime_error("telemetry: no character break iterator");
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

// The same for text that is ASCII as far as it is read, without converting it: there every byte
// is a cluster of its own but CR LF, which is one (UAX #29, GB3). The byte offset and the count;
// none when a byte outside ASCII comes before the end or right after the cut (it may be a mark
// that belongs to the last cluster), for the full rules to decide.
std::optional<std::pair<std::size_t, std::size_t>> asciiClusterEnd(std::string_view text,
                                                                   std::size_t count) {
    std::size_t i = 0, seen = 0;
    while (i < text.size() && seen < count) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80)
            return std::nullopt;
        i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
        ++seen;
    }
    if (i < text.size() && static_cast<unsigned char>(text[i]) >= 0x80)
        return std::nullopt;
    return std::pair{i, seen};
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
            if (rules[i].pattern)
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
    if (auto ascii = asciiClusterEnd(text, count))
        return std::string(text.substr(0, ascii->first));
    ensureLoaded();
    const UnicodeString s = fromUTF8(text);
    auto [end, seen] = clusterEnd(s, count);
    if (end >= s.length())
        return utf8(s);
    return utf8(UnicodeString(s, 0, end));
}

std::size_t characterCount(std::string_view text, std::size_t limit) {
    if (auto ascii = asciiClusterEnd(text, limit))
        return ascii->second;
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
