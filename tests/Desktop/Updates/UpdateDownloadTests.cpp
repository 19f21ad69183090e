// An update's download before and after it is fetched: what is refused without a request, what
// a downloaded file must be to be kept, and how it is kept.
#include "Platform/Desktop/Updates/UpdateDownload.h"
#include "Platform/HttpSession.h"
#include "tests/Desktop/DesktopTestSupport.h"
#include "tests/Desktop/Updates/TestSigningKey.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace desktop {
namespace {

using test::bytesOf;
using test::TestSigningKey;

AppcastItem signedItem(const TestSigningKey& key, std::string_view file,
                       std::optional<std::uint64_t> length) {
    AppcastItem item;
    item.title = "Version 1.5.0";
    item.versions = {"640", "1.5.0"};
    item.url = "https://downloads.corvane.com/quillet-1.5.0.tar.gz";
    item.length = length;
    item.edSignature = key.sign(file);
    return item;
}

platform::HttpResponse answer(int status, std::string url) {
    platform::HttpResponse r;
    r.url = std::move(url);
    r.statusCode = status;
    r.httpVersion = "HTTP/1.1";
    return r;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const auto* e = ::readdir(d))
            if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..")
                names.emplace_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(UpdateDownload, ItemsThatCanNeverVerifyOrAreTooLargeAreRefusedBeforeDownloading) {
    const TestSigningKey key;
    const auto publicKey = key.publicKeyBase64();
    const std::string file = "tarball";
    auto item = signedItem(key, file, 7);
    EXPECT_EQ(refusalBeforeDownload(item, publicKey, maxUpdateBytes), "");
    EXPECT_EQ(updateDownloadLimit(item, maxUpdateBytes), 7u) << "the declared length";

    auto unsignedItem = item;
    unsignedItem.edSignature.clear();
    EXPECT_EQ(refusalBeforeDownload(unsignedItem, publicKey, maxUpdateBytes),
              "The update has no signature.");
    auto malformed = item;
    malformed.edSignature = item.edSignature.substr(4);
    EXPECT_EQ(refusalBeforeDownload(malformed, publicKey, maxUpdateBytes),
              "The update\u2019s signature is malformed.");
    EXPECT_EQ(refusalBeforeDownload(item, "c2hvcnQ=", maxUpdateBytes),
              "The update signing key is not valid.");

    auto huge = item;
    huge.length = std::uint64_t{maxUpdateBytes} + 1;
    EXPECT_EQ(refusalBeforeDownload(huge, publicKey, maxUpdateBytes),
              "The update is larger than 256 MB.");
    EXPECT_EQ(refusalBeforeDownload(item, publicKey, 6), "The update is larger than 6 bytes.");

    auto unknownLength = item;
    unknownLength.length.reset();
    EXPECT_EQ(updateDownloadLimit(unknownLength, maxUpdateBytes), maxUpdateBytes);
    EXPECT_EQ(updateDownloadLimit(unknownLength, 5000), 5000u);
    EXPECT_EQ(overLimitProblem(unknownLength, 5000), "The update is larger than 5000 bytes.");
    EXPECT_EQ(overLimitProblem(item, 5000),
              "The download is longer than the 7 bytes the feed says.");
}

TEST(UpdateDownload, OnlyTheSignedFileOfTheDeclaredLengthFromASecureAddressIsAccepted) {
    const TestSigningKey key;
    const auto publicKey = key.publicKeyBase64();
    const std::string file = "the update's bytes";
    const auto item = signedItem(key, file, file.size());
    const auto ok = answer(200, item.url);

    EXPECT_EQ(refusalOfDownload(item, ok, bytesOf(file), publicKey), "");
    EXPECT_EQ(refusalOfDownload(item, answer(200, "http://127.0.0.1:9/q.tar.gz"), bytesOf(file),
                                publicKey),
              "")
        << "plain http on this machine";

    std::string flipped = file;
    flipped[3] ^= 0x04;
    EXPECT_EQ(refusalOfDownload(item, ok, bytesOf(flipped), publicKey),
              "The update\u2019s signature does not match the download.");
    EXPECT_EQ(refusalOfDownload(item, ok, bytesOf(file), TestSigningKey().publicKeyBase64()),
              "The update\u2019s signature does not match the download.");

    const std::string cut = file.substr(0, file.size() - 1);
    EXPECT_EQ(refusalOfDownload(item, ok, bytesOf(cut), publicKey),
              "The download is 17 bytes long, but the feed says 18 bytes.");
    auto unknownLength = item;
    unknownLength.length.reset();
    EXPECT_EQ(refusalOfDownload(unknownLength, ok, bytesOf(file), publicKey), "");
    EXPECT_EQ(refusalOfDownload(unknownLength, ok, bytesOf(cut), publicKey),
              "The update\u2019s signature does not match the download.");

    EXPECT_EQ(refusalOfDownload(item, answer(404, item.url), bytesOf(file), publicKey),
              "The download server answered with HTTP status 404.")
        << "a signed file is still not taken from an error page";
    EXPECT_EQ(refusalOfDownload(item, answer(200, "http://mirror.example/q.tar.gz"), bytesOf(file),
                                publicKey),
              "The update download was redirected to an address that does not use HTTPS.");
}

TEST(UpdateDownload, AVerifiedFileIsKeptUnderAPlainNameAndWrittenAtomically) {
    const TestSigningKey key;
    auto named = [&](std::string url, VersionPair versions = {"640", "1.5.0"}) {
        auto item = signedItem(key, "x", 1);
        item.url = std::move(url);
        item.versions = std::move(versions);
        return updateFileName(item, "Quillet");
    };
    EXPECT_EQ(named("https://d.example/releases/quillet-1.5.0.tar.gz"), "quillet-1.5.0.tar.gz");
    EXPECT_EQ(named("https://d.example/q/Quillet_1.5.0+b2.AppImage?sig=abc#top"),
              "Quillet_1.5.0+b2.AppImage");
    for (const char* url :
         {"https://d.example/", "https://d.example", "https://d.example/a/..",
          "https://d.example/.bashrc", "https://d.example/quillet%2F..%2F1.tar.gz",
          "https://d.example/quillet 1.tar.gz"})
        EXPECT_EQ(named(url), "Quillet-1.5.0.update") << url;
    EXPECT_EQ(named("https://d.example/q?name=/etc/passwd"), "q") << "the query is not the path";
    EXPECT_EQ(named("https://d.example/", {"640", ""}), "Quillet-640.update");
    EXPECT_EQ(named("https://d.example/", {"", "2.0 beta~1"}), "Quillet-2.0_beta_1.update");
    EXPECT_EQ(named("https://d.example/" + std::string(201, 'a')), "Quillet-1.5.0.update");

    test::TempDir dir;
    const auto updates = dir.sub("cache/quillet/Updates");
    const auto path = saveUpdateFile(updates, "quillet-1.5.0.tar.gz", bytesOf("first"));
    EXPECT_EQ(path, updates + "/quillet-1.5.0.tar.gz");
    EXPECT_EQ(contents(path), "first");
    EXPECT_EQ(saveUpdateFile(updates, "quillet-1.5.0.tar.gz", bytesOf("second")), path);
    EXPECT_EQ(contents(path), "second") << "a later download replaces the earlier one";
    EXPECT_EQ(entries(updates), std::vector<std::string>{"quillet-1.5.0.tar.gz"})
        << "no temporary file is left";

    // A directory that cannot be made: a clear error, and nothing written.
    std::ofstream(dir.sub("blocker")) << "a file where the directory would go";
    try {
        saveUpdateFile(dir.sub("blocker/Updates"), "q.tar.gz", bytesOf("x"));
        ADD_FAILURE() << "saved under a file";
    } catch (const std::runtime_error& e) {
        EXPECT_TRUE(
            std::string(e.what()).starts_with("Cannot create " + dir.sub("blocker/Updates")))
            << e.what();
    }
    // A directory that cannot be written.
    const auto readOnly = dir.sub("read-only");
    ASSERT_EQ(::mkdir(readOnly.c_str(), 0500), 0);
    if (::access(readOnly.c_str(), W_OK) != 0) { // root writes anywhere
        EXPECT_THROW(saveUpdateFile(readOnly, "q.tar.gz", bytesOf("x")), std::runtime_error);
        EXPECT_TRUE(entries(readOnly).empty());
    }
    EXPECT_THROW(saveUpdateFile(updates, "../escape", bytesOf("x")), std::runtime_error);
    EXPECT_THROW(saveUpdateFile("", "q.tar.gz", bytesOf("x")), std::runtime_error);
}

} // namespace
} // namespace desktop
