// The DPoP signer on the simulated Mac: where its key lives, the JWK and thumbprint, and the
// proofs it signs.
#include "CorvaneAccount/Transport/DPoPSigner.h"
#include "Platform/Sim/SimHost.h"
#include "tests/CorvaneAccount/Transport/DPoPTestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <sys/wait.h>
#include <unistd.h>

using corvane::DPoPSigner;
using corvane::testing::decodeProof;
using corvane::testing::dpopReason;
using corvane::testing::verifyES256;
using platform::sim::KeychainOperation;

namespace {

constexpr const char* quilletTag = "com.corvane.account.dpop.privatekey.com.corvane.quillet";

class DPoPSignerTest : public ::testing::Test {
protected:
    platform::sim::SimHost host;
    platform::sim::SimKeychain& keychain = host.simKeychain();
};

} // namespace

// --- thumbprint ---

TEST(DPoPThumbprint, HashesTheMembersInFixedOrderWhateverOrderTheyComeIn) {
    using Members = std::vector<std::pair<std::string, std::string>>;
    const Members ordered{{"crv", "P-256"}, {"kty", "EC"}, {"x", "X"}, {"y", "Y"}};
    const Members shuffled{{"y", "Y"}, {"kty", "EC"}, {"x", "X"}, {"crv", "P-256"}};
    EXPECT_EQ(DPoPSigner::thumbprintInput(ordered),
              R"({"crv":"P-256","kty":"EC","x":"X","y":"Y"})");
    EXPECT_EQ(DPoPSigner::thumbprintInput(shuffled), DPoPSigner::thumbprintInput(ordered));
    EXPECT_EQ(DPoPSigner::jwkThumbprint(shuffled), DPoPSigner::jwkThumbprint(ordered));
    // Members outside the four are left out.
    Members extra = shuffled;
    extra.insert(extra.begin(), {"kid", "k1"});
    extra.emplace_back("alg", "ES256");
    EXPECT_EQ(DPoPSigner::jwkThumbprint(extra), DPoPSigner::jwkThumbprint(ordered));
}

TEST(DPoPThumbprint, MatchesThePublishedEcExample) {
    // The P-256 key of the DPoP examples and its published "jkt".
    const DPoPSigner::JWK jwk{{"kty", "EC"},
                              {"x", "l8tFrhx-34tV3hRICRDY9zCkDlpBhF42UQUfWVAWBFs"},
                              {"y", "9VE4jf_Ok_o64zbTTlcuNJajHmt6v9TDVrU0CdvGRDA"},
                              {"crv", "P-256"}};
    EXPECT_EQ(DPoPSigner::jwkThumbprint(jwk), "0ZcOCORZNYy-DWpqq30jZyJGHTN0d2HglBV3uiguA4I");
}

// --- where the key lives ---

TEST_F(DPoPSignerTest, KeyTagNamesTheHostApplicationOrDefault) {
    EXPECT_EQ(DPoPSigner::keyTag(), quilletTag);
    host.bundle().bundleIdentifier.reset();
    EXPECT_EQ(DPoPSigner::keyTag(), "com.corvane.account.dpop.privatekey.default");
}

TEST_F(DPoPSignerTest, CreatesTheKeyOnTheSecureEnclaveWhenThereIsOne) {
    DPoPSigner signer;
    EXPECT_EQ(signer.backendKind(), DPoPSigner::BackendKind::secureEnclave);
    EXPECT_EQ(keychain.keyCount(quilletTag), 1u);
    EXPECT_EQ(keychain.keyIsOnSecureEnclave(quilletTag), true);
    EXPECT_EQ(signer.jktThumbprint().size(), 43u);
    EXPECT_EQ(signer.jktThumbprint(), DPoPSigner::jwkThumbprint(signer.publicJWK()));
}

TEST_F(DPoPSignerTest, FallsBackToASoftwareKeyWithoutSecureEnclave) {
    keychain.setSecureEnclavePresent(false);
    DPoPSigner signer;
    EXPECT_EQ(signer.backendKind(), DPoPSigner::BackendKind::softwareKeychain);
    EXPECT_EQ(keychain.keyCount(quilletTag), 1u);
    EXPECT_EQ(keychain.keyIsOnSecureEnclave(quilletTag), false);
}

TEST_F(DPoPSignerTest, FallsBackToASoftwareKeyWithoutAccessControl) {
    keychain.setFailure(KeychainOperation::createAccessControl, platform::errSecParam);
    DPoPSigner signer;
    EXPECT_EQ(signer.backendKind(), DPoPSigner::BackendKind::softwareKeychain);
    EXPECT_EQ(keychain.keyIsOnSecureEnclave(quilletTag), false);
}

TEST_F(DPoPSignerTest, FindsTheSameKeyAgainAfterRelaunch) {
    std::string thumbprint;
    DPoPSigner::JWK jwk;
    {
        DPoPSigner first;
        thumbprint = first.jktThumbprint();
        jwk = first.publicJWK();
    }
    host.relaunch();
    keychain.clearCalls();
    DPoPSigner again;
    EXPECT_EQ(again.jktThumbprint(), thumbprint);
    EXPECT_EQ(again.publicJWK(), jwk);
    EXPECT_NE(again.backendKind(), DPoPSigner::BackendKind::ephemeralCryptoKit);
    EXPECT_EQ(keychain.keyCount(quilletTag), 1u) << "no second key was made";
    for (const auto& call : keychain.calls())
        EXPECT_NE(call.operation, KeychainOperation::createRandomKey);
    // The found key still signs proofs that verify with the same JWK.
    const auto proof = decodeProof(again.generateProof("https://id.example/a", "GET", {}));
    EXPECT_TRUE(verifyES256(jwk, proof.encodedHeader + "." + proof.encodedClaims, proof.signature));
}

TEST_F(DPoPSignerTest, DeniedKeychainEndsInAnInMemoryKeyThatStillSigns) {
    keychain.setFailure(KeychainOperation::copyPrivateKey, platform::errSecAuthFailed);
    keychain.setFailure(KeychainOperation::createRandomKey, platform::errSecAuthFailed);
    DPoPSigner signer;
    EXPECT_EQ(signer.backendKind(), DPoPSigner::BackendKind::ephemeralCryptoKit);
    EXPECT_EQ(keychain.keyCount(quilletTag), 0u);
    EXPECT_EQ(signer.publicJWK().at("kty"), "EC");
    EXPECT_EQ(signer.jktThumbprint(), DPoPSigner::jwkThumbprint(signer.publicJWK()));
    const auto proof = decodeProof(signer.generateProof("https://id.example/a", "GET", {}));
    EXPECT_TRUE(verifyES256(signer.publicJWK(), proof.encodedHeader + "." + proof.encodedClaims,
                            proof.signature));

    // An in-memory key is not kept: the next signer has another one.
    DPoPSigner next;
    EXPECT_NE(next.jktThumbprint(), signer.jktThumbprint());
}

TEST_F(DPoPSignerTest, AKeychainThatCannotBeReadNeitherAddsAKeyNorReplacesTheStoredOne) {
    std::string thumbprint;
    {
        DPoPSigner first;
        thumbprint = first.jktThumbprint();
    }
    struct Failure {
        KeychainOperation operation;
        platform::OSStatus status;
    };
    // A keyring still locked at login, a service that cannot be reached, a refusal, a key
    // that cannot be decoded, a key whose public half cannot be derived.
    const Failure failures[] = {
        {KeychainOperation::copyPrivateKey, platform::errSecInteractionNotAllowed},
        {KeychainOperation::copyPrivateKey, platform::errSecNotAvailable},
        {KeychainOperation::copyPrivateKey, platform::errSecAuthFailed},
        {KeychainOperation::copyPrivateKey, platform::errSecDecode},
        {KeychainOperation::copyPublicKey, platform::errSecParam},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.status);
        host.relaunch();
        keychain.setFailure(failure.operation, failure.status);
        keychain.clearCalls();
        {
            DPoPSigner meanwhile;
            EXPECT_EQ(meanwhile.backendKind(), DPoPSigner::BackendKind::ephemeralCryptoKit);
            EXPECT_NE(meanwhile.jktThumbprint(), thumbprint);
        }
        for (const auto& call : keychain.calls())
            EXPECT_NE(call.operation, KeychainOperation::createRandomKey);
        EXPECT_EQ(keychain.keyCount(quilletTag), 1u);

        // Once the Keychain answers again, the key of the first launch is back.
        keychain.clearFailures();
        host.relaunch();
        DPoPSigner recovered;
        EXPECT_EQ(recovered.jktThumbprint(), thumbprint);
        EXPECT_NE(recovered.backendKind(), DPoPSigner::BackendKind::ephemeralCryptoKit);
    }
}

TEST_F(DPoPSignerTest, InMemoryKeysAreCompactRepresentable) {
    keychain.setFailure(KeychainOperation::copyPrivateKey, platform::errSecAuthFailed);
    keychain.setFailure(KeychainOperation::createRandomKey, platform::errSecAuthFailed);
    // y = min(y, p - y), i.e. y <= (p - 1) / 2 for the P-256 prime; a random key has that
    // only half of the time.
    const std::vector<std::uint8_t> halfPrime{0x7F, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00,
                                              0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                              0x00, 0x00, 0x00, 0x00, 0x7F, 0xFF, 0xFF, 0xFF,
                                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (int i = 0; i < 16; ++i) {
        DPoPSigner signer;
        ASSERT_EQ(signer.backendKind(), DPoPSigner::BackendKind::ephemeralCryptoKit);
        const auto y = corvane::Base64URL::decode(signer.publicJWK().at("y"));
        ASSERT_TRUE(y && y->size() == 32);
        EXPECT_LE(*y, halfPrime);
    }
}

TEST_F(DPoPSignerTest, KeysWhosePublicHalfCannotBeReadAreNotUsed) {
    // Created keys whose external representation is unavailable: the JWK cannot be built.
    keychain.setFailure(KeychainOperation::externalRepresentation, platform::errSecParam);
    DPoPSigner noExport;
    EXPECT_EQ(noExport.backendKind(), DPoPSigner::BackendKind::ephemeralCryptoKit);
    keychain.clearFailures();
    keychain.removeKeys(quilletTag);

    keychain.setFailure(KeychainOperation::copyPublicKey, platform::errSecParam);
    DPoPSigner noPublic;
    EXPECT_EQ(noPublic.backendKind(), DPoPSigner::BackendKind::ephemeralCryptoKit);
}

TEST_F(DPoPSignerTest, KeychainSigningFailureIsReported) {
    DPoPSigner signer;
    ASSERT_EQ(signer.backendKind(), DPoPSigner::BackendKind::secureEnclave);
    keychain.setFailure(KeychainOperation::sign, platform::errSecInteractionNotAllowed);
    EXPECT_EQ(dpopReason([&] { signer.generateProof("https://id.example/a", "GET", {}); }),
              "sign_failed");
    keychain.clearFailure(KeychainOperation::sign);
    EXPECT_NO_THROW(signer.generateProof("https://id.example/a", "GET", {}));
}

// --- proofs ---

TEST_F(DPoPSignerTest, ProofHasTheDPoPHeaderAndSignsWithThePublishedKey) {
    DPoPSigner signer;
    const auto raw =
        signer.generateProof("https://id.example/api/app-sessions/exchange", "POST", std::nullopt);
    EXPECT_EQ(std::count(raw.begin(), raw.end(), '.'), 2);
    EXPECT_EQ(raw.find_first_of("=+/"), std::string::npos);
    const auto proof = decodeProof(raw);
    const auto& jwk = signer.publicJWK();
    // Keys sorted, the JWK nested and sorted too, no blanks.
    EXPECT_EQ(proof.headerText, R"({"alg":"ES256","jwk":{"crv":"P-256","kty":"EC","x":")" +
                                    jwk.at("x") + R"(","y":")" + jwk.at("y") +
                                    R"("},"typ":"dpop+jwt"})");
    EXPECT_EQ(proof.signature.size(), 64u);
    const auto signingInput = proof.encodedHeader + "." + proof.encodedClaims;
    EXPECT_TRUE(verifyES256(jwk, signingInput, proof.signature));
    // The check can fail: another input does not verify.
    EXPECT_FALSE(verifyES256(jwk, signingInput + "x", proof.signature));
}

TEST_F(DPoPSignerTest, ClaimsCarryMethodUrlTimeAndAFreshId) {
    host.advance(12.75);
    DPoPSigner signer;
    const auto proof =
        decodeProof(signer.generateProof("https://id.example/api/x?y=1#f", "post", std::nullopt));
    const auto& claims = proof.claims;
    EXPECT_EQ(claims.at("htm"), "POST");
    EXPECT_EQ(claims.at("htu"), "https://id.example/api/x");
    // Whole seconds, truncated.
    const auto expectedIat =
        std::chrono::duration_cast<std::chrono::seconds>(host.now().time_since_epoch()).count();
    EXPECT_EQ(claims.at("iat"), 1767603600 + 12);
    EXPECT_EQ(claims.at("iat"), expectedIat);
    EXPECT_TRUE(claims.at("iat").is_number_integer());
    EXPECT_EQ(claims.at("jti").get<std::string>().size(), 22u);
    EXPECT_FALSE(claims.contains("ath"));
    // Sorted keys, "/" not escaped.
    EXPECT_EQ(proof.claimsText, R"({"htm":"POST","htu":"https://id.example/api/x","iat":)" +
                                    std::to_string(expectedIat) + R"(,"jti":")" +
                                    claims.at("jti").get<std::string>() + R"("})");

    std::set<std::string> ids;
    for (int i = 0; i < 50; ++i)
        ids.insert(decodeProof(signer.generateProof("https://id.example/", "GET", {}))
                       .claims.at("jti")
                       .get<std::string>());
    EXPECT_EQ(ids.size(), 50u);
}

// Proof identifiers come from a buffer of random bytes; a forked child (a helper started by the
// host, say) draws its own and never repeats the one its parent uses next.
TEST_F(DPoPSignerTest, AForkedChildNeverRepeatsItsParentsNextJti) {
    DPoPSigner signer;
    const auto nextJti = [&] {
        return decodeProof(signer.generateProof("https://id.example/", "GET", {}))
            .claims.at("jti")
            .get<std::string>();
    };
    nextJti();
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string id = nextJti();
        const bool written = write(out[1], id.data(), id.size()) == static_cast<ssize_t>(id.size());
        _exit(written ? 0 : 1);
    }
    close(out[1]);
    const std::string parentNext = nextJti();
    std::string childJti(64, '\0');
    const ssize_t length = read(out[0], childJti.data(), childJti.size());
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    childJti.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    EXPECT_EQ(childJti.size(), 22u);
    EXPECT_NE(childJti, parentNext);
}

TEST_F(DPoPSignerTest, HtuDropsOnlyQueryAndFragment) {
    DPoPSigner signer;
    const auto htu = [&](std::string_view url) {
        return decodeProof(signer.generateProof(url, "GET", {}))
            .claims.at("htu")
            .get<std::string>();
    };
    EXPECT_EQ(htu("https://id.example/api/x?y=1#f"), "https://id.example/api/x");
    EXPECT_EQ(htu("https://id.example/api/x#f"), "https://id.example/api/x");
    EXPECT_EQ(htu("https://id.example/api/x?"), "https://id.example/api/x");
    EXPECT_EQ(htu("https://id.example:8443/a/b/?q"), "https://id.example:8443/a/b/");
    EXPECT_EQ(htu("http://127.0.0.1:5000/api/sessions/revoke"),
              "http://127.0.0.1:5000/api/sessions/revoke");
    // Not a URL: used as given.
    EXPECT_EQ(htu("not a url?x"), "not a url?x");
    // Only a query: nothing is left, so the text is used as given.
    EXPECT_EQ(htu("?only=query"), "?only=query");
}

TEST_F(DPoPSignerTest, AthBindsTheTokenWheneverOneIsGiven) {
    DPoPSigner signer;
    const auto claims = [&](std::optional<std::string> token) {
        return decodeProof(signer.generateProof("https://id.example/", "GET", token)).claims;
    };
    EXPECT_FALSE(claims(std::nullopt).contains("ath"));
    // SHA-256 of "" and of "abc", base64url.
    EXPECT_EQ(claims(std::string()).at("ath"), "47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU");
    EXPECT_EQ(claims(std::string("abc")).at("ath"), "ungWv48Bz-pBQUDeXa4iI7ADYaOWF3qctBD_YfIAFa0");
}

TEST_F(DPoPSignerTest, TextThatIsNotUtf8IsRefusedClearly) {
    DPoPSigner signer;
    EXPECT_EQ(dpopReason([&] { signer.generateProof("https://id.example/", "G\xFF", {}); }),
              "proof_encoding_failed");
}
