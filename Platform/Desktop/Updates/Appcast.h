// Update feeds: an RSS 2.0 appcast with the update framework's namespaced elements, parsed into
// items, and the choice of the newest item this installation may take. Pure (QtCore's XML reader
// only, no display); any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace desktop {

inline constexpr std::string_view sparkleNamespace =
    "http://www.andymatuschak.org/xml-namespaces/sparkle";

// Feeds larger than this are refused before parsing.
inline constexpr std::size_t maxAppcastBytes = 4u << 20;
// Longer version strings make an item unusable, as do versions with other characters than
// letters, digits, spaces and ". - _ + ~"; longer titles are cut.
inline constexpr std::size_t maxVersionLength = 100;
inline constexpr std::size_t maxTitleLength = 200;
inline constexpr std::size_t maxURLLength = 4096;

// A build number (CFBundleVersion, sparkle:version) and the version shown to users
// (CFBundleShortVersionString, sparkle:shortVersionString); either may be empty.
struct VersionPair {
    std::string version;
    std::string shortVersionString;

    // "1.4.0 (612)", "1.4.0" or "612", whichever parts are known.
    std::string displayText() const;
};

struct AppcastItem {
    std::string title;
    VersionPair versions;
    // None: the default channel, which every installation takes.
    std::optional<std::string> channel;
    // The enclosure: an absolute https address (plain http only to this machine).
    std::string url;
    std::optional<std::uint64_t> length;
    std::string edSignature;
};

struct Appcast {
    std::string title;
    // Usable items in feed order.
    std::vector<AppcastItem> items;
    // Items left out: no enclosure, no usable address, or no usable version.
    int skippedItems = 0;
};

// A feed that cannot be read; the text says what is wrong and quotes none of the feed's
// content.
class AppcastError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses an appcast. Throws AppcastError for input that is too large, not well-formed XML,
// declares a document type, or is not an RSS document with a channel.
Appcast parseAppcast(std::string_view xml);

// Compares dotted versions component by component: digits numerically (any length, leading
// zeros ignored), missing components count as zero, so "1.2" equals "1.2.0" and "1.10" is
// newer than "1.9". A component with text after its number ("0b2", "0-RC1") is a pre-release
// of the plain one and older than it; such texts compare with their digit runs as numbers and
// their words as tags, case ignored: dev < a = alpha < b = beta < rc, other words first.
// Returns a negative number, zero or a positive number as `a` is older, equal or newer.
int compareVersions(std::string_view a, std::string_view b);

// Compares build numbers when both have one, shown versions when neither has a build number;
// none when the two cannot be ordered (a build number on one side only, or nothing to compare).
std::optional<int> compareVersionPairs(const VersionPair& a, const VersionPair& b);

// The newest item on the default channel or one of `allowedChannels` that is newer than
// `running`; none when the installation is up to date. Items that cannot be ordered against
// `running` are never offered. Of equal versions the first in the feed wins.
std::optional<AppcastItem> newestUpdate(const Appcast& appcast,
                                        const std::set<std::string>& allowedChannels,
                                        const VersionPair& running);

} // namespace desktop
