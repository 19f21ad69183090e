// Fuzzes the update feed parser: any bytes either fail with one of the parser's own messages
// (which quote nothing of the feed) or give items within the stated bounds; the chosen update
// is eligible and newer than the running version; version comparison is a total preorder.
#include "Platform/Desktop/Updates/Appcast.h"

#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace desktop;

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// "The feed is not well-formed XML (line <n>, column <n>)."
bool isPositionMessage(std::string_view m) {
    constexpr std::string_view head = "The feed is not well-formed XML (line ";
    if (!m.starts_with(head))
        return false;
    m.remove_prefix(head.size());
    auto number = [&m] {
        std::size_t n = 0;
        while (n < m.size() && isDigit(m[n]))
            ++n;
        m.remove_prefix(n);
        return n > 0;
    };
    if (!number() || !m.starts_with(", column "))
        return false;
    m.remove_prefix(9);
    return number() && m == ").";
}

bool isKnownError(std::string_view m) {
    static const std::set<std::string_view> fixed = {
        "The feed is larger than 4 MB.",
        "The feed is empty.",
        "The feed declares a document type, which update feeds never do.",
        "The feed is not an RSS document.",
        "The feed has no channel.",
    };
    return fixed.contains(m) || isPositionMessage(m);
}

// A title: simplified (no line breaks, no white space at either end), at most the limit in
// UTF-16 units plus the ellipsis that marks a cut.
void checkTitle(const std::string& title) {
    const QString t = QString::fromStdString(title);
    check(static_cast<std::size_t>(t.size()) <= maxTitleLength + 1);
    check(t == t.simplified());
}

void checkVersion(const std::string& v) {
    check(v.size() <= maxVersionLength);
    for (char c : v)
        check((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              std::string_view(" .-_+~").find(c) != std::string_view::npos);
    check(v.empty() || (v.front() != ' ' && v.back() != ' '));
}

void checkItem(const AppcastItem& item) {
    checkTitle(item.title);
    check(!item.versions.version.empty() || !item.versions.shortVersionString.empty());
    checkVersion(item.versions.version);
    checkVersion(item.versions.shortVersionString);
    check(!item.channel || !item.channel->empty());
    check(!item.url.empty() && item.url.size() <= maxURLLength);
    std::string scheme = item.url.substr(0, item.url.find(':'));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    check(scheme == "https" || scheme == "http");
    for (unsigned char c : item.url)
        check(c > 0x20 && c != 0x7f);
}

// Reflexive, antisymmetric and transitive over the given versions.
void checkOrder(const std::vector<std::string>& versions) {
    const std::size_t n = std::min<std::size_t>(versions.size(), 6);
    for (std::size_t i = 0; i < n; ++i) {
        check(compareVersions(versions[i], versions[i]) == 0);
        for (std::size_t j = 0; j < n; ++j) {
            const int ij = sign(compareVersions(versions[i], versions[j]));
            check(ij == -sign(compareVersions(versions[j], versions[i])));
            for (std::size_t k = 0; k < n; ++k) {
                const int jk = sign(compareVersions(versions[j], versions[k]));
                const int ik = sign(compareVersions(versions[i], versions[k]));
                if (ij <= 0 && jk <= 0)
                    check(ik <= 0 && (ik < 0 || (ij == 0 && jk == 0)));
            }
        }
    }
}

void checkNewest(const Appcast& feed, const std::set<std::string>& channels,
                 const VersionPair& running) {
    const auto chosen = newestUpdate(feed, channels, running);
    bool anyNewer = false;
    for (const auto& item : feed.items) {
        const bool eligible = !item.channel || channels.contains(*item.channel);
        // Either both orders are known and opposite, or neither is.
        const auto vsRunning = compareVersionPairs(item.versions, running);
        const auto runningVs = compareVersionPairs(running, item.versions);
        check(vsRunning.has_value() == runningVs.has_value());
        if (vsRunning && runningVs)
            check(sign(*vsRunning) == -sign(*runningVs));
        anyNewer = anyNewer || (eligible && vsRunning && *vsRunning > 0);
    }
    check(chosen.has_value() == anyNewer);
    if (chosen) {
        check(!chosen->channel || channels.contains(*chosen->channel));
        const auto vsRunning = compareVersionPairs(chosen->versions, running);
        check(vsRunning && *vsRunning > 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string xml(reinterpret_cast<const char*>(data), size);

    // The first lines of the input as versions of their own.
    std::vector<std::string> lines;
    for (std::size_t start = 0; start <= xml.size() && lines.size() < 3;) {
        const std::size_t end = std::min(xml.find('\n', start), xml.size());
        lines.push_back(xml.substr(start, std::min<std::size_t>(end - start, 200)));
        start = end + 1;
    }
    checkOrder(lines);

    Appcast feed;
    try {
        feed = parseAppcast(xml);
    } catch (const AppcastError& e) {
        check(isKnownError(e.what()));
        return 0;
    }
    checkTitle(feed.title);
    check(feed.skippedItems >= 0);
    // Every item, used or skipped, has a start tag of its own.
    check(feed.items.size() + static_cast<std::size_t>(feed.skippedItems) <=
          static_cast<std::size_t>(std::count(xml.begin(), xml.end(), '<')));

    std::vector<std::string> versions;
    std::set<std::string> channels;
    for (const auto& item : feed.items) {
        checkItem(item);
        for (const auto* v : {&item.versions.version, &item.versions.shortVersionString})
            if (!v->empty())
                versions.push_back(*v);
        if (item.channel)
            channels.insert(*item.channel);
    }
    checkOrder(versions);

    const VersionPair nothing{"0", "0"};
    checkNewest(feed, {}, nothing);
    checkNewest(feed, channels, nothing);
    if (!feed.items.empty()) {
        checkNewest(feed, {}, feed.items.front().versions);
        checkNewest(feed, channels, feed.items.back().versions);
    }
    return 0;
}
