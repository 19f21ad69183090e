// The encodings DPoP proofs are built from: URL-safe Base64 without padding and random tokens.
#include "CorvaneAccount/Foundation/Base64URL.h"
#include "CorvaneAccount/Foundation/SecureRandom.h"

#include <gtest/gtest.h>

#include <set>

using corvane::Base64URL;

namespace {

std::vector<std::uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

} // namespace

TEST(DPoPBase64URL, EncodesTheRfc4648VectorsWithoutPadding) {
    EXPECT_EQ(Base64URL::encode(std::string_view("")), "");
    EXPECT_EQ(Base64URL::encode(std::string_view("f")), "Zg");
    EXPECT_EQ(Base64URL::encode(std::string_view("fo")), "Zm8");
    EXPECT_EQ(Base64URL::encode(std::string_view("foo")), "Zm9v");
    EXPECT_EQ(Base64URL::encode(std::string_view("foob")), "Zm9vYg");
    EXPECT_EQ(Base64URL::encode(std::string_view("fooba")), "Zm9vYmE");
    EXPECT_EQ(Base64URL::encode(std::string_view("foobar")), "Zm9vYmFy");
}

TEST(DPoPBase64URL, UsesTheUrlAlphabetWhereStandardBase64HasPlusAndSlash) {
    // Standard Base64 of these bytes is "+/+/" and "//8=".
    const std::vector<std::uint8_t> plusSlash{0xFB, 0xFF, 0xBF};
    EXPECT_EQ(Base64URL::encode(plusSlash), "-_-_");
    const std::vector<std::uint8_t> slashes{0xFF, 0xFF};
    EXPECT_EQ(Base64URL::encode(slashes), "__8");
}

TEST(DPoPBase64URL, DecodeRoundTripsEveryLengthAndByteValue) {
    std::vector<std::uint8_t> data;
    for (int i = 0; i < 300; ++i) {
        const auto encoded = Base64URL::encode(data);
        const auto decoded = Base64URL::decode(encoded);
        ASSERT_TRUE(decoded) << "length " << data.size();
        EXPECT_EQ(*decoded, data);
        data.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    }
}

TEST(DPoPBase64URL, StrictDecodeRefusesAnythingEncodeWouldNotProduce) {
    EXPECT_EQ(Base64URL::decode("Zm9vYg"), bytes("foob"));
    EXPECT_EQ(Base64URL::decode(""), bytes(""));
    EXPECT_FALSE(Base64URL::decode("Zm9vYg==")) << "padding";
    EXPECT_FALSE(Base64URL::decode("+/+/")) << "standard alphabet";
    EXPECT_FALSE(Base64URL::decode("Zm9v Yg")) << "whitespace";
    EXPECT_FALSE(Base64URL::decode("Zm9vY")) << "length 1 mod 4";
    EXPECT_FALSE(Base64URL::decode("Zh")) << "non-zero unused bits ('Zg' is canonical)";
    EXPECT_FALSE(Base64URL::decode("Zm9=")) << "padding inside";
    EXPECT_FALSE(Base64URL::decode(std::string_view("Zm\0v", 4))) << "NUL";
    EXPECT_FALSE(Base64URL::decode("Zm9v\xC3\xA9")) << "non-ASCII";
}

TEST(DPoPSecureRandom, UrlSafeStringHasTheEncodedLengthAndAlphabet) {
    EXPECT_EQ(corvane::SecureRandom::urlSafeString(0), "");
    EXPECT_EQ(corvane::SecureRandom::urlSafeString().size(), 43u);
    EXPECT_EQ(corvane::SecureRandom::urlSafeString(16).size(), 22u);
    EXPECT_EQ(corvane::SecureRandom::urlSafeString(1).size(), 2u);
    for (int i = 0; i < 20; ++i) {
        const auto token = corvane::SecureRandom::urlSafeString(32);
        EXPECT_EQ(token.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos)
            << token;
        const auto decoded = Base64URL::decode(token);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->size(), 32u);
    }
}

TEST(DPoPSecureRandom, TokensDoNotRepeat) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i)
        seen.insert(corvane::SecureRandom::urlSafeString(16));
    EXPECT_EQ(seen.size(), 200u);
}
