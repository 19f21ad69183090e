// The desktop update framework: reading appcasts and choosing the update, and whole update
// cycles against feeds served on 127.0.0.1, with the dialog read and answered by the test.
#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/Updates/Appcast.h"
#include "Platform/Desktop/Updates/DesktopUpdater.h"
#include "Platform/Desktop/Updates/UpdateDownload.h"
#include "Platform/HttpSession.h"
#include "tests/Desktop/DesktopTestSupport.h"
#include "tests/Desktop/HostTestSupport.h"
#include "tests/Desktop/Services/Http/LoopbackHttpServer.h"
#include "tests/Desktop/Updates/TestSigningKey.h"

#include <QAbstractButton>
#include <QDir>
#include <QMessageBox>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

namespace desktop {
namespace {

using testing_http::LoopbackHttpServer;
using testing_http::Reply;
using testing_http::Request;

// RFC 8032's first test public key: a well-formed Ed25519 key.
constexpr const char* validKey = "11qYAYKxCrfVS/7zyWQHOg7hcvPapiMlrwIaaPcHURo=";

std::string feed(const std::string& items) {
    return R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
  <channel>
    <title>Quillet Changelog</title>
)" + items +
           R"(
  </channel>
</rss>
)";
}

// An item with its versions as elements and an optional channel.
std::string item(const std::string& version, const std::string& shortVersion,
                 const std::string& channel = "") {
    std::string s = "<item><title>Version " + shortVersion + "</title>";
    if (!version.empty())
        s += "<sparkle:version>" + version + "</sparkle:version>";
    if (!shortVersion.empty())
        s += "<sparkle:shortVersionString>" + shortVersion + "</sparkle:shortVersionString>";
    if (!channel.empty())
        s += "<sparkle:channel>" + channel + "</sparkle:channel>";
    s += R"(<enclosure url="https://downloads.corvane.com/quillet-)" + version + "-" +
         shortVersion + R"(.tar.gz" length="1000" type="application/octet-stream"/></item>)";
    return s;
}

// An item whose enclosure is `url`, with a declared length and a signature when given.
std::string enclosureItem(const std::string& version, const std::string& shortVersion,
                          const std::string& url, std::optional<std::size_t> length,
                          const std::string& signature, const std::string& channel = "") {
    std::string s = "<item><title>Version " + shortVersion + "</title><sparkle:version>" + version +
                    "</sparkle:version><sparkle:shortVersionString>" + shortVersion +
                    "</sparkle:shortVersionString>";
    if (!channel.empty())
        s += "<sparkle:channel>" + channel + "</sparkle:channel>";
    s += "<enclosure url=\"" + url + "\" type=\"application/octet-stream\"";
    if (length)
        s += " length=\"" + std::to_string(*length) + "\"";
    if (!signature.empty())
        s += " sparkle:edSignature=\"" + signature + "\"";
    return s + "/></item>";
}

std::string urlFor(const std::string& version, const std::string& shortVersion) {
    return "https://downloads.corvane.com/quillet-" + version + "-" + shortVersion + ".tar.gz";
}

std::string errorOf(std::string_view xml) {
    try {
        parseAppcast(xml);
    } catch (const AppcastError& e) {
        return e.what();
    }
    return "";
}

// --- reading feeds ---

TEST(Appcast, ReadsVersionsChannelsAndEnclosuresWhereverTheFeedPutsThem) {
    const auto xml = feed(R"(
    <item>
      <title><![CDATA[Quillet 1.3 &]]> friends</title>
      <sparkle:version>600</sparkle:version>
      <sparkle:shortVersionString> 1.3.0 </sparkle:shortVersionString>
      <enclosure url="https://downloads.corvane.com/q-600.tar.gz" length="1234"
                 type="application/octet-stream" sparkle:edSignature="c2lnbmF0dXJl"/>
    </item>
    <item xmlns:s="http://www.andymatuschak.org/xml-namespaces/sparkle">
      <s:channel>beta</s:channel>
      <enclosure url="https://downloads.corvane.com/q-640.tar.gz"
                 s:version="640" s:shortVersionString="1.4.0b1"/>
      <enclosure url="https://downloads.corvane.com/second.tar.gz" s:version="999"/>
    </item>
    <item>
      <sparkle:version>650</sparkle:version>
      <sparkle:channel>  </sparkle:channel>
      <enclosure url="https://downloads.corvane.com/q-650.tar.gz" sparkle:version="1"/>
    </item>
    <item>
      <sparkle:version xmlns:sparkle="urn:not-the-framework">700</sparkle:version>
      <other:version xmlns:other="urn:other">701</other:version>
      <enclosure url="https://downloads.corvane.com/q-700.tar.gz"/>
    </item>)");
    const auto appcast = parseAppcast(xml);
    EXPECT_EQ(appcast.title, "Quillet Changelog");
    ASSERT_EQ(appcast.items.size(), 3u);
    EXPECT_EQ(appcast.skippedItems, 1) << "versions in other namespaces are not versions";

    const auto& first = appcast.items[0];
    EXPECT_EQ(first.title, "Quillet 1.3 & friends");
    EXPECT_EQ(first.versions.version, "600");
    EXPECT_EQ(first.versions.shortVersionString, "1.3.0");
    EXPECT_FALSE(first.channel);
    EXPECT_EQ(first.url, "https://downloads.corvane.com/q-600.tar.gz");
    EXPECT_EQ(first.length, 1234u);
    EXPECT_EQ(first.edSignature, "c2lnbmF0dXJl");

    const auto& second = appcast.items[1];
    EXPECT_EQ(second.channel, "beta") << "any prefix bound to the framework's namespace";
    EXPECT_EQ(second.versions.version, "640");
    EXPECT_EQ(second.versions.shortVersionString, "1.4.0b1");
    EXPECT_EQ(second.url, "https://downloads.corvane.com/q-640.tar.gz") << "the first enclosure";
    EXPECT_FALSE(second.length);

    const auto& third = appcast.items[2];
    EXPECT_EQ(third.versions.version, "650") << "the item's element wins over the enclosure's";
    EXPECT_FALSE(third.channel) << "a blank channel is the default one";
}

TEST(Appcast, ItemsThatCannotBeOfferedAreSkippedAndTheRestStillCount) {
    const std::string longVersion(maxVersionLength + 1, '1');
    const auto xml = feed(R"x(
    <item><sparkle:version>900</sparkle:version></item>
    <item><sparkle:version>901</sparkle:version><enclosure length="5"/></item>
    <item><sparkle:version>902</sparkle:version><enclosure url="javascript:alert(1)"/></item>
    <item><sparkle:version>903</sparkle:version><enclosure url="file:///etc/passwd"/></item>
    <item><sparkle:version>904</sparkle:version><enclosure url="quillet-904.tar.gz"/></item>
    <item><sparkle:version>905</sparkle:version><enclosure url="https://"/></item>
    <item><title>No version</title><enclosure url="https://d.example/q.tar.gz"/></item>
    <item><sparkle:version>)x" +
                          longVersion +
                          R"(</sparkle:version><enclosure url="https://d.example/l.tar.gz"/></item>
    <item><sparkle:version>&lt;a href='https://evil.example'&gt;7&lt;/a&gt;</sparkle:version>
      <enclosure url="https://d.example/markup.tar.gz"/></item>
    <item><sparkle:version>906</sparkle:version>
      <enclosure url="https://d.example/&lt;b&gt;x&lt;/b&gt;.tar.gz"/></item>
    <item><sparkle:version>610</sparkle:version>
      <enclosure url="https://d.example/610.tar.gz" length="18446744073709551616"/></item>
    <item><sparkle:version>907</sparkle:version>
      <enclosure url="http://d.example/907.tar.gz"/></item>
    <item><sparkle:version>908</sparkle:version>
      <enclosure url="HTTP://127.0.0.1.nip.io/908.tar.gz"/></item>
    <item><sparkle:version>605</sparkle:version>
      <enclosure url="HTTPS://d.example/605.tar.gz" length="12abc"/></item>
    <item><sparkle:version>604</sparkle:version>
      <enclosure url="http://127.0.0.1:8000/604.tar.gz"/></item>)");
    const auto appcast = parseAppcast(xml);
    EXPECT_EQ(appcast.skippedItems, 12) << "plain http to another machine is no enclosure";
    ASSERT_EQ(appcast.items.size(), 3u);
    EXPECT_FALSE(appcast.items[0].length) << "a length beyond 64 bits is no length";
    EXPECT_FALSE(appcast.items[1].length);
    EXPECT_EQ(appcast.items[2].url, "http://127.0.0.1:8000/604.tar.gz") << "this machine is fine";

    // The newest items were unusable: the newest usable one is offered.
    auto update = newestUpdate(appcast, {}, {"600", "1.3.0"});
    ASSERT_TRUE(update);
    EXPECT_EQ(update->url, "https://d.example/610.tar.gz");
}

TEST(Appcast, MalformedAndHostileFeedsAreClearErrorsNotCrashes) {
    EXPECT_EQ(errorOf(""), "The feed is empty.");
    EXPECT_EQ(errorOf(" \n\t"), "The feed is empty.");
    EXPECT_EQ(errorOf("<feed xmlns='http://www.w3.org/2005/Atom'/>"),
              "The feed is not an RSS document.");
    EXPECT_EQ(errorOf("<rss version='2.0'/>"), "The feed has no channel.");
    EXPECT_EQ(errorOf("<rss version='2.0'><other/></rss>"), "The feed has no channel.");

    const auto mismatch = errorOf("<rss><channel><item><title>secret-looking</chanel></rss>");
    EXPECT_TRUE(mismatch.starts_with("The feed is not well-formed XML (line 1")) << mismatch;
    EXPECT_EQ(mismatch.find("chanel"), std::string::npos) << "the text quotes nothing of the feed";

    for (std::string_view bad :
         {std::string_view("<?xml version='1.0'?><!-- only a comment -->"),
          std::string_view("not xml at all"), std::string_view("<rss><channel></rss>"),
          std::string_view("<rss><channel/></rss><rss/>"),
          std::string_view("<rss><channel><title>a & b</title></channel></rss>"),
          std::string_view("<rss>\0<channel/></rss>", 23),
          std::string_view("\xff\xfe\x00<\x00r\x00", 7)})
        EXPECT_TRUE(errorOf(bad).starts_with("The feed is not well-formed XML"))
            << "for " << std::string(bad);

    // A good feed cut anywhere is an error, never an item read from half a tag.
    const auto good = feed(item("610", "1.3.1") + item("620", "1.4.0"));
    for (std::size_t cut = 1; cut < good.size() - 8; cut += 7)
        EXPECT_FALSE(errorOf(std::string_view(good).substr(0, cut)).empty()) << "cut at " << cut;

    // Entity expansion lives in document types, which feeds never have.
    const std::string laughs = R"(<?xml version="1.0"?>
<!DOCTYPE rss [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">
 <!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;"><!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">]>
<rss><channel><title>&d;&d;&d;&d;&d;&d;&d;&d;</title></channel></rss>)";
    EXPECT_EQ(errorOf(laughs), "The feed declares a document type, which update feeds never do.");
    EXPECT_EQ(errorOf(R"(<!DOCTYPE rss SYSTEM "file:///etc/passwd"><rss><channel/></rss>)"),
              "The feed declares a document type, which update feeds never do.");

    // Too large is refused before reading.
    std::string huge = feed("");
    huge.insert(huge.find("</channel>"), maxAppcastBytes, ' ');
    EXPECT_EQ(errorOf(huge), "The feed is larger than 4 MB.");
}

TEST(Appcast, LargeDeepAndLongFeedsParse) {
    // Ten thousand items, the newest in the middle.
    std::string items;
    for (int i = 0; i < 10000; ++i)
        items += item(std::to_string(i == 5000 ? 20000 : 1000 + i), "2." + std::to_string(i));
    const auto many = parseAppcast(feed(items));
    ASSERT_EQ(many.items.size(), 10000u);
    auto update = newestUpdate(many, {}, {"600", "1.3.0"});
    ASSERT_TRUE(update);
    EXPECT_EQ(update->versions.version, "20000");

    // Unknown elements nested deeply inside an item are skipped.
    std::string deep = "<item>";
    for (int i = 0; i < 50000; ++i)
        deep += "<x>";
    for (int i = 0; i < 50000; ++i)
        deep += "</x>";
    deep +=
        R"(<sparkle:version>700</sparkle:version><enclosure url="https://d.example/7"/></item>)";
    const auto nested = parseAppcast(feed(deep));
    ASSERT_EQ(nested.items.size(), 1u);
    EXPECT_EQ(nested.items[0].versions.version, "700");

    // A very long title is cut for the dialog.
    const auto longTitle = parseAppcast(feed("<item><title>" + std::string(100000, 'x') +
                                             "</title><sparkle:version>1</sparkle:version>"
                                             "<enclosure url='https://d.example/1'/></item>"));
    ASSERT_EQ(longTitle.items.size(), 1u);
    EXPECT_EQ(longTitle.items[0].title, std::string(maxTitleLength, 'x') + "\u2026");
}

// --- choosing the update ---

TEST(VersionComparison, ComparesDottedVersionsComponentByComponentNumerically) {
    struct Case {
        const char* a;
        const char* b;
        int expected;
    };
    const Case cases[] = {
        {"1.10", "1.9", 1},
        {"1.2", "1.2.0", 0},
        {"1.2.0.0", "1.2", 0},
        {"1.2.1", "1.2", 1},
        {"1.02", "1.2", 0},
        {"2", "10", -1},
        {"612", "600", 1},
        {"99999999999999999999999", "99999999999999999999998", 1},
        {"100000000000000000000000", "99999999999999999999999", 1},
        {"2.0", "2.0b1", 1},
        {"2.0b2", "2.0b10", -1},
        {"2.0b10", "2.0rc1", -1},
        {"2.0-rc1", "2.0", -1},
        {"2.0b1", "1.9", 1},
        // Pre-release tags: case ignored, dev < a = alpha < b = beta < rc < the release.
        {"2.0RC1", "2.0b1", 1},
        {"2.0rc1", "2.0RC1", 0},
        {"2.0-RC-1", "2.0rc1", 0},
        {"2.0B2", "2.0b1", 1},
        {"2.0a1", "2.0alpha1", 0},
        {"2.0Alpha3", "2.0beta1", -1},
        {"2.0beta2", "2.0b10", -1},
        {"2.0b1", "2.0RC1", -1},
        {"2.0rc9", "2.0", -1},
        {"2.0dev5", "2.0a1", -1},
        {"2.0pre1", "2.0dev1", -1},
        {"2.0x1", "2.0Y1", -1},
        {"2.0b", "2.0b1", -1},
        {"v1.4", "1.4", 0},
        {" 1.4 ", "1.4", 0},
        {"", "0", 0},
        {"", "0.0.1", -1},
        {"1..2", "1.0.2", 0},
    };
    for (const auto& c : cases) {
        const int got = compareVersions(c.a, c.b);
        EXPECT_EQ((got > 0) - (got < 0), c.expected) << c.a << " vs " << c.b;
        const int back = compareVersions(c.b, c.a);
        EXPECT_EQ((back > 0) - (back < 0), -c.expected) << c.b << " vs " << c.a;
    }
}

TEST(Appcast, NewestUpdateComesFromTheDefaultChannelUnlessMoreAreAllowed) {
    // Feed order is not version order.
    const auto appcast = parseAppcast(feed(item("610", "1.3.1") + item("640", "1.5.0b1", "beta") +
                                           item("620", "1.4.0") + item("650", "1.6.0n", "nightly") +
                                           item("605", "1.3.0.1") + item("620", "1.4.0-again")));
    const VersionPair running{"600", "1.3.0"};

    auto pick = [&](const std::set<std::string>& channels, const VersionPair& from) {
        auto u = newestUpdate(appcast, channels, from);
        return u ? u->versions.version : std::string("up to date");
    };
    EXPECT_EQ(pick({}, running), "620");
    EXPECT_EQ(newestUpdate(appcast, {}, running)->url, urlFor("620", "1.4.0"))
        << "of equal versions the first in the feed";
    EXPECT_EQ(pick({"beta"}, running), "640");
    EXPECT_EQ(pick({"beta", "nightly"}, running), "650");
    EXPECT_EQ(pick({"nightly"}, running), "650");
    EXPECT_EQ(pick({"Beta"}, running), "620") << "channel names are exact";

    EXPECT_EQ(pick({}, {"620", "1.4.0"}), "up to date") << "the same version is not newer";
    EXPECT_EQ(pick({"beta"}, {"640", "1.5.0b1"}), "up to date");
    EXPECT_EQ(pick({"beta", "nightly"}, {"700", "2.0"}), "up to date");
    EXPECT_FALSE(newestUpdate(parseAppcast(feed("")), {"beta"}, running)) << "an empty feed";
}

TEST(VersionComparison, BuildNumbersCompareWithBuildNumbersAndShownVersionsOnlyWithoutThem) {
    struct Case {
        VersionPair a, b;
        std::optional<int> expected;
    };
    const Case cases[] = {
        // Build numbers decide whenever both sides have one, whatever the shown versions say.
        {{"610", "1.3.1"}, {"600", "1.3.0"}, 1},
        {{"590", "1.4.0"}, {"600", "1.3.0"}, -1},
        {{"600", "2.0"}, {"600", "1.0"}, 0},
        {{"1.10.2", ""}, {"1.9.7", "9.9"}, 1},
        // Shown versions only when neither side has a build number.
        {{"", "1.4.0"}, {"", "1.3.0"}, 1},
        {{"", "2.0RC1"}, {"", "2.0b1"}, 1},
        {{"", "1.4"}, {"", "1.4.0"}, 0},
        // A build number and a shown version cannot be ordered.
        {{"", "1.4.0"}, {"600", ""}, std::nullopt},
        {{"", "1.4.0"}, {"600", "1.3.0"}, std::nullopt},
        {{"590", "1.4.0"}, {"", "1.3.0"}, std::nullopt},
        {{"", ""}, {"", ""}, std::nullopt},
        {{"", "1.0"}, {"", ""}, std::nullopt},
    };
    auto signOf = [](std::optional<int> v) -> std::optional<int> {
        if (!v)
            return std::nullopt;
        return (*v > 0) - (*v < 0);
    };
    auto negated = [](std::optional<int> v) -> std::optional<int> {
        if (!v)
            return std::nullopt;
        return -*v;
    };
    for (const auto& c : cases) {
        EXPECT_EQ(signOf(compareVersionPairs(c.a, c.b)), c.expected)
            << c.a.displayText() << " vs " << c.b.displayText();
        EXPECT_EQ(signOf(compareVersionPairs(c.b, c.a)), negated(c.expected))
            << c.b.displayText() << " vs " << c.a.displayText();
    }
}

TEST(Appcast, ItemsThatCannotBeOrderedAgainstTheRunningVersionAreNotOffered) {
    // "600" running, an item with only "1.4.0": nothing says which is newer.
    const auto shortOnly = parseAppcast(feed(item("", "1.4.0")));
    ASSERT_EQ(shortOnly.items.size(), 1u);
    EXPECT_FALSE(newestUpdate(shortOnly, {}, {"600", ""}));
    EXPECT_FALSE(newestUpdate(shortOnly, {}, {"600", "1.3.0"}));
    EXPECT_TRUE(newestUpdate(shortOnly, {}, {"", "1.3.0"}));
    EXPECT_FALSE(newestUpdate(shortOnly, {}, {"", "1.4.0"}));

    const auto both = parseAppcast(feed(item("590", "1.4.0")));
    EXPECT_FALSE(newestUpdate(both, {}, {"600", "1.3.0"}))
        << "with build numbers on both sides they decide, whatever the shown versions say";
    EXPECT_FALSE(newestUpdate(both, {}, {"", "1.3.0"})) << "the running build is unknown";

    // Among items that can be ordered the newest wins; the others are passed over.
    const auto mixed = parseAppcast(feed(item("", "9.0") + item("620", "1.4.0") + item("610", "")));
    const auto pick = newestUpdate(mixed, {}, {"600", "1.3.0"});
    ASSERT_TRUE(pick);
    EXPECT_EQ(pick->versions.version, "620");

    EXPECT_EQ((VersionPair{"600", "1.3.0"}.displayText()), "1.3.0 (600)");
    EXPECT_EQ((VersionPair{"1.3.0", "1.3.0"}.displayText()), "1.3.0");
    EXPECT_EQ((VersionPair{"600", ""}.displayText()), "600");
}

// --- configuration and the dialog ---

platform::Bundle bundleWith(const std::string& feedURL, const std::string& key) {
    platform::Bundle b;
    b.infoDictionary = platform::Dictionary{{"SUFeedURL", feedURL},
                                            {"SUPublicEDKey", key},
                                            {"CFBundleVersion", "600"},
                                            {"CFBundleShortVersionString", "1.3.0"}};
    return b;
}

TEST(DesktopUpdater, TheFeedMustUseHttpsOrStayOnThisMachineAndTheKeyMustBeAnEdKey) {
    auto check = [](const std::string& feedURL, const std::string& key = validKey) {
        auto r = DesktopUpdater::feedRequest(bundleWith(feedURL, key));
        return r.error.empty() ? "ok " + r.url : r.error;
    };
    EXPECT_EQ(check("  https://updates.corvane.com/quillet/appcast.xml\n"),
              "ok https://updates.corvane.com/quillet/appcast.xml");
    EXPECT_EQ(check("http://127.0.0.1:8080/appcast.xml"), "ok http://127.0.0.1:8080/appcast.xml");
    EXPECT_EQ(check("http://127.8.9.10/a.xml"), "ok http://127.8.9.10/a.xml");
    EXPECT_EQ(check("http://LocalHost/a.xml"), "ok http://LocalHost/a.xml");
    EXPECT_EQ(check("http://[::1]:9/a.xml"), "ok http://[::1]:9/a.xml");

    const std::string needsTLS = "The update feed address must use HTTPS.";
    EXPECT_EQ(check("http://updates.corvane.com/appcast.xml"), needsTLS);
    EXPECT_EQ(check("http://127.0.0.1.nip.io/appcast.xml"), needsTLS);
    EXPECT_EQ(check("http://10.0.0.1/appcast.xml"), needsTLS);
    EXPECT_EQ(check("ftp://updates.corvane.com/appcast.xml"), needsTLS);
    EXPECT_EQ(check("file:///tmp/appcast.xml"), "The update feed address is not valid.");
    EXPECT_EQ(check("appcast.xml"), "The update feed address is not valid.");
    EXPECT_EQ(check("https://exa mple.com/a"), "The update feed address is not valid.");
    EXPECT_EQ(check(""), "No update feed is configured.");

    const std::string badKey = "The update signing key is not valid.";
    EXPECT_EQ(check("https://u.example/a", "REPLACE_WITH_RELEASE_PUBLIC_ED_KEY"), badKey);
    EXPECT_EQ(check("https://u.example/a", "c2hvcnQ="), badKey) << "too short";
    EXPECT_EQ(check("https://u.example/a", "11qYAYKxCrfVS/7zyWQHOg7hcvPapiMlrwIaaPcHURo*"), badKey);
    EXPECT_EQ(check("https://u.example/a", ""), badKey);
    platform::Bundle numberKey = bundleWith("https://u.example/a", validKey);
    numberKey.infoDictionary =
        platform::Dictionary{{"SUFeedURL", "https://u.example/a"}, {"SUPublicEDKey", 42}};
    EXPECT_EQ(DesktopUpdater::feedRequest(numberKey).error, badKey);
}

platform::HttpResponse answer(int status,
                              const std::string& url = "https://updates.corvane.com/appcast.xml") {
    platform::HttpResponse r;
    r.url = url;
    r.statusCode = status;
    r.httpVersion = "HTTP/1.1";
    return r;
}

TEST(DesktopUpdater, JudgesAnswersAndNamesTheOutcomeInTheDialog) {
    const VersionPair running{"600", "1.3.0"};
    const auto body = feed(item("610", "1.3.1") + item("640", "1.5.0", "beta"));

    auto update = DesktopUpdater::judge(answer(200), body, {"beta"}, running);
    ASSERT_EQ(update.kind, UpdateCheckOutcome::Kind::updateAvailable);
    ASSERT_TRUE(update.update);
    EXPECT_EQ(update.update->url, urlFor("640", "1.5.0"));
    update.file = "/home/u/.cache/quillet/Updates/quillet-640.tar.gz";
    auto spec = update.alert("Quillet");
    EXPECT_EQ(spec.style, platform::AlertStyle::informational);
    EXPECT_EQ(spec.messageText, "A new version of Quillet is available.");
    EXPECT_EQ(spec.informativeText,
              "Quillet 1.5.0 (640) is available \u2014 you have 1.3.0 (600).\n\nIts download is "
              "verified and kept as:\n/home/u/.cache/quillet/Updates/quillet-640.tar.gz\n\n"
              "Updates are not installed automatically on this system.");
    EXPECT_EQ(spec.buttons, (std::vector<std::string>{"Show in Folder", "Later"}));

    // An update whose download was refused offers nothing.
    auto refused = update;
    refused.kind = UpdateCheckOutcome::Kind::refused;
    refused.error = "The update has no signature.";
    spec = refused.alert("Quillet");
    EXPECT_EQ(spec.style, platform::AlertStyle::warning);
    EXPECT_EQ(spec.messageText, "Quillet 1.5.0 (640) is available, but its download was refused.");
    EXPECT_EQ(spec.informativeText,
              "The update has no signature.\n\nNothing was kept or installed.");
    EXPECT_EQ(spec.buttons, std::vector<std::string>{"OK"});

    auto current =
        DesktopUpdater::judge(answer(204), feed(item("600", "1.3.0")), {"beta"}, running);
    ASSERT_EQ(current.kind, UpdateCheckOutcome::Kind::upToDate);
    EXPECT_EQ(current.alert("Quillet").messageText, "You\u2019re up to date.");
    EXPECT_EQ(current.alert("Quillet").informativeText,
              "Quillet 1.3.0 (600) is the newest version available.");

    auto missing = DesktopUpdater::judge(answer(404), body, {}, running);
    ASSERT_EQ(missing.kind, UpdateCheckOutcome::Kind::failed);
    EXPECT_EQ(missing.error, "The update server answered with HTTP status 404.");
    EXPECT_EQ(missing.alert("Quillet").style, platform::AlertStyle::warning);
    EXPECT_EQ(missing.alert("Quillet").messageText, "Quillet couldn\u2019t check for updates.");
    EXPECT_EQ(DesktopUpdater::judge(answer(302), body, {}, running).kind,
              UpdateCheckOutcome::Kind::failed);

    // Where the feed finally came from counts, not only where it was asked for.
    const std::string downgraded =
        "The update feed was redirected to an address that does not use HTTPS.";
    EXPECT_EQ(
        DesktopUpdater::judge(answer(200, "http://mirror.example/appcast.xml"), body, {}, running)
            .error,
        downgraded);
    EXPECT_EQ(
        DesktopUpdater::judge(answer(200, "ftp://mirror.example/appcast.xml"), body, {}, running)
            .error,
        downgraded);
    EXPECT_EQ(
        DesktopUpdater::judge(answer(200, "http://127.0.0.1:9/appcast.xml"), body, {}, running)
            .kind,
        UpdateCheckOutcome::Kind::updateAvailable);

    auto broken = DesktopUpdater::judge(answer(200), "<rss><channel>", {}, running);
    ASSERT_EQ(broken.kind, UpdateCheckOutcome::Kind::failed);
    EXPECT_TRUE(
        broken.error.starts_with("The update feed is not valid. The feed is not well-formed XML"))
        << broken.error;
}

// --- whole cycles ---

struct RecordingDelegate : platform::UpdaterDelegate {
    std::set<std::string> channels;
    int channelRequests = 0;
    std::vector<std::optional<std::string>> finished;
    bool calledOffMain = false;
    std::thread::id mainThread = std::this_thread::get_id();

    std::set<std::string> allowedChannels() override {
        calledOffMain |= std::this_thread::get_id() != mainThread;
        ++channelRequests;
        return channels;
    }
    void didFinishUpdateCycle(const std::optional<std::string>& error) override {
        calledOffMain |= std::this_thread::get_id() != mainThread;
        finished.push_back(error);
    }
};

// A desktop host whose bundle names `feedURL`, with every dialog recorded and answered.
class UpdaterRig {
    test::TempDir dir_;

public:
    explicit UpdaterRig(const std::string& feedURL, const std::string& publicKey = validKey) {
        std::ofstream(dir_.sub("Info.json")) << nlohmann::json{
            {"CFBundleName", "Quillet"},
            {"CFBundleVersion", "600"},
            {"CFBundleShortVersionString", "1.3.0"},
            {"SUFeedURL", feedURL},
            {"SUPublicEDKey", publicKey}}.dump();
        host = std::make_unique<DesktopHost>(test::isolatedHostOptions(dir_, {}));
        host->desktopAlerts().onShow = [this](QMessageBox& box) {
            std::vector<std::string> titles;
            for (auto* b : box.buttons())
                titles.push_back(b->text().toStdString());
            dialogs.push_back({box.text().toStdString(), box.informativeText().toStdString(),
                               titles, updater && updater->canCheckForUpdates()});
            const auto index = std::min<qsizetype>(answer, box.buttons().size() - 1);
            QMetaObject::invokeMethod(
                &box, [&box, index] { box.buttons().at(index)->click(); }, Qt::QueuedConnection);
        };
    }

    // Starts the host's own updater (whose "Download" would open a real browser).
    void startHostsUpdater() { attach(host->updaterFramework()); }
    // Starts an updater with these options; the folders it opens are recorded, and it keeps
    // its downloads in downloads() unless the options name another directory.
    void start(DesktopUpdater::Options options = {}) {
        options.openURL = [this](const std::string& url) { opened.push_back(url); };
        if (options.downloadDirectory.empty())
            options.downloadDirectory = downloads();
        custom_ = std::make_unique<DesktopUpdaterFramework>(std::move(options));
        attach(*custom_);
    }
    void attach(platform::UpdaterFramework& framework) {
        updater = framework.startStandardUpdater(delegate);
        observation = updater->observeCanCheckForUpdates(
            [this](bool v) {
                calledOffMain |= std::this_thread::get_id() != delegate->mainThread;
                flags.push_back(v);
            },
            true);
    }

    std::string downloads() const { return dir_.sub("downloads"); }
    // The files in downloads(), by name.
    std::vector<std::string> kept() const {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(downloads().c_str())) {
            while (const auto* e = ::readdir(d))
                if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..")
                    names.emplace_back(e->d_name);
            ::closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    bool waitForCycles(std::size_t n) {
        return test::spinUntil([&] { return delegate->finished.size() >= n; }, 15000);
    }

    struct Dialog {
        std::string text, informative;
        std::vector<std::string> buttons;
        bool couldCheckMeanwhile;
    };
    // Which button the test presses.
    int answer = 0;
    std::vector<std::string> opened;

    std::unique_ptr<DesktopHost> host;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<platform::Updater> updater;
    std::unique_ptr<platform::Observation> observation;
    std::vector<bool> flags;
    bool calledOffMain = false;
    std::vector<Dialog> dialogs;

private:
    std::unique_ptr<DesktopUpdaterFramework> custom_;
};

TEST(DesktopUpdater, ACheckNamesTheNewestUpdateAndEndsTheCycleOnTheMainThread) {
    std::mutex mutex;
    std::string served;
    std::map<std::string, std::string> files = {{"/downloads/quillet-640.tar.gz", "1.5.0 beta"},
                                                {"/downloads/quillet-620.tar.gz", "1.4.0"}};
    LoopbackHttpServer server([&](const Request& r) {
        std::lock_guard lock(mutex);
        if (auto file = files.find(r.target); file != files.end())
            return Reply{200, "OK", {}, file->second};
        return Reply{200, "OK", {{"Content-Type", "application/rss+xml"}}, served};
    });
    const test::TestSigningKey key;
    auto signedItem = [&](const std::string& version, const std::string& shortVersion,
                          const std::string& channel = "") {
        const auto path = "/downloads/quillet-" + version + ".tar.gz";
        return enclosureItem(version, shortVersion, server.url(path), files.at(path).size(),
                             key.sign(files.at(path)), channel);
    };
    served = feed(item("610", "1.3.1") + signedItem("640", "1.5.0", "beta") +
                  signedItem("620", "1.4.0"));
    UpdaterRig rig(server.url("/quillet/appcast.xml"), key.publicKeyBase64());
    rig.delegate->channels = {"beta"};
    rig.start();
    EXPECT_EQ(rig.flags, std::vector<bool>{true}) << "observed once at once";

    rig.updater->checkForUpdates();
    EXPECT_FALSE(rig.updater->canCheckForUpdates());
    EXPECT_EQ(rig.flags, (std::vector<bool>{true, false}));
    rig.updater->checkForUpdates(); // joins the running cycle
    ASSERT_TRUE(rig.waitForCycles(1));

    ASSERT_EQ(rig.dialogs.size(), 1u);
    EXPECT_EQ(rig.dialogs[0].text, "A new version of Quillet is available.");
    EXPECT_EQ(rig.dialogs[0].informative,
              "Quillet 1.5.0 (640) is available \u2014 you have 1.3.0 (600).\n\nIts download is "
              "verified and kept as:\n" +
                  rig.downloads() +
                  "/quillet-640.tar.gz\n\nUpdates are not installed automatically on this "
                  "system.");
    EXPECT_FALSE(rig.dialogs[0].couldCheckMeanwhile) << "no second check while the dialog shows";
    EXPECT_EQ(rig.delegate->finished, std::vector<std::optional<std::string>>{std::nullopt});
    EXPECT_TRUE(rig.updater->canCheckForUpdates());
    EXPECT_EQ(rig.flags, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(rig.dialogs[0].buttons, (std::vector<std::string>{"Show in Folder", "Later"}));
    EXPECT_EQ(rig.opened, std::vector<std::string>{"file://" + rig.downloads()});
    EXPECT_EQ(rig.kept(), std::vector<std::string>{"quillet-640.tar.gz"});
    std::ifstream keptFile(rig.downloads() + "/quillet-640.tar.gz", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(keptFile), {}), "1.5.0 beta");

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u) << "the second request joined the first cycle";
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/quillet/appcast.xml");
    EXPECT_EQ(requests[0].header("User-Agent"), "Quillet/1.3.0");
    EXPECT_EQ(requests[1].target, "/downloads/quillet-640.tar.gz") << "the chosen update only";

    // The channels are asked again at each check: without beta, 1.4.0. "Later" opens nothing.
    rig.delegate->channels = {};
    rig.answer = 1;
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCycles(2));
    ASSERT_EQ(rig.dialogs.size(), 2u);
    EXPECT_TRUE(rig.dialogs[1].informative.starts_with("Quillet 1.4.0 (620) is available"))
        << rig.dialogs[1].informative;
    EXPECT_EQ(rig.delegate->channelRequests, 2);
    EXPECT_EQ(rig.opened.size(), 1u);
    EXPECT_EQ(rig.kept(), std::vector<std::string>{"quillet-620.tar.gz"})
        << "only the download offered now stays";

    // Nothing newer than what runs.
    {
        std::lock_guard lock(mutex);
        served = feed(item("600", "1.3.0") + item("590", "1.2.9"));
    }
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCycles(3));
    ASSERT_EQ(rig.dialogs.size(), 3u);
    EXPECT_EQ(rig.dialogs[2].text, "You\u2019re up to date.");
    EXPECT_EQ(rig.dialogs[2].informative, "Quillet 1.3.0 (600) is the newest version available.");
    EXPECT_EQ(rig.dialogs[2].buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(rig.delegate->finished.back(), std::nullopt);
    EXPECT_EQ(rig.flags, (std::vector<bool>{true, false, true, false, true, false, true}));
    EXPECT_FALSE(rig.delegate->calledOffMain);
    EXPECT_FALSE(rig.calledOffMain);
}

TEST(DesktopUpdater, FailedDownloadsAndBadFeedsAreReportedAndEndTheCycleWithTheError) {
    std::atomic<int> mode{0};
    LoopbackHttpServer server([&](const Request&) {
        switch (mode.load()) {
        case 0:
            return Reply{404, "Not Found", {}, "<html>gone</html>"};
        case 1:
            return Reply{200, "OK", {}, "<rss><channel><item></rss>"};
        default:
            Reply r;
            r.hang = true;
            return r;
        }
    });
    UpdaterRig rig(server.url("/appcast.xml"));
    rig.start();

    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCycles(1));
    const std::string notFound = "The update server answered with HTTP status 404.";
    EXPECT_EQ(rig.dialogs.at(0).text, "Quillet couldn\u2019t check for updates.");
    EXPECT_EQ(rig.dialogs.at(0).informative, notFound);
    EXPECT_EQ(rig.delegate->finished.at(0), notFound);

    mode = 1;
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCycles(2));
    EXPECT_TRUE(rig.dialogs.at(1).informative.starts_with(
        "The update feed is not valid. The feed is not well-formed XML"))
        << rig.dialogs.at(1).informative;
    EXPECT_EQ(rig.delegate->finished.at(1), rig.dialogs.at(1).informative);
    EXPECT_EQ(rig.flags, (std::vector<bool>{true, false, true, false, true}));

    // A server that never answers: the deadline (short here) ends the download and closes the
    // connection.
    mode = 2;
    rig.flags.clear();
    DesktopUpdater::Options shortDeadline;
    shortDeadline.timeout = 0.5;
    rig.start(shortDeadline);
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCycles(3));
    EXPECT_EQ(rig.dialogs.at(2).informative,
              "The update feed could not be downloaded. The request timed out.");
    EXPECT_TRUE(test::spinUntil([&] { return server.closedByClient() == 1; }));
    EXPECT_TRUE(rig.updater->canCheckForUpdates());
    EXPECT_EQ(rig.flags, (std::vector<bool>{true, false, true}));
}

TEST(DesktopUpdater, AFeedFollowsRedirectsOnlyWhileEachHopIsSecureAndStopsAtItsSizeLimit) {
    LoopbackHttpServer server([](const Request& r) {
        if (r.target == "/old.xml")
            return Reply{301, "Moved Permanently", {{"Location", "/appcast.xml"}}, ""};
        if (r.target == "/appcast.xml")
            return Reply{200, "OK", {}, feed(item("620", "1.4.0"))};
        if (r.target == "/via-plain.xml") // clear text to another machine, then back here
            return Reply{
                302, "Found", {{"Location", "http://updates.corvane.example/old.xml"}}, ""};
        // A feed past the limit whose end never comes: only a download that stops at the
        // limit can end before the deadline.
        Reply huge{200, "OK", {}, std::string(maxAppcastBytes + 1, ' ')};
        huge.announcedLength = std::size_t{64} << 20;
        return huge;
    });
    {
        UpdaterRig rig(server.url("/old.xml"));
        rig.start();
        rig.updater->checkForUpdates();
        ASSERT_TRUE(rig.waitForCycles(1));
        // The feed's item is unsigned: it is named and refused, and its download never asked for.
        EXPECT_EQ(rig.dialogs.at(0).text,
                  "Quillet 1.4.0 (620) is available, but its download was refused.");
        ASSERT_EQ(server.requests().size(), 2u);
        EXPECT_EQ(server.requests()[1].target, "/appcast.xml");
    }
    {
        UpdaterRig rig(server.url("/via-plain.xml"));
        rig.start();
        rig.updater->checkForUpdates();
        ASSERT_TRUE(rig.waitForCycles(1));
        const std::string refused =
            "The update feed could not be downloaded. The server redirected the request to an "
            "address that does not use HTTPS; the redirect was not followed.";
        EXPECT_EQ(rig.dialogs.at(0).informative, refused);
        EXPECT_EQ(rig.delegate->finished.at(0), refused);
        EXPECT_EQ(server.requests().size(), 3u);
    }
    {
        UpdaterRig rig(server.url("/huge.xml"));
        rig.start();
        rig.updater->checkForUpdates();
        ASSERT_TRUE(rig.waitForCycles(1));
        EXPECT_EQ(rig.dialogs.at(0).informative,
                  "The update feed could not be downloaded. The feed is larger than 4 MB.");
        EXPECT_TRUE(test::spinUntil([&] { return server.closedByClient() == 1; }))
            << "the download stops at the limit";
    }
}

TEST(DesktopUpdater, UnreachableAndRefusedFeedsEndTheCycleWithoutTouchingTheNetwork) {
    {
        UpdaterRig rig("http://127.0.0.1:" + std::to_string(LoopbackHttpServer::unusedPort()) +
                       "/appcast.xml");
        rig.startHostsUpdater();
        rig.updater->checkForUpdates();
        ASSERT_TRUE(rig.waitForCycles(1));
        EXPECT_EQ(rig.dialogs.at(0).informative,
                  "The update feed could not be downloaded. Could not connect to the server.");
        EXPECT_TRUE(rig.updater->canCheckForUpdates());
    }
    {
        // Plain http to another machine is never fetched.
        UpdaterRig rig("http://updates.corvane.com/appcast.xml");
        rig.startHostsUpdater();
        rig.updater->checkForUpdates();
        EXPECT_TRUE(rig.delegate->finished.empty()) << "the cycle ends on a later turn";
        EXPECT_TRUE(rig.dialogs.empty());
        ASSERT_TRUE(rig.waitForCycles(1));
        EXPECT_EQ(rig.dialogs.at(0).informative, "The update feed address must use HTTPS.");
        EXPECT_EQ(rig.delegate->finished.at(0), "The update feed address must use HTTPS.");
        EXPECT_EQ(rig.flags, (std::vector<bool>{true, false, true}));
    }
}

TEST(DesktopUpdater, AnUpdaterThatGoesMidDownloadCancelsItQuietly) {
    LoopbackHttpServer server([](const Request&) {
        Reply r;
        r.hang = true;
        return r;
    });
    UpdaterRig rig(server.url("/appcast.xml"));
    rig.start();
    rig.updater->checkForUpdates();
    // The download starts from the main loop.
    ASSERT_TRUE(test::spinUntil([&] { return server.requests().size() == 1; }));
    rig.observation.reset();
    rig.updater.reset();
    EXPECT_TRUE(test::spinUntil([&] { return server.closedByClient() == 1; }))
        << "the transfer is removed and its connection closed";
    // Let the cancelled completion arrive: it finds nobody to tell.
    bool drained = false;
    rig.host->runLoop().post([&] { drained = true; });
    ASSERT_TRUE(test::spinUntil([&] { return drained; }));
    EXPECT_TRUE(rig.dialogs.empty());
    EXPECT_TRUE(rig.delegate->finished.empty());
}

TEST(DesktopUpdater, OnlyADownloadThatTheBundlesKeySignedIsOfferedAndKept) {
    // What the server has at /quillet-640.tar.gz and what the feed says of it, case by case.
    struct Served {
        std::string file;
        std::optional<std::size_t> length;
        std::string signature;
        int status = 200;
    };
    std::mutex mutex;
    Served current;
    LoopbackHttpServer server([&](const Request& r) {
        std::lock_guard lock(mutex);
        if (r.target == "/quillet-640.tar.gz")
            return Reply{current.status, "OK", {}, current.file};
        if (r.target == "/hop.tar.gz")
            return Reply{302, "Found", {{"Location", "http://downloads.corvane.example/q"}}, ""};
        const auto url = server.url(current.status == 302 ? "/hop.tar.gz" : "/quillet-640.tar.gz");
        return Reply{200,
                     "OK",
                     {},
                     feed(enclosureItem("640", "1.5.0", url, current.length, current.signature))};
    });
    const test::TestSigningKey key, otherKey;
    UpdaterRig rig(server.url("/appcast.xml"), key.publicKeyBase64());
    DesktopUpdater::Options options;
    options.maxDownloadBytes = 65536;
    rig.start(options);

    const std::string file(20000, 'q');
    std::string flippedFile = file;
    flippedFile[12345] ^= 0x10;
    const auto rawSignature = key.signature(test::bytesOf(file));
    auto flippedSignature = rawSignature;
    flippedSignature[40] ^= 0x01;
    const std::string mismatch = "The update\u2019s signature does not match the download.";
    struct Case {
        const char* name;
        Served served;
        std::string refusal;
        bool downloaded;
    };
    const Case cases[] = {
        {"no signature", {file, file.size(), ""}, "The update has no signature.", false},
        {"malformed base64",
         {file, file.size(), key.sign(file).substr(0, 80) + "!!!!!!!="},
         "The update\u2019s signature is malformed.",
         false},
        {"a 63-byte signature",
         {file, file.size(), test::base64(std::span(rawSignature).first(63))},
         "The update\u2019s signature is malformed.",
         false},
        {"a bit flipped in the file", {flippedFile, file.size(), key.sign(file)}, mismatch, true},
        {"a bit flipped in the signature",
         {file, file.size(), test::base64(flippedSignature)},
         mismatch,
         true},
        {"another key's signature", {file, file.size(), otherKey.sign(file)}, mismatch, true},
        {"shorter than the feed says",
         {file, file.size() + 1, key.sign(file)},
         "The download is 20000 bytes long, but the feed says 20001 bytes.",
         true},
        {"longer than the feed says",
         {file, file.size() - 1, key.sign(file.substr(0, file.size() - 1))},
         "The download is longer than the 19999 bytes the feed says.",
         true},
        {"larger than any update",
         {std::string(70000, 'q'), std::nullopt, key.sign(std::string(70000, 'q'))},
         "The update is larger than 65536 bytes.",
         true},
        {"declared larger than any update",
         {file, 70000, key.sign(file)},
         "The update is larger than 65536 bytes.",
         false},
        {"an error page",
         {file, file.size(), key.sign(file), 404},
         "The download server answered with HTTP status 404.",
         true},
        {"redirected to clear text",
         {file, file.size(), key.sign(file), 302},
         "The update could not be downloaded. The server redirected the request to an address "
         "that does not use HTTPS; the redirect was not followed.",
         true},
    };
    std::size_t cycles = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(mutex);
            current = c.served;
        }
        const auto asked = server.requests().size();
        rig.updater->checkForUpdates();
        ASSERT_TRUE(rig.waitForCycles(++cycles));
        const auto& dialog = rig.dialogs.back();
        EXPECT_EQ(dialog.text, "Quillet 1.5.0 (640) is available, but its download was refused.");
        EXPECT_EQ(dialog.informative, c.refusal + "\n\nNothing was kept or installed.");
        EXPECT_EQ(dialog.buttons, std::vector<std::string>{"OK"}) << "nothing is offered";
        EXPECT_EQ(rig.delegate->finished.back(), c.refusal);
        EXPECT_EQ(server.requests().size() - asked, c.downloaded ? 2u : 1u)
            << "an item that can never verify is not downloaded";
        EXPECT_TRUE(rig.kept().empty());
        EXPECT_TRUE(rig.opened.empty());
        EXPECT_TRUE(rig.updater->canCheckForUpdates());
    }

    // The same file correctly signed, without a declared length, is offered and kept.
    {
        std::lock_guard lock(mutex);
        current = {file, std::nullopt, key.sign(file)};
    }
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCycles(++cycles));
    EXPECT_EQ(rig.dialogs.back().text, "A new version of Quillet is available.");
    EXPECT_EQ(rig.dialogs.back().buttons, (std::vector<std::string>{"Show in Folder", "Later"}));
    EXPECT_EQ(rig.delegate->finished.back(), std::nullopt);
    EXPECT_EQ(rig.kept(), std::vector<std::string>{"quillet-640.tar.gz"});
    EXPECT_EQ(rig.opened, std::vector<std::string>{"file://" + rig.downloads()});
}

TEST(Appcast, TakesTheEnclosureBuiltForThisSystemElseOneForEverySystem) {
    const auto xml = feed(R"(
    <item><sparkle:version>640</sparkle:version>
      <enclosure url="https://d.example/q-640.zip" sparkle:os="macos" length="10"/>
      <enclosure url="https://d.example/q-640.tar.gz" length="20"/>
      <enclosure url="https://d.example/q-640-linux.tar.gz" sparkle:os=" Linux " length="0"/>
      <enclosure url="https://d.example/q-640-linux-2.tar.gz" sparkle:os="linux"/>
    </item>
    <item><sparkle:version>650</sparkle:version>
      <enclosure url="https://d.example/q-650.exe" sparkle:os="windows"/>
      <enclosure url="https://d.example/q-650.tar.gz"/>
    </item>
    <item><sparkle:version>660</sparkle:version>
      <enclosure url="https://d.example/q-660.zip" sparkle:os="macos"/>
      <enclosure url="https://d.example/q-660.exe" sparkle:os="windows"/>
    </item>)");
    const auto appcast = parseAppcast(xml);
    ASSERT_EQ(appcast.items.size(), 2u);
    EXPECT_EQ(appcast.skippedItems, 1) << "nothing in it runs here";
    EXPECT_EQ(appcast.items[0].url, "https://d.example/q-640-linux.tar.gz")
        << "this system's, wherever it stands, the first of them";
    EXPECT_FALSE(appcast.items[0].length) << "a length of 0 is an unknown length";
    EXPECT_EQ(appcast.items[1].url, "https://d.example/q-650.tar.gz")
        << "one for every system, not another system's before it";

    AppcastItem zero;
    zero.length = 0;
    EXPECT_EQ(updateDownloadLimit(zero, 65536), 65536u) << "bounded all the same";
}

TEST(DesktopUpdater, AnUnknownLengthStillDownloadsAndOnlyTheOfferedDownloadStaysInTheCache) {
    std::mutex mutex;
    std::string items;
    std::map<std::string, std::string> files;
    LoopbackHttpServer server([&](const Request& r) {
        std::lock_guard lock(mutex);
        if (auto it = files.find(r.target); it != files.end())
            return Reply{200, "OK", {}, it->second};
        if (r.target == "/appcast.xml")
            return Reply{200, "OK", {}, feed(items)};
        return Reply{404, "Not Found", {}, ""};
    });
    const test::TestSigningKey key;
    UpdaterRig rig(server.url("/appcast.xml"), key.publicKeyBase64());
    DesktopUpdater::Options options;
    options.maxDownloadBytes = 65536;
    rig.start(options);

    // Earlier downloads, a write that stopped half-way, and something that is not ours to take.
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(rig.downloads() + "/a-folder")));
    for (const char* old : {"quillet-620.tar.gz", "quillet-630.tar.gz", ".download-Xq81Zp"})
        std::ofstream(rig.downloads() + "/" + old) << "old";

    const std::string linuxFile(3000, 'l');
    const std::string macFile(1000, 'm');
    {
        std::lock_guard lock(mutex);
        files = {{"/quillet-640-linux.tar.gz", linuxFile}, {"/quillet-640.zip", macFile}};
        // The other system's file first, signed too; this system's with length="0".
        items = "<item><sparkle:version>640</sparkle:version>"
                "<sparkle:shortVersionString>1.5.0</sparkle:shortVersionString>"
                "<enclosure url=\"" +
                server.url("/quillet-640.zip") + "\" sparkle:os=\"macos\" length=\"1000\"" +
                " sparkle:edSignature=\"" + key.sign(macFile) + "\"/>" + "<enclosure url=\"" +
                server.url("/quillet-640-linux.tar.gz") + "\" sparkle:os=\"linux\" length=\"0\"" +
                " sparkle:edSignature=\"" + key.sign(linuxFile) + "\"/></item>";
    }
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCycles(1));
    EXPECT_EQ(rig.delegate->finished.back(), std::nullopt) << *rig.delegate->finished.back();
    EXPECT_EQ(rig.dialogs.back().text, "A new version of Quillet is available.");
    EXPECT_EQ(rig.kept(), (std::vector<std::string>{"a-folder", "quillet-640-linux.tar.gz"}))
        << "the earlier downloads and the stopped write are gone; the folder stays";
    for (const auto& asked : server.requests())
        EXPECT_NE(asked.target, "/quillet-640.zip") << "another system's file is never fetched";

    // A newer one without any length, larger than the cap: refused, and the offered one stays.
    const std::string huge(70000, 'h');
    {
        std::lock_guard lock(mutex);
        files["/quillet-650.tar.gz"] = huge;
        items = enclosureItem("650", "1.6.0", server.url("/quillet-650.tar.gz"), std::nullopt,
                              key.sign(huge));
    }
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCycles(2));
    EXPECT_EQ(rig.delegate->finished.back(), "The update is larger than 65536 bytes.");
    EXPECT_EQ(rig.kept(), (std::vector<std::string>{"a-folder", "quillet-640-linux.tar.gz"}));

    // A sound one replaces it.
    const std::string next(5000, 'n');
    {
        std::lock_guard lock(mutex);
        files["/quillet-660.tar.gz"] = next;
        items = enclosureItem("660", "1.7.0", server.url("/quillet-660.tar.gz"), 0, key.sign(next));
    }
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCycles(3));
    EXPECT_EQ(rig.delegate->finished.back(), std::nullopt);
    EXPECT_EQ(rig.kept(), (std::vector<std::string>{"a-folder", "quillet-660.tar.gz"}));
}

TEST(DesktopUpdater, AnUpdatesDownloadEndsAtItsDeadlineOrWhenTheUpdaterGoes) {
    const test::TestSigningKey key;
    std::string served;
    LoopbackHttpServer server([&](const Request& r) {
        if (r.target == "/appcast.xml")
            return Reply{200, "OK", {}, served};
        Reply hang;
        hang.hang = true;
        return hang;
    });
    served = feed(
        enclosureItem("640", "1.5.0", server.url("/quillet-640.tar.gz"), 5, key.sign("never")));
    UpdaterRig rig(server.url("/appcast.xml"), key.publicKeyBase64());

    // The download has a deadline of its own (the feed's, 30 s, would outlast the wait).
    DesktopUpdater::Options options;
    options.downloadTimeout = 0.5;
    rig.start(options);
    rig.updater->checkForUpdates();
    ASSERT_TRUE(rig.waitForCycles(1));
    EXPECT_EQ(rig.delegate->finished.at(0),
              "The update could not be downloaded. The request timed out.");
    EXPECT_TRUE(test::spinUntil([&] { return server.closedByClient() == 1; }));
    EXPECT_TRUE(rig.kept().empty());

    // An updater that goes mid-download cancels it and tells nobody.
    rig.start();
    rig.updater->checkForUpdates();
    ASSERT_TRUE(test::spinUntil([&] { return server.requests().size() == 4; }));
    rig.observation.reset();
    rig.updater.reset();
    EXPECT_TRUE(test::spinUntil([&] { return server.closedByClient() == 2; }))
        << "the transfer is removed and its connection closed";
    bool drained = false;
    rig.host->runLoop().post([&] { drained = true; });
    ASSERT_TRUE(test::spinUntil([&] { return drained; }));
    EXPECT_EQ(rig.dialogs.size(), 1u);
    EXPECT_EQ(rig.delegate->finished.size(), 1u);
    EXPECT_TRUE(rig.kept().empty());
}

} // namespace
} // namespace desktop
