// Differential check of the scrubbing pipeline against ICU used directly, the straightforward
// way: a fresh matcher per pattern and message, code-point loops for white space, a new break
// iterator per count. The patterns here are typed independently of the library's copy.
#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"
#include "CorvaneAccount/Telemetry/TelemetryText.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

using corvane::ErrorFirehoseClient;

namespace {

using icu::UnicodeString;

const std::vector<std::pair<std::u16string, std::u16string>>& referenceRules() {
    static const std::vector<std::pair<std::u16string, std::u16string>> rules{
        // An ASCII address glued to a letter, mark or digit of another script is left to the
        // address rule of every script below (unless it starts where the last match ended).
        {u"(?:\\G|(?<![a-zA-Z0-9._%+\\-\\p{L}\\p{M}\\p{Nd}]))"
         u"[a-zA-Z0-9._%+\\-]+@[a-zA-Z0-9.\\-]+\\.[a-zA-Z]{2,}",
         u"<email>"},
        {u"\\d{4}-\\d{2}-\\d{2}[T ]\\d{2}:\\d{2}:\\d{2}(?:\\.\\d+)?(?:Z|[+-]\\d{2}:?\\d{2})?",
         u"<ts>"},
        {u"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}", u"<uuid>"},
        {u"ca_[0-9a-zA-Z-]+", u"<ca_id>"},
        {u"(?:[A-Za-z]:[\\\\\\/]|\\\\\\\\|\\/)[^\\s,;\\\"'<>]+", u"<path>"},
        {u"\\b[0-9a-fA-F]{8,}\\b", u"<hex>"},
        {u"\\b\\d{4,}\\b", u"<n>"},
        {u"[\\p{L}\\p{M}\\p{Nd}._%+\\-]+@[\\p{L}\\p{M}\\p{Nd}.\\-]+\\.[\\p{L}\\p{M}]{2,}",
         u"<email>"},
        {u"(?<![A-Za-z0-9_\\-])[eE][yY][jJ][A-Za-z0-9_\\-]*\\.[A-Za-z0-9_\\-]+\\.[A-Za-z0-9_\\-]+",
         u"<jwt>"},
        {u"\\b(?i:bearer)\\s+[A-Za-z0-9\\-._~+/]{8,}=*", u"bearer <token>"},
        {u"(?<![\\w.])(?:[0-9]{1,3}\\.){3}[0-9]{1,3}(?!\\w|\\.\\w)", u"<ip>"},
        {u"(?<![\\w:.])(?:(?:[0-9A-Fa-f]{1,4}|<n>)(?::(?:[0-9A-Fa-f]{1,4}|<n>)){7}|(?:(?:[0-9A-Fa-"
         u"f]{1,4}|<n>)(?::(?:[0-9A-Fa-f]{1,4}|<n>)){0,6})?::(?:[0-9A-Fa-f]{1,4}|<n>)(?::(?:[0-9A-"
         u"Fa-f]{1,4}|<n>)){0,6}|(?:[0-9A-Fa-f]{1,4}|<n>)(?::(?:[0-9A-Fa-f]{1,4}|<n>)){0,6}::)(?!["
         u"\\w:])",
         u"<ip>"},
    };
    return rules;
}

UnicodeString icuReplace(const std::u16string& pattern, const UnicodeString& input,
                         const std::u16string& token) {
    UErrorCode status = U_ZERO_ERROR;
    icu::RegexMatcher m(UnicodeString(pattern.data(), int32_t(pattern.size())), input, 0, status);
    EXPECT_TRUE(U_SUCCESS(status));
    UnicodeString out = m.replaceAll(UnicodeString(token.data(), int32_t(token.size())), status);
    EXPECT_TRUE(U_SUCCESS(status));
    return out;
}

std::string utf8(const UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}

std::size_t graphemes(const UnicodeString& s) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    it->setText(s);
    std::size_t n = 0;
    it->first();
    while (it->next() != icu::BreakIterator::DONE)
        ++n;
    return n;
}

UnicodeString referenceScrub(const UnicodeString& input) {
    UnicodeString s = input;
    for (const auto& [pattern, token] : referenceRules())
        s = icuReplace(pattern, s, token);
    return s;
}

std::string referenceNormalize(const std::string& message, const std::optional<std::string>& type) {
    const UnicodeString input = UnicodeString::fromUTF8(message);
    UnicodeString s = referenceScrub(input);
    s.toLower(icu::Locale::getRoot());
    // Split into words at White_Space code points; join with one space.
    std::vector<UnicodeString> words;
    UnicodeString word;
    for (int32_t i = 0; i < s.length(); i = s.moveIndex32(i, 1)) {
        UChar32 c = s.char32At(i);
        if (u_isUWhiteSpace(c)) {
            if (!word.isEmpty())
                words.push_back(word);
            word.remove();
        } else {
            word.append(c);
        }
    }
    if (!word.isEmpty())
        words.push_back(word);
    UnicodeString templ;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i)
            templ.append(u' ');
        templ.append(words[i]);
    }
    if (graphemes(templ) >= 8)
        return utf8(templ);
    if (!type || type->empty()) {
        if (!templ.isEmpty())
            return utf8(templ);
        UnicodeString lowered = input;
        lowered.toLower(icu::Locale::getRoot());
        return utf8(lowered);
    }
    UnicodeString padded = templ + UnicodeString(u" ") + UnicodeString::fromUTF8(*type);
    // Trim space separators and tabs at both ends.
    auto isSpace = [](UChar32 c) { return c == 9 || u_charType(c) == U_SPACE_SEPARATOR; };
    int32_t b = 0, e = padded.length();
    while (b < e && isSpace(padded.char32At(b)))
        b = padded.moveIndex32(b, 1);
    while (e > b && isSpace(padded.char32At(padded.moveIndex32(e, -1))))
        e = padded.moveIndex32(e, -1);
    return utf8(UnicodeString(padded, b, e - b));
}

std::string referenceCut(const std::string& text, std::size_t n) {
    const UnicodeString s = UnicodeString::fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    it->setText(s);
    int32_t end = it->first();
    for (std::size_t i = 0; i < n; ++i) {
        int32_t next = it->next();
        if (next == icu::BreakIterator::DONE)
            break;
        end = next;
    }
    return utf8(UnicodeString(s, 0, end));
}

// Pieces a message is assembled from: identifiers of every kind, and non-ASCII digits, spaces,
// letters, marks and format characters to stand next to them.
const std::vector<std::string> pieces{
    "user@example.com",
    "a.b-c+d%e@sub.example.co",
    "x@y.z",
    "@",
    "mail@host",
    "2024-05-01T10:00:00Z",
    "2024-05-01 10:00:00.5+02:00",
    "2024-05-01T10:00:00-0530",
    "\u0662\u0660\u0662\u0664-05-01T10:00:00Z",
    "2024-05-01T10:00",
    "3f2504e0-4f89-11d3-9a0c-0305e82c3301",
    "3F2504E0-4F89-11D3-9A0C-0305E82C330",
    "ca_01HZX-abc9",
    "ca_",
    "/Users/x/file.json",
    "C:\\Temp\\a.txt",
    "\\\\srv\\share",
    "d:/x",
    "deadbeef",
    "DEADBEEF0123",
    "deadbee",
    "12345",
    "1234",
    "123",
    "30000ms",
    "\u0661\u0662\u0663\u0664\u0665",
    "\uff11\uff12\uff13\uff14",
    "\u096a\u096b\u096c\u096d",
    "\u00e9",
    "\u00df",
    "\u0130",
    "\u03a3",
    "\u4e2d\u6587",
    "\u0301",
    "\u200d",
    "\u200b",
    "\u00a0",
    "\u2003",
    "\u3000",
    "\u0085",
    "\u2028",
    "\t",
    "\n",
    " ",
    "  ",
    ",",
    ";",
    "'",
    "\"",
    "<",
    ">",
    "(",
    ")",
    "-",
    ":",
    ".",
    "_",
    "x",
    "Error",
    "FAILED",
    "ok",
    "\u00c9T\u00c9",
    "\U0001F600",
    "\U0001F1E9\U0001F1EA",
    "\u0660",
    "e\u0301",
    "\u05d0\u05d1",
    "\u00bd",
    // Characters at the edges of what each pattern can take.
    "a@b@c.com",
    "%",
    "+",
    "@",
    "T",
    "Z",
    "/",
    "\\",
    "\f",
    "\v",
    "ca_x",
    "0123456789abcdef01",
    "deadbeef\u0301",
    "\U0001D7D9\U0001D7DA\U0001D7DB\U0001D7DC",
    "2024-05-01T10:00:00.\u0661\u0662+05:30",
    // Addresses of any script, tokens and IP addresses, and their edges.
    "m\u00fcller@example.de",
    "jane@m\u00fcller.de",
    "\u5c71\u7530@\u4f8b\u3048.jp",
    "x@\u00e9.\u00e9\u00e9",
    "eyJhbGciOiJFUzI1NiJ9.eyJzdWIiOiJhYmMifQ.c2ln",
    "EYJX.Y.Z",
    "eyj.a",
    "Bearer ",
    "bearer abcdefgh12==",
    "BEARER\u00a0tok.en-~+/12345",
    "192.168.0.1",
    "1.2.3",
    "255.255.255.255.1",
    "fe80::1",
    "::",
    "2001:db8::8a2e:370:7334",
    "1:2:3:4:5:6:7:8",
    "%1",
};

// Dense text from the characters the patterns and their edges turn on.
const std::vector<std::string> edgeAlphabet{
    "0",
    "1",
    "9",
    "a",
    "c",
    "f",
    "F",
    "g",
    "T",
    "Z",
    "_",
    "-",
    ":",
    ".",
    "+",
    "%",
    "@",
    "/",
    "\\",
    " ",
    ",",
    "<",
    "\t",
    "\u00e9",
    "\u0301",
    "\u200b",
    "\u00a0",
    "\u0661",
    "\U0001D7D9",
    "ca_",
    "2024-05-01T10:00:00",
    "3f2504e0-4f89-11d3-9a0c-0305e82c3301",
    "a.b@c.de",
    "eyJ",
    "e",
    "J",
    "bearer ",
    "12345678",
    "::",
    "<n>",
    "\u5c71",
    "\u00fc@x.de",
};

std::string generate(std::mt19937& rng) {
    std::uniform_int_distribution<std::size_t> count(0, 12), pick(0, pieces.size() - 1);
    std::string out;
    for (std::size_t i = count(rng); i > 0; --i)
        out += pieces[pick(rng)];
    return out;
}

} // namespace

TEST(ScrubbingDifferential, TemplatesAndFingerprintsEqualPlainICUOnAGeneratedCorpus) {
    std::vector<std::string> corpus{
        "Login failed for jane@example.com at 2024-05-01T10:00:00Z",
        "Timeout after 30000ms",
        "Timeout after 30000 ms",
        "Cannot open /Users/x/Library/file.json, retrying",
        "Failed",
        "   ",
        "",
        "code \u0661\u0662\u0663\u0664 \u00e91234 1234\u0301 \u00a01234\u00a0",
    };
    std::mt19937 rng(20261207);
    for (int i = 0; i < 3000; ++i)
        corpus.push_back(generate(rng));
    const std::vector<std::optional<std::string>> types{std::nullopt, std::string(),
                                                        std::string("URLError")};
    int differing = 0;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        const auto& type = types[i % types.size()];
        const std::string expected = referenceNormalize(corpus[i], type);
        const std::string actual = ErrorFirehoseClient::normalizeMessage(corpus[i], type);
        if (actual != expected && ++differing < 10)
            ADD_FAILURE() << "message #" << i << " [" << corpus[i] << "]: got [" << actual
                          << "], ICU gives [" << expected << "]";
        EXPECT_EQ(corvane::TelemetryText::prefixCharacters(actual, 5), referenceCut(actual, 5));
        EXPECT_EQ(ErrorFirehoseClient::fingerprint("app", "mac", "error", "auth", actual, {}),
                  ErrorFirehoseClient::fingerprint("app", "mac", "error", "auth", expected, {}));
    }
    EXPECT_EQ(differing, 0);
}

// Scrubbing searches only the stretches of text a pattern's match can lie in; what it finds must
// be what a search through the whole text finds, also where a match borders on those stretches.
TEST(ScrubbingDifferential, ScrubbingEqualsICUOverTheWholeTextAtTheEdgesOfEachPattern) {
    std::vector<std::string> corpus{
        // \b looks past the searched stretch: letters, marks and format characters beside it.
        "\u00e9deadbeef x",
        "deadbeef\u00e9 x",
        "deadbeef\u0301 x",
        "x\u200bdeadbeef x",
        "\u0301deadbeef",
        "deadbeefg",
        "_deadbeef_",
        "-deadbeef-",
        "\U0001D7D9\U0001D7DA\U0001D7DB\U0001D7DC",
        "n\u0661\u0662\u0663\u0664",
        "\u0661\u0662\u0663\u0664\u0301 \u0661\u0662\u0663\u0664",
        "1234\u200b",
        "\u200b1234",
        "123\U0001D7D9",
        "12\u030134",
        // Several matches, or none, in one stretch; candidates that fail at its end.
        "a@b@c.com",
        "x@y.co@z.org",
        "a@b.c",
        "a@b.cd.",
        "@example.com",
        "me@host",
        "ca_ca_1",
        "xca_1-2",
        "ca_",
        "/a/b\\c",
        "C:/x",
        "1:/x",
        "\\\\",
        "a/\u00a0b",
        "2024-05-01T10:00:00+05:3",
        "2024-05-01 10:00:00 2024-05-01T10:00:00Z",
        "\u0662\u0660\u0662\u0664-\u0660\u0665-01T10:00:00Z",
        "3f2504e0-4f89-11d3-9a0c-0305e82c33011",
        "13f2504e0-4f89-11d3-9a0c-0305e82c3301",
        "3f2504e0-4f89-11d3-9a0c-0305e82c330",
        // Addresses beside letters of other scripts; the next address where the last ended.
        "m\u00fcller@example.de",
        "\u00fcx@y.de",
        "x\u0301y@z.de",
        "a@b.cd9x@y.zz",
        "a@b.cd\u00e9x@y.zz",
        "a@b.cd1234@y.zz",
        "\U0001D7D9a@b.cd",
        "\u0661a@b.cd",
        "a@b.c\u00e9",
        "j\u00f6hn.deadbeef12@x.de",
        // Tokens and addresses at the edges of their rules.
        "x.eyJa.b.c",
        "_eyJa.b.c",
        "eyJa.b.",
        "Bearer 1234567",
        "Bearer 12345678",
        "xbearer 12345678",
        "10.0.0.1.",
        "10.0.0.1.x",
        "a10.0.0.1",
        "2001:db8::",
        "1234:5678::9",
        "[::1]:8080",
        "a::b::c",
        "fe80::1::",
    };
    std::mt19937 rng(7121);
    std::uniform_int_distribution<std::size_t> length(0, 40), pick(0, edgeAlphabet.size() - 1);
    for (int i = 0; i < 4000; ++i) {
        std::string m;
        for (std::size_t n = length(rng); n > 0; --n)
            m += edgeAlphabet[pick(rng)];
        corpus.push_back(m);
    }
    int differing = 0;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        const std::string expected = utf8(referenceScrub(UnicodeString::fromUTF8(corpus[i])));
        const std::string actual = corvane::TelemetryText::scrub(corpus[i]);
        if (actual != expected && ++differing < 10)
            ADD_FAILURE() << "message #" << i << " [" << corpus[i] << "]: got [" << actual
                          << "], ICU gives [" << expected << "]";
    }
    EXPECT_EQ(differing, 0);
}

// Long words of the shapes that make a backtracking search slow: the scanner's results equal the
// whole-text search's.
TEST(ScrubbingDifferential, LongAdversarialWordsEqualICU) {
    const std::vector<std::pair<std::string, std::string>> shapes{
        {"a@", "b."},       {"a@", "bb."},  {"", "a"},       {"", "ab.@"}, {"x@", "\u00fc."},
        {"", "\u00fc@"},    {"", "eyJ"},    {"", "eyJ."},    {"", "1."},   {"", "a:"},
        {"", "1:"},         {"/", "d/"},    {"", "Bearer "}, {"a@", "b-"}, {"", "a.b@c"},
        {"", "0123456789"}, {"", "a@b.cd"}, {"", "@x.de"},
    };
    int differing = 0;
    for (const auto& [head, unit] : shapes) {
        for (const std::string tail : {"", "x", ".com", " end", "\u00e9"}) {
            std::string m = head;
            while (m.size() < 3000)
                m += unit;
            m += tail;
            const std::string expected = utf8(referenceScrub(UnicodeString::fromUTF8(m)));
            const std::string actual = corvane::TelemetryText::scrub(m);
            if (actual != expected && ++differing < 10)
                ADD_FAILURE() << "shape [" << head << "][" << unit << "]...[" << tail << "]";
        }
    }
    EXPECT_EQ(differing, 0);
}

TEST(ScrubbingDifferential, UnicodeClassesKeepTheirICUMeaning) {
    // \d takes any decimal digit; \b sees non-ASCII letters and marks as word characters.
    EXPECT_EQ(ErrorFirehoseClient::normalizeMessage("n=\u0661\u0662\u0663\u0664 end", {}),
              "n=<n> end");
    EXPECT_EQ(ErrorFirehoseClient::normalizeMessage("x \u00e91234 y 1234\u00e9 z", {}),
              "x \u00e91234 y 1234\u00e9 z");
    EXPECT_EQ(ErrorFirehoseClient::normalizeMessage("x 1234\u0301 y", {}),
              referenceNormalize("x 1234\u0301 y", {}));
    // A no-break space ends a path (\s is Unicode white space).
    EXPECT_EQ(ErrorFirehoseClient::normalizeMessage("open /tmp/a\u00a0now please", {}),
              "open <path> now please");
}

// The cut and the count read ASCII text without converting it; at every edge where that could
// differ from the full rules (CR LF split by the cut, a combining mark or an emoji modifier just
// after it, control characters, the end of the text) they must agree with ICU's clusters.
TEST(ScrubbingDifferential, CutsAndCountsOfMostlyASCIITextEqualICUsClusters) {
    const std::vector<std::string> pieces{"a",      "Z",          " ",          "\r",     "\n",
                                          "\r\n",   "\t",         "\x01",       "\x7f",   "\u0301",
                                          "\u00e9", "\U0001F44D", "\U0001F3FD", "\u200d", "~"};
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::size_t> length(0, 10), pick(0, pieces.size() - 1);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        for (std::size_t n = length(rng); n > 0; --n)
            text += pieces[pick(rng) % (i % 3 == 0 ? pieces.size() : 9)];
        for (std::size_t cut : {0, 1, 2, 3, 5, 8}) {
            const std::string expected = referenceCut(text, cut);
            ASSERT_EQ(corvane::TelemetryText::prefixCharacters(text, cut), expected)
                << "text [" << text << "] cut " << cut;
            const std::size_t all = corvane::TelemetryText::characterCount(text, 1000);
            ASSERT_EQ(corvane::TelemetryText::characterCount(text, cut), std::min(cut, all))
                << "text [" << text << "] limit " << cut;
        }
        ASSERT_EQ(referenceCut(text, 1000), text);
    }
}
