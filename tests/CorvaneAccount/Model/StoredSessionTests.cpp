#include "CorvaneAccount/Model/StoredSession.h"
#include "Platform/Sim/SimHost.h"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace corvane;
using namespace std::chrono;

namespace {

const char* kValidID = "ca_01890a5d-ac96-774b-bcce-b302099a8057";

CorvaneAccount account() {
    return {{kValidID}, "ada@example.com", std::vector{CorvaneProvider::google}};
}

StoredSession session(std::optional<std::string> refresh) {
    const Date issued = CorvaneJSON::decodeDate("2026-01-05T09:00:00.123Z");
    return {"cas-value", std::move(refresh), issued + hours(1), account(), "quillet", issued};
}

} // namespace

TEST(StoredSession, CodedWithCamelCaseKeysAndMillisecondDates) {
    const auto json = nlohmann::json::parse(CorvaneJSON::encode(session("refresh-value")));
    EXPECT_EQ(json.at("cas"), "cas-value");
    EXPECT_EQ(json.at("refreshToken"), "refresh-value");
    EXPECT_EQ(json.at("expiresAt"), "2026-01-05T10:00:00.123Z");
    EXPECT_EQ(json.at("issuedAt"), "2026-01-05T09:00:00.123Z");
    EXPECT_EQ(json.at("appSlug"), "quillet");
    EXPECT_EQ(json.at("account").at("corvane_account_id"), kValidID);
    EXPECT_EQ(json.at("account").at("email_primary"), "ada@example.com");
    EXPECT_EQ(json.at("account").at("providers"), nlohmann::json::array({"google.com"}));
    EXPECT_EQ(json.size(), 6u);
}

TEST(StoredSession, WithoutRefreshTokenTheKeyIsLeftOutAndReadsBackEqual) {
    const auto original = session(std::nullopt);
    const std::string text = CorvaneJSON::encode(original);
    EXPECT_FALSE(nlohmann::json::parse(text).contains("refreshToken"));
    EXPECT_EQ(CorvaneJSON::decode<StoredSession>(text), original);

    const auto withRefresh = session("r");
    EXPECT_EQ(CorvaneJSON::decode<StoredSession>(CorvaneJSON::encode(withRefresh)), withRefresh);

    // A null refresh token reads as absent.
    auto json = nlohmann::json::parse(text);
    json["refreshToken"] = nullptr;
    EXPECT_EQ(CorvaneJSON::decode<StoredSession>(json.dump()).refreshToken, std::nullopt);
}

TEST(StoredSession, EveryOtherKeyIsRequired) {
    const auto full = nlohmann::json::parse(CorvaneJSON::encode(session("r")));
    for (const char* key : {"cas", "expiresAt", "account", "appSlug", "issuedAt"}) {
        auto json = full;
        json.erase(key);
        EXPECT_THROW(CorvaneJSON::decode<StoredSession>(json.dump()), CorvaneJSON::DecodingError)
            << key;
    }
    auto badDate = full;
    badDate["expiresAt"] = "2026-01-05";
    EXPECT_THROW(CorvaneJSON::decode<StoredSession>(badDate.dump()), CorvaneJSON::DecodingError);
}

TEST(StoredSession, ExpiredAtAndAfterExpiresAtByTheHostClock) {
    platform::sim::SimHost host;
    StoredSession s = session(std::nullopt);
    s.expiresAt = platform::now() + seconds(10);
    EXPECT_FALSE(s.isExpired());
    host.advance(9.5);
    EXPECT_FALSE(s.isExpired());
    host.advance(0.5);
    EXPECT_TRUE(s.isExpired());
    host.advance(100);
    EXPECT_TRUE(s.isExpired());
}

TEST(CorvaneAccountRecord, ProvidersAreOptionalAndUnknownOnesRefuseTheRecord) {
    CorvaneAccount a = CorvaneJSON::decode<CorvaneAccount>(
        R"({"corvane_account_id":"ca_x","email_primary":"a@b.c"})");
    EXPECT_EQ(a.corvaneAccountId.raw, "ca_x"); // decoding does not check the form
    EXPECT_FALSE(a.providers);
    EXPECT_FALSE(nlohmann::json::parse(CorvaneJSON::encode(a)).contains("providers"));

    a = CorvaneJSON::decode<CorvaneAccount>(
        R"({"corvane_account_id":"ca_x","email_primary":"a@b.c","providers":)"
        R"(["password","email-link","google.com","apple.com","passkey"]})");
    EXPECT_EQ(a.providers, (std::vector{CorvaneProvider::password, CorvaneProvider::emailLink,
                                        CorvaneProvider::google, CorvaneProvider::apple,
                                        CorvaneProvider::passkey}));

    EXPECT_THROW(CorvaneJSON::decode<CorvaneAccount>(
                     R"({"corvane_account_id":"ca_x","email_primary":"a@b.c",)"
                     R"("providers":["password","github.com"]})"),
                 CorvaneJSON::DecodingError);
    EXPECT_THROW(
        CorvaneJSON::decode<CorvaneAccount>(R"({"corvane_account_id":7,"email_primary":"a@b.c"})"),
        CorvaneJSON::DecodingError);
    EXPECT_EQ(CorvaneJSON::encode(CorvaneAccountID{"ca_x"}), "\"ca_x\"");
}

TEST(CorvaneAccountRecord, HashableAsASetMember) {
    std::unordered_set<CorvaneAccount> set{account(), account()};
    CorvaneAccount other = account();
    other.providers.reset();
    set.insert(other);
    EXPECT_EQ(set.size(), 2u);
}

TEST(CorvaneAccountID, WellFormedOnlyForCaPrefixAndLowercaseVersion7UUID) {
    EXPECT_TRUE(CorvaneAccountID{kValidID}.isWellFormed());
    EXPECT_TRUE(CorvaneAccountID{"ca_01890a5d-ac96-7fff-affe-b302099a8057"}.isWellFormed());
    for (const char* bad : {
             "ca_01890a5d-ac96-474b-bcce-b302099a8057",  // version 4
             "ca_01890A5D-AC96-774B-BCCE-B302099A8057",  // uppercase
             "ca_01890a5d-ac96-774b-7cce-b302099a8057",  // wrong variant
             "01890a5d-ac96-774b-bcce-b302099a8057",     // no prefix
             "ca_01890a5d-ac96-774b-bcce-b302099a8057 ", // trailing blank
             "ca_01890a5d-ac96-774b-bcce-b302099a8057\n",
             "xca_01890a5d-ac96-774b-bcce-b302099a8057",
             "ca_01890a5dac96774bbcceb302099a8057",
             "",
         })
        EXPECT_FALSE(CorvaneAccountID{bad}.isWellFormed()) << bad;
    EXPECT_EQ(CorvaneAccountID{kValidID}.description(), kValidID);
}
