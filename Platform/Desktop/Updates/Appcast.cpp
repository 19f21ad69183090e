#include "Platform/Desktop/Updates/Appcast.h"

#include "Platform/HttpRedirect.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QXmlStreamReader>

#include <algorithm>

namespace desktop {

namespace {

// --- versions ---

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view withoutLeadingZeros(std::string_view digits) {
    while (!digits.empty() && digits.front() == '0')
        digits.remove_prefix(1);
    return digits;
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

// Two runs of digits as numbers of any length.
int compareNumbers(std::string_view a, std::string_view b) {
    a = withoutLeadingZeros(a);
    b = withoutLeadingZeros(b);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return sign(a.compare(b));
}

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The next run of digits or of letters, skipping separators ("-", "_", "+", "~", spaces); empty
// at the end.
std::string_view takeRun(std::string_view& s) {
    while (!s.empty() && !isDigit(s.front()) && !isLetter(s.front()))
        s.remove_prefix(1);
    if (s.empty())
        return {};
    const bool digits = isDigit(s.front());
    std::size_t n = 1;
    while (n < s.size() && (digits ? isDigit(s[n]) : isLetter(s[n])))
        ++n;
    auto run = s.substr(0, n);
    s.remove_prefix(n);
    return run;
}

bool equalsLower(std::string_view text, std::string_view lowerCase) {
    return text.size() == lowerCase.size() &&
           std::equal(text.begin(), text.end(), lowerCase.begin(),
                      [](char a, char b) { return lower(a) == b; });
}

// Where a pre-release tag stands: dev < a, alpha < b, beta < rc; other words before all of them.
int tagRank(std::string_view tag) {
    if (equalsLower(tag, "dev"))
        return 1;
    if (equalsLower(tag, "a") || equalsLower(tag, "alpha"))
        return 2;
    if (equalsLower(tag, "b") || equalsLower(tag, "beta"))
        return 3;
    if (equalsLower(tag, "rc"))
        return 4;
    return 0;
}

int compareTags(std::string_view a, std::string_view b) {
    const int ra = tagRank(a), rb = tagRank(b);
    if (ra != rb || ra != 0)
        return sign(ra - rb);
    // Two words that are not tags: alphabetically, in any case.
    const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return lower(x) == lower(y); });
    if (ia == a.end() || ib == b.end())
        return ia == a.end() ? (ib == b.end() ? 0 : -1) : 1;
    return lower(*ia) < lower(*ib) ? -1 : 1;
}

// Pre-release texts ("b2", "-RC10", "alpha.1"): runs of digits as numbers, runs of letters as
// tags in their usual order, case ignored; a number after a tag is newer than a further tag, and
// a text that is a prefix of the other is the older one.
int compareSuffixes(std::string_view a, std::string_view b) {
    for (;;) {
        const auto ra = takeRun(a);
        const auto rb = takeRun(b);
        if (ra.empty() || rb.empty())
            return ra.empty() ? (rb.empty() ? 0 : -1) : 1;
        const bool na = isDigit(ra.front()), nb = isDigit(rb.front());
        int c = 0;
        if (na && nb)
            c = compareNumbers(ra, rb);
        else if (!na && !nb)
            c = compareTags(ra, rb);
        else
            c = na ? 1 : -1;
        if (c != 0)
            return c;
    }
}

int compareComponents(std::string_view a, std::string_view b) {
    std::size_t da = 0, db = 0;
    while (da < a.size() && isDigit(a[da]))
        ++da;
    while (db < b.size() && isDigit(b[db]))
        ++db;
    if (int c = compareNumbers(a.substr(0, da), b.substr(0, db)); c != 0)
        return c;
    const auto sa = a.substr(da), sb = b.substr(db);
    if (sa.empty() || sb.empty())
        return sa.empty() ? (sb.empty() ? 0 : 1) : -1; // the plain release is the newer
    return compareSuffixes(sa, sb);
}

std::string_view nextComponent(std::string_view& s) {
    const auto dot = s.find('.');
    auto c = s.substr(0, dot);
    s = dot == std::string_view::npos ? std::string_view{} : s.substr(dot + 1);
    return c;
}

bool isSpace(char c) {
    return std::string_view(" \t\r\n\v\f").find(c) != std::string_view::npos;
}

std::string_view normalised(std::string_view v) {
    while (!v.empty() && isSpace(v.front()))
        v.remove_prefix(1);
    while (!v.empty() && isSpace(v.back()))
        v.remove_suffix(1);
    if (v.size() > 1 && (v.front() == 'v' || v.front() == 'V') && isDigit(v[1]))
        v.remove_prefix(1);
    return v;
}

// --- feed ---

bool isPlain(const QXmlStreamReader& r, QStringView name) {
    return r.namespaceUri().isEmpty() && r.name() == name;
}

bool isSparkle(const QXmlStreamReader& r, QStringView name) {
    return r.namespaceUri() == QLatin1String(sparkleNamespace.data(),
                                             static_cast<qsizetype>(sparkleNamespace.size())) &&
           r.name() == name;
}

// The element's text (child elements' text included), trimmed.
std::string elementText(QXmlStreamReader& r) {
    return r.readElementText(QXmlStreamReader::IncludeChildElements).trimmed().toStdString();
}

std::string shortened(const QString& text, std::size_t limit) {
    QString s = text.simplified();
    if (static_cast<std::size_t>(s.size()) > limit) {
        s.truncate(static_cast<qsizetype>(limit));
        if (!s.isEmpty() && s.back().isHighSurrogate())
            s.chop(1);
        s += QChar(0x2026);
    }
    return s.toStdString();
}

// Versions end up in dialogs: letters, digits, spaces and ". - _ + ~" only, so nothing in them
// can read as markup.
bool usableVersion(const std::string& v) {
    return v.size() <= maxVersionLength && std::all_of(v.begin(), v.end(), [](char c) {
               // ASCII by hand: the process locale must not widen the set.
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      std::string_view(" .-_+~").find(c) != std::string_view::npos;
           });
}

bool usableURL(const std::string& text) {
    if (text.empty() || text.size() > maxURLLength)
        return false;
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    const auto scheme = url.scheme().toLower();
    return url.isValid() && !url.isRelative() && (scheme == u"https" || scheme == u"http") &&
           !url.host().isEmpty() && platform::isSecureOrLoopbackURL(text);
}

std::optional<std::uint64_t> decimal(const QString& text) {
    const auto s = text.trimmed();
    if (s.isEmpty() || s.size() > 20)
        return std::nullopt;
    std::uint64_t v = 0;
    for (QChar c : s) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        const auto d = static_cast<std::uint64_t>(c.unicode() - u'0');
        if (v > (UINT64_MAX - d) / 10)
            return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

struct Enclosure {
    std::string url;
    std::optional<std::uint64_t> length;
    std::string version, shortVersionString, edSignature;
    // The operating system it is built for; none for every system.
    std::optional<QString> os;
};

// The operating system this program's downloads are built for, as feeds name it.
const QString thisOS = QStringLiteral("linux");

Enclosure readEnclosure(const QXmlStreamReader& r) {
    const QLatin1String sparkle(sparkleNamespace.data(),
                                static_cast<qsizetype>(sparkleNamespace.size()));
    Enclosure e;
    for (const auto& a : r.attributes()) {
        const bool plain = a.namespaceUri().isEmpty();
        const bool ours = a.namespaceUri() == sparkle;
        if (plain && a.name() == u"url")
            e.url = a.value().trimmed().toString().toStdString();
        else if (plain && a.name() == u"length") {
            // Feeds write 0 (or nothing) when they do not know the size: no length, rather
            // than one that every download exceeds.
            e.length = decimal(a.value().toString());
            if (e.length == std::uint64_t{0})
                e.length.reset();
        } else if (ours && a.name() == u"version")
            e.version = a.value().trimmed().toString().toStdString();
        else if (ours && a.name() == u"shortVersionString")
            e.shortVersionString = a.value().trimmed().toString().toStdString();
        else if (ours && a.name() == u"edSignature")
            e.edSignature = a.value().trimmed().toString().toStdString();
        else if (ours && a.name() == u"os")
            e.os = a.value().trimmed().toString().toLower();
    }
    return e;
}

// Reads one <item>; false when it cannot be offered.
bool readItem(QXmlStreamReader& r, AppcastItem& item) {
    std::string version, shortVersion;
    // The enclosure built for this system, else one for every system; those for other systems
    // are passed over.
    std::optional<Enclosure> enclosure;
    bool enclosureForThisOS = false;
    while (r.readNextStartElement()) {
        if (isPlain(r, u"title")) {
            item.title = shortened(r.readElementText(QXmlStreamReader::IncludeChildElements),
                                   maxTitleLength);
        } else if (isSparkle(r, u"version")) {
            version = elementText(r);
        } else if (isSparkle(r, u"shortVersionString")) {
            shortVersion = elementText(r);
        } else if (isSparkle(r, u"channel")) {
            auto channel = elementText(r);
            item.channel = channel.empty() ? std::nullopt : std::optional(std::move(channel));
        } else if (isPlain(r, u"enclosure")) {
            auto e = readEnclosure(r);
            r.skipCurrentElement();
            if (e.os && *e.os == thisOS && !enclosureForThisOS) {
                enclosure = std::move(e);
                enclosureForThisOS = true;
            } else if (!e.os && !enclosure) {
                enclosure = std::move(e);
            }
        } else {
            r.skipCurrentElement();
        }
    }
    if (!enclosure)
        return false;
    // The item's own elements first, the enclosure's attributes otherwise.
    item.versions.version = !version.empty() ? version : enclosure->version;
    item.versions.shortVersionString =
        !shortVersion.empty() ? shortVersion : enclosure->shortVersionString;
    item.url = enclosure->url;
    item.length = enclosure->length;
    item.edSignature = enclosure->edSignature;
    const auto& v = item.versions;
    return usableURL(item.url) && (!v.version.empty() || !v.shortVersionString.empty()) &&
           usableVersion(v.version) && usableVersion(v.shortVersionString);
}

void readChannel(QXmlStreamReader& r, Appcast& appcast) {
    while (r.readNextStartElement()) {
        if (isPlain(r, u"title")) {
            appcast.title = shortened(r.readElementText(QXmlStreamReader::IncludeChildElements),
                                      maxTitleLength);
        } else if (isPlain(r, u"item")) {
            AppcastItem item;
            if (readItem(r, item))
                appcast.items.push_back(std::move(item));
            else
                ++appcast.skippedItems;
        } else {
            r.skipCurrentElement();
        }
    }
}

[[noreturn]] void malformed(const QXmlStreamReader& r) {
    throw AppcastError("The feed is not well-formed XML (line " + std::to_string(r.lineNumber()) +
                       ", column " + std::to_string(r.columnNumber()) + ").");
}

} // namespace

std::string VersionPair::displayText() const {
    if (shortVersionString.empty())
        return version;
    if (version.empty() || version == shortVersionString)
        return shortVersionString;
    return shortVersionString + " (" + version + ")";
}

int compareVersions(std::string_view a, std::string_view b) {
    a = normalised(a);
    b = normalised(b);
    while (!a.empty() || !b.empty()) {
        if (int c = compareComponents(nextComponent(a), nextComponent(b)); c != 0)
            return c;
    }
    return 0;
}

std::optional<int> compareVersionPairs(const VersionPair& a, const VersionPair& b) {
    const bool buildA = !a.version.empty(), buildB = !b.version.empty();
    if (buildA && buildB)
        return compareVersions(a.version, b.version);
    // A build number says nothing about a shown version: one without the other cannot be
    // ordered.
    if (buildA || buildB || a.shortVersionString.empty() || b.shortVersionString.empty())
        return std::nullopt;
    return compareVersions(a.shortVersionString, b.shortVersionString);
}

std::optional<AppcastItem> newestUpdate(const Appcast& appcast,
                                        const std::set<std::string>& allowedChannels,
                                        const VersionPair& running) {
    const AppcastItem* best = nullptr;
    for (const auto& item : appcast.items) {
        if (item.channel && !allowedChannels.contains(*item.channel))
            continue;
        const auto againstRunning = compareVersionPairs(item.versions, running);
        if (!againstRunning || *againstRunning <= 0)
            continue;
        // Every candidate is ordered against the running version the same way, so any two
        // of them can be ordered too.
        if (!best || compareVersionPairs(item.versions, best->versions).value_or(0) > 0)
            best = &item;
    }
    if (!best)
        return std::nullopt;
    return *best;
}

Appcast parseAppcast(std::string_view xml) {
    if (xml.size() > maxAppcastBytes)
        throw AppcastError("The feed is larger than " + std::to_string(maxAppcastBytes >> 20) +
                           " MB.");
    if (xml.find_first_not_of(" \t\r\n") == std::string_view::npos)
        throw AppcastError("The feed is empty.");

    // The reader only looks at the bytes while this function runs.
    QXmlStreamReader r(QByteArray::fromRawData(xml.data(), static_cast<qsizetype>(xml.size())));
    Appcast appcast;
    bool sawChannel = false;

    // The prolog: no document type (feeds need none, and it is where entity bombs live), then
    // the <rss> element.
    while (!r.atEnd()) {
        const auto token = r.readNext();
        if (token == QXmlStreamReader::DTD)
            throw AppcastError("The feed declares a document type, which update feeds never do.");
        if (token == QXmlStreamReader::StartElement)
            break;
    }
    if (r.hasError() || r.tokenType() != QXmlStreamReader::StartElement)
        malformed(r);
    if (!isPlain(r, u"rss"))
        throw AppcastError("The feed is not an RSS document.");

    while (r.readNextStartElement()) {
        if (isPlain(r, u"channel") && !sawChannel) {
            sawChannel = true;
            readChannel(r, appcast);
        } else {
            r.skipCurrentElement();
        }
    }
    // Whatever follows the root must still be well-formed (comments, white space).
    while (!r.hasError() && !r.atEnd())
        r.readNext();
    if (r.hasError())
        malformed(r);
    if (!sawChannel)
        throw AppcastError("The feed has no channel.");
    return appcast;
}

} // namespace desktop
