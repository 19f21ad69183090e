#include "CorvaneAccount/Foundation/AuthScheme.h"
#include "CorvaneAccount/Foundation/CorvaneAccountLibrary.h"
#include "CorvaneAccount/Foundation/CorvaneConfig.h"
#include "CorvaneAccount/Foundation/CorvaneJSON.h"
#include "CorvaneAccount/Foundation/CorvaneLog.h"

#include <gtest/gtest.h>

using namespace corvane;

TEST(CorvaneAccountLibrary, VersionLineUsesTheLibraryConstant) {
    EXPECT_EQ(CorvaneAccountLibrary::libVersion, "0.9.5");
    EXPECT_EQ(CorvaneAccountLibrary::versionLine("0.3.1"), "CorvaneAccount/0.9.5 (0.3.1)");
    EXPECT_EQ(CorvaneAccountLibrary::versionLine(""), "CorvaneAccount/0.9.5 ()");
}

TEST(AuthScheme, CodedAsItsRawStringAndUnknownValuesRefused) {
    for (auto [scheme, raw] :
         {std::pair{AuthScheme::aswas, "aswas"}, std::pair{AuthScheme::loopback, "loopback"},
          std::pair{AuthScheme::systemBrowser, "systemBrowser"}}) {
        EXPECT_EQ(CorvaneJSON::encode(scheme), std::string("\"") + raw + "\"");
        EXPECT_EQ(CorvaneJSON::decode<AuthScheme>(std::string("\"") + raw + "\""), scheme);
    }
    EXPECT_THROW(CorvaneJSON::decode<AuthScheme>(R"("SystemBrowser")"), CorvaneJSON::DecodingError);
    EXPECT_THROW(CorvaneJSON::decode<AuthScheme>("1"), CorvaneJSON::DecodingError);
}

TEST(CorvaneLogLevel, RawValuesInOrder) {
    EXPECT_EQ(rawValue(CorvaneLogLevel::debug), "debug");
    EXPECT_EQ(rawValue(CorvaneLogLevel::info), "info");
    EXPECT_EQ(rawValue(CorvaneLogLevel::warning), "warning");
    EXPECT_EQ(rawValue(CorvaneLogLevel::error), "error");
    EXPECT_EQ(corvaneLogLevelFromRaw("warning"), CorvaneLogLevel::warning);
    EXPECT_FALSE(corvaneLogLevelFromRaw("fault"));
}

TEST(CorvaneConfig, LogsThroughTheHostsLoggerWhenThereIsOne) {
    std::vector<std::tuple<CorvaneLogLevel, std::string, std::map<std::string, std::string>>> lines;
    auto make = [&](CorvaneLogger logger) {
        return CorvaneConfig(boost::urls::url("https://auth.example.com"),
                             boost::urls::url("https://id.example.com"), "quillet", "client",
                             "0.3.1", std::string(CorvaneAccountLibrary::libVersion),
                             boost::urls::url("quillet://auth/callback"), AuthScheme::systemBrowser,
                             std::nullopt, {"openid", "email"}, nullptr, std::move(logger),
                             std::nullopt);
    };
    auto config = make([&](CorvaneLogLevel level, const std::string& key,
                           const std::map<std::string, std::string>& meta) {
        lines.emplace_back(level, key, meta);
    });
    config.log(CorvaneLogLevel::warning, "request_transport_failed", {{"endpoint", "/api/x"}});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(std::get<0>(lines[0]), CorvaneLogLevel::warning);
    EXPECT_EQ(std::get<1>(lines[0]), "request_transport_failed");
    EXPECT_EQ(std::get<2>(lines[0]).at("endpoint"), "/api/x");
    EXPECT_EQ(config.redirectURI.scheme(), "quillet");

    auto silent = make(nullptr);
    silent.log(CorvaneLogLevel::error, "client_killed"); // no logger: nothing happens
    EXPECT_EQ(lines.size(), 1u);
}
