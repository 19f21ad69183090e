// Verifying an update's EdDSA signature with keys made here: only the key's signature over
// exactly the signed bytes verifies, and every malformed input is named, not crashed on.
#include "Platform/Desktop/Updates/EdSignature.h"
#include "tests/Desktop/Updates/TestSigningKey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace desktop {
namespace {

using test::base64;
using test::bytesOf;
using test::TestSigningKey;

std::vector<std::uint8_t> fileBytes(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 131 + 7) ^ (i >> 8));
    return bytes;
}

TEST(EdSignature, OnlyTheKeysSignatureOverExactlyTheSignedBytesVerifies) {
    const TestSigningKey key;
    const auto publicKey = key.publicKeyBase64();
    const auto file = fileBytes(200000);
    const auto signature = key.sign(file);
    EXPECT_EQ(verifyEdSignature(file, signature, publicKey), EdSignatureCheck::verified);
    EXPECT_EQ(verifyEdSignature(file, "\n  " + signature + " \t", " " + publicKey + "\n"),
              EdSignatureCheck::verified)
        << "white space around either is not part of it";

    // One bit anywhere in the file.
    for (std::size_t at : {std::size_t{0}, file.size() / 2, file.size() - 1}) {
        auto changed = file;
        changed[at] ^= 0x01;
        EXPECT_EQ(verifyEdSignature(changed, signature, publicKey), EdSignatureCheck::mismatch)
            << "bit flipped at " << at;
    }
    // The file cut short or grown by a byte.
    const std::vector<std::uint8_t> shorter(file.begin(), file.end() - 1);
    auto longer = file;
    longer.push_back(0);
    EXPECT_EQ(verifyEdSignature(shorter, signature, publicKey), EdSignatureCheck::mismatch);
    EXPECT_EQ(verifyEdSignature(longer, signature, publicKey), EdSignatureCheck::mismatch);

    // One bit anywhere in the signature (R, then S).
    const auto raw = key.signature(file);
    for (std::size_t at : {std::size_t{0}, std::size_t{31}, std::size_t{32}, std::size_t{63}}) {
        auto changed = raw;
        changed[at] ^= 0x80;
        EXPECT_EQ(verifyEdSignature(file, base64(changed), publicKey), EdSignatureCheck::mismatch)
            << "signature bit flipped in byte " << at;
    }

    // Another key's signature over the same file, and this signature under another key.
    const TestSigningKey other;
    EXPECT_EQ(verifyEdSignature(file, other.sign(file), publicKey), EdSignatureCheck::mismatch);
    EXPECT_EQ(verifyEdSignature(file, signature, other.publicKeyBase64()),
              EdSignatureCheck::mismatch);

    // The signature of another file.
    EXPECT_EQ(verifyEdSignature(file, key.sign("another file"), publicKey),
              EdSignatureCheck::mismatch);

    // An empty file is signed like any other.
    const std::vector<std::uint8_t> empty;
    EXPECT_EQ(verifyEdSignature(empty, key.sign(empty), publicKey), EdSignatureCheck::verified);
    EXPECT_EQ(verifyEdSignature(empty, signature, publicKey), EdSignatureCheck::mismatch);
}

TEST(EdSignature, MissingAndMalformedSignaturesAndKeysAreNamed) {
    const TestSigningKey key;
    const auto publicKey = key.publicKeyBase64();
    const auto file = bytesOf("quillet-1.5.0.tar.gz");
    const auto signature = key.sign(file);
    ASSERT_EQ(signature.size(), 88u);
    ASSERT_EQ(publicKey.size(), 44u);
    const auto rawSignature = key.signature(file);

    EXPECT_EQ(verifyEdSignature(file, "", publicKey), EdSignatureCheck::noSignature);
    EXPECT_EQ(verifyEdSignature(file, " \n\t", publicKey), EdSignatureCheck::noSignature);
    EXPECT_EQ(verifyEdSignature(file, "", "not a key"), EdSignatureCheck::noSignature)
        << "a missing signature is named first";

    const std::string malformedSignatures[] = {
        base64(std::span(rawSignature).first(63)),
        base64(rawSignature) + "AAAA", // 67 bytes
        base64(std::vector<std::uint8_t>(96, 0)),
        signature.substr(0, 86),       // the padding left off
        signature.substr(0, 86) + "=", // half of it
        signature.substr(0, 85) + "===",
        signature.substr(0, 40) + " " + signature.substr(40, 47), // white space inside
        signature.substr(0, 40) + "*" + signature.substr(41),
        signature.substr(0, 40) + "\xc3\xa9" + signature.substr(42),
        std::string(88, '='),
        "c2lnbmF0dXJl", // base64, but of "signature"
    };
    for (const auto& bad : malformedSignatures)
        EXPECT_EQ(verifyEdSignature(file, bad, publicKey), EdSignatureCheck::malformedSignature)
            << bad;
    // The URL-safe alphabet is not the feed's.
    std::string urlSafe = base64(std::vector<std::uint8_t>(64, 0xfb));
    ASSERT_NE(urlSafe.find('+'), std::string::npos);
    std::replace(urlSafe.begin(), urlSafe.end(), '+', '-');
    std::replace(urlSafe.begin(), urlSafe.end(), '/', '_');
    EXPECT_EQ(verifyEdSignature(file, urlSafe, publicKey), EdSignatureCheck::malformedSignature);

    const std::string malformedKeys[] = {
        "",
        "REPLACE_WITH_RELEASE_PUBLIC_ED_KEY",
        publicKey.substr(0, 43),
        base64(std::vector<std::uint8_t>(31, 1)),
        base64(std::vector<std::uint8_t>(33, 1)),
        publicKey.substr(0, 43) + "*",
        signature, // 64 bytes
    };
    for (const auto& bad : malformedKeys) {
        EXPECT_EQ(verifyEdSignature(file, signature, bad), EdSignatureCheck::malformedKey) << bad;
        EXPECT_FALSE(isEdPublicKey(bad)) << bad;
    }
    EXPECT_TRUE(isEdPublicKey(publicKey));
    EXPECT_EQ(verifyEdSignature(file, "*", "*"), EdSignatureCheck::malformedKey)
        << "a malformed key is named before a malformed signature";

    EXPECT_EQ(edSignatureProblem(EdSignatureCheck::verified), "");
    EXPECT_EQ(edSignatureProblem(EdSignatureCheck::noSignature), "The update has no signature.");
    EXPECT_EQ(edSignatureProblem(EdSignatureCheck::malformedSignature),
              "The update\u2019s signature is malformed.");
    EXPECT_EQ(edSignatureProblem(EdSignatureCheck::malformedKey),
              "The update signing key is not valid.");
    EXPECT_EQ(edSignatureProblem(EdSignatureCheck::mismatch),
              "The update\u2019s signature does not match the download.");
}

TEST(EdSignature, Base64IsDecodedStrictlyAndWithinItsLimit) {
    auto decoded = [](std::string_view text, std::size_t max = 100) -> std::string {
        const auto bytes = decodeBase64(text, max);
        return bytes ? std::string(bytes->begin(), bytes->end()) : "<none>";
    };
    // RFC 4648 §10.
    EXPECT_EQ(decoded(""), "");
    EXPECT_EQ(decoded("Zg=="), "f");
    EXPECT_EQ(decoded("Zm8="), "fo");
    EXPECT_EQ(decoded("Zm9v"), "foo");
    EXPECT_EQ(decoded("Zm9vYg=="), "foob");
    EXPECT_EQ(decoded("Zm9vYmE="), "fooba");
    EXPECT_EQ(decoded("Zm9vYmFy"), "foobar");
    EXPECT_EQ(decoded(" Zm9vYmFy\r\n"), "foobar");
    EXPECT_EQ(decoded("+/+/"), "\xfb\xff\xbf");

    for (std::string_view bad : {"Zg", "Zg=", "Zm9vY", "Z===", "====", "Zg==Zg==", "Zm=v",
                                 "Zm9v\nYmFy", "Zm9v-mFy", "Zm9v_mFy"})
        EXPECT_EQ(decoded(bad), "<none>") << bad;
    EXPECT_EQ(decoded(std::string_view("Zm9v\0mFy", 8)), "<none>");

    EXPECT_EQ(decoded("Zm9vYmFy", 6), "foobar");
    EXPECT_EQ(decoded("Zm9vYmFy", 5), "<none>") << "longer than allowed";
    EXPECT_EQ(decoded("Zm9vYmE=", 5), "fooba");
    EXPECT_EQ(decoded(std::string(4000, 'A'), 2999), "<none>");
}

} // namespace
} // namespace desktop
