#include "CorvaneAccount/Transport/DPoPSigner.h"

#include "CorvaneAccount/Foundation/Base64URL.h"
#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Platform/Keychain.h"
#include "Platform/Process.h"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>
#include <nlohmann/json.hpp>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <mutex>

namespace corvane {

namespace {

// The maker's reverse-DNS prefix of the library's Keychain names.
constexpr std::string_view keychainPrefix = "com.corvane";
// ECDSA P-256 components are 32 bytes each; the uncompressed point is 0x04 || X || Y.
constexpr std::size_t p256ComponentLength = 32;
constexpr std::size_t uncompressedPointLength = 1 + 2 * p256ComponentLength;

[[noreturn]] void fail(const char* reason) {
    throw CorvaneError::dpopUnavailable(reason);
}

// The random bytes of the proofs' "jti", drawn from OpenSSL a kilobyte at a time: every draw
// costs about a tenth of a signature whatever its size (its lock, its fork check, the
// generator's re-keying), and a proof needs only 16 bytes. A forked child starts with an empty
// buffer, so that it never repeats the identifiers its parent is about to use.
class JtiRandom {
public:
    static constexpr std::size_t idBytes = 16;

    static std::array<std::uint8_t, idBytes> next() {
        static std::once_flag registered;
        std::call_once(registered, [] {
            platform::atFork([] { mutex().lock(); }, [] { mutex().unlock(); },
                             [] {
                                 state().available = 0;
                                 mutex().unlock();
                             });
        });
        std::array<std::uint8_t, idBytes> id{};
        std::lock_guard lock(mutex());
        auto& pool = state();
        if (pool.available < idBytes) {
            if (RAND_bytes(pool.bytes.data(), static_cast<int>(pool.bytes.size())) != 1)
                fail("random_unavailable");
            pool.available = pool.bytes.size();
        }
        const auto from =
            pool.bytes.begin() + static_cast<std::ptrdiff_t>(pool.available - idBytes);
        std::copy(from, from + idBytes, id.begin());
        // Handed out once: wiped from the buffer.
        std::fill(from, from + idBytes, std::uint8_t{0});
        pool.available -= idBytes;
        return id;
    }

private:
    struct Pool {
        std::array<std::uint8_t, 64 * idBytes> bytes{};
        std::size_t available = 0;
    };
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static Pool& state() {
        static Pool pool;
        return pool;
    }
};

struct PKeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PKeyContextDeleter {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct MDDeleter {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyDeleter>;
using PKeyContextPtr = std::unique_ptr<EVP_PKEY_CTX, PKeyContextDeleter>;

// SHA-256, fetched from the provider once rather than at every digest.
const EVP_MD* sha256Algorithm() {
    static const std::unique_ptr<EVP_MD, MDDeleter> md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    return md ? md.get() : EVP_sha256();
}

std::array<std::uint8_t, 32> sha256(std::string_view text) {
    std::array<std::uint8_t, 32> digest{};
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest.data(), &length, sha256Algorithm(), nullptr) !=
            1 ||
        length != digest.size())
        fail("digest_failed");
    return digest;
}

// {"kty":"EC","crv":"P-256","x":…,"y":…} from a 65-byte uncompressed point (already checked).
DPoPSigner::JWK jwkFromPoint(std::span<const std::uint8_t> point) {
    return DPoPSigner::JWK{
        {"kty", "EC"},
        {"crv", "P-256"},
        {"x", Base64URL::encode(point.subspan(1, p256ComponentLength))},
        {"y", Base64URL::encode(point.subspan(1 + p256ComponentLength, p256ComponentLength))},
    };
}

// The JWK of a Keychain public key, from its external representation.
DPoPSigner::JWK jwkFromKeychainPublicKey(platform::Keychain& keychain,
                                         const platform::KeyRef& publicKey) {
    const auto external = keychain.externalRepresentation(publicKey);
    if (!external)
        fail("public_key_export_failed");
    if (external->size() != uncompressedPointLength || (*external)[0] != 0x04)
        fail("public_key_format");
    return jwkFromPoint(*external);
}

// Reads a DER length at `offset` (which it advances). Short form is one byte below 0x80; long
// form is 0x80 + n followed by n big-endian bytes. Lengths whose bytes, or whose value, run past
// the end of `der` fail with "der_truncated".
std::size_t readLength(std::span<const std::uint8_t> der, std::size_t& offset) {
    if (offset >= der.size())
        fail("der_truncated");
    const std::uint8_t first = der[offset++];
    if (first < 0x80)
        return first;
    const std::size_t byteCount = first & 0x7F;
    if (byteCount > der.size() - offset)
        fail("der_truncated");
    std::size_t length = 0;
    for (std::size_t i = 0; i < byteCount; ++i) {
        // No length beyond the buffer can be valid; checking before each shift also keeps the
        // value from overflowing.
        if (length > der.size())
            fail("der_truncated");
        length = (length << 8) | der[offset++];
    }
    return length;
}

// Reads one INTEGER at `offset` into a big-endian value of exactly `componentLength` bytes.
std::vector<std::uint8_t> nextInteger(std::span<const std::uint8_t> der, std::size_t& offset,
                                      std::size_t componentLength) {
    if (offset >= der.size())
        fail("der_truncated");
    if (der[offset] != 0x02)
        fail("der_not_integer");
    ++offset;
    const std::size_t length = readLength(der, offset);
    if (length > der.size() - offset)
        fail("der_truncated");
    auto value = der.subspan(offset, length);
    offset += length;
    // A positive INTEGER gains a leading 0x00 when its top bit is set: drop such zeros.
    while (value.size() > componentLength && value.front() == 0x00)
        value = value.subspan(1);
    if (value.size() > componentLength)
        fail("der_integer_too_long");
    std::vector<std::uint8_t> out(componentLength - value.size(), 0x00);
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

std::string upperCasedASCII(std::string_view text) {
    std::string out(text);
    for (auto& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

// The request URL without its query and fragment; the text unchanged when it is no URL or
// nothing is left.
std::string htuText(std::string_view htu) {
    const auto parsed = boost::urls::parse_uri_reference(htu);
    if (!parsed)
        return std::string(htu);
    boost::urls::url url(*parsed);
    url.remove_query();
    url.remove_fragment();
    std::string text(url.buffer());
    return text.empty() ? std::string(htu) : text;
}

std::string serialise(const nlohmann::json& object) {
    try {
        // nlohmann::json keeps object keys sorted (nested ones too) and never escapes "/".
        return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception&) {
        // Text that is not UTF-8 (a caller's method or URL) cannot be a JSON string.
        fail("proof_encoding_failed");
    }
}

// Appends `text` as a JSON string: plain printable ASCII as it is, anything else through the
// JSON library (which refuses text that is not UTF-8).
void appendJSONString(std::string& out, std::string_view text) {
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
    });
    if (plain) {
        out += '"';
        out += text;
        out += '"';
        return;
    }
    out += serialise(nlohmann::json(std::string(text)));
}

} // namespace

struct DPoPSigner::Backend {
    // Keychain backends: the private key, signing through the Keychain.
    std::shared_ptr<platform::KeyRef> keychainKey;
    // In-memory backend: an OpenSSL P-256 key.
    PKeyPtr memoryKey;

    std::vector<std::uint8_t> sign(std::string_view input) const {
        if (keychainKey) {
            const platform::KeychainBytes message(input.begin(), input.end());
            const auto result = platform::host().keychain().sign(*keychainKey, message);
            if (result.status != platform::errSecSuccess || result.signature.empty())
                fail("sign_failed");
            return derToJoseECDSA(result.signature, p256ComponentLength);
        }
        // The SHA-256 of the input, signed with a context prepared once for the key: setting
        // one up per proof (fetching the algorithms, exporting the key to the provider) costs
        // about half as much again as the signature itself.
        const auto digest = sha256(input);
        std::array<std::uint8_t, 80> der{};
        std::size_t length = der.size();
        {
            std::lock_guard guard(signLock);
            if (!signContext || EVP_PKEY_sign(signContext.get(), der.data(), &length, digest.data(),
                                              digest.size()) != 1)
                fail("sign_failed");
        }
        // OpenSSL answers with a DER ECDSA-Sig-Value; the JOSE form is r || s.
        return derToJoseECDSA(std::span(der.data(), length), p256ComponentLength);
    }

    // Prepares the in-memory key's signing context; without one, signing fails.
    void prepareMemoryKey() {
        PKeyContextPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, memoryKey.get(), nullptr));
        if (context && EVP_PKEY_sign_init(context.get()) == 1)
            signContext = std::move(context);
    }

    // The in-memory key's signing context, used by one proof at a time.
    PKeyContextPtr signContext;
    mutable std::mutex signLock;
};

namespace {

struct CreationResult {
    std::unique_ptr<DPoPSigner::Backend> backend;
    DPoPSigner::BackendKind kind;
    DPoPSigner::JWK publicJWK;
};

CreationResult keychainResult(std::shared_ptr<platform::KeyRef> key, DPoPSigner::BackendKind kind,
                              DPoPSigner::JWK jwk) {
    auto backend = std::make_unique<DPoPSigner::Backend>();
    backend->keychainKey = std::move(key);
    return CreationResult{std::move(backend), kind, std::move(jwk)};
}

// Thrown by loadKeychainKey when the Keychain answered that no key is kept under the tag: the
// one failure after which a new key may be made.
struct NoKeyUnderTag {};

// The key kept under `tag` from an earlier launch.
CreationResult loadKeychainKey(platform::Keychain& keychain, const std::string& tag) {
    auto found = keychain.copyPrivateKey(tag);
    if (found.status == platform::errSecItemNotFound)
        throw NoKeyUnderTag();
    if (found.status != platform::errSecSuccess || !found.key)
        fail("no_existing_key");
    const auto publicKey = keychain.copyPublicKey(*found.key);
    if (!publicKey)
        fail("no_public_key");
    auto jwk = jwkFromKeychainPublicKey(keychain, *publicKey);
    // Whether it was made on the Secure Enclave is not recorded with the key; both Keychain
    // backends sign the same way.
    return keychainResult(std::move(found.key), DPoPSigner::BackendKind::softwareKeychain,
                          std::move(jwk));
}

// A new permanent key under `tag`: on the Secure Enclave when it can be, else in software.
CreationResult createKeychainKey(platform::Keychain& keychain, const std::string& tag) {
    platform::KeyAttributes attributes;
    attributes.keySizeInBits = 256;
    attributes.permanent = true;
    attributes.applicationTag = tag;

    if (const auto access = keychain.createAccessControl(
            platform::KeychainAccessibility::afterFirstUnlockThisDeviceOnly,
            platform::AccessControlFlags::privateKeyUsage)) {
        attributes.accessControl = *access;
        attributes.tokenID = platform::KeyTokenID::secureEnclave;
        auto created = keychain.createRandomKey(attributes);
        if (created.status == platform::errSecSuccess && created.key) {
            if (const auto publicKey = keychain.copyPublicKey(*created.key)) {
                auto jwk = jwkFromKeychainPublicKey(keychain, *publicKey);
                return keychainResult(std::move(created.key),
                                      DPoPSigner::BackendKind::secureEnclave, std::move(jwk));
            }
        }
    }

    // No Secure Enclave (or no access control): a software key, without access control.
    attributes.tokenID.reset();
    attributes.accessControl.reset();
    auto created = keychain.createRandomKey(attributes);
    if (created.status == platform::errSecSuccess && created.key) {
        if (const auto publicKey = keychain.copyPublicKey(*created.key)) {
            auto jwk = jwkFromKeychainPublicKey(keychain, *publicKey);
            return keychainResult(std::move(created.key), DPoPSigner::BackendKind::softwareKeychain,
                                  std::move(jwk));
        }
    }
    fail("key_create_failed");
}

// (p - 1) / 2 for the P-256 prime p, big-endian.
constexpr std::array<std::uint8_t, p256ComponentLength> halfPrime{
    0x7F, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// A compact-representable public key has y = min(y, p - y), so x alone determines the point;
// for odd p that is y <= (p - 1) / 2.
bool isCompactRepresentable(std::span<const std::uint8_t> point) {
    const auto y = point.subspan(1 + p256ComponentLength, p256ComponentLength);
    return !std::lexicographical_compare(halfPrime.begin(), halfPrime.end(), y.begin(), y.end());
}

// A fresh compact-representable P-256 key that lives only as long as the signer. Half of all
// keys qualify, so a few tries suffice.
CreationResult makeEphemeralKey() {
    for (int attempt = 0; attempt < 64; ++attempt) {
        PKeyPtr key(EVP_EC_gen("P-256"));
        if (!key)
            fail("key_create_failed");
        std::array<std::uint8_t, uncompressedPointLength> point{};
        std::size_t length = 0;
        if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY,
                                            point.data(), point.size(), &length) != 1 ||
            length != point.size() || point[0] != 0x04)
            fail("public_key_format");
        if (!isCompactRepresentable(point))
            continue;
        auto backend = std::make_unique<DPoPSigner::Backend>();
        backend->memoryKey = std::move(key);
        backend->prepareMemoryKey();
        return CreationResult{std::move(backend), DPoPSigner::BackendKind::ephemeralCryptoKit,
                              jwkFromPoint(point)};
    }
    fail("key_create_failed");
}

CreationResult setUpKey() {
    auto& keychain = platform::host().keychain();
    const auto tag = DPoPSigner::keyTag();
    // A key is only made when the Keychain says there is none. Any other failure (a locked
    // keyring, an unreachable service, an unreadable key) may hide the key of earlier launches:
    // making another would change the thumbprint that sessions are bound to, so this run uses
    // an in-memory key and stores nothing. No failure is reported.
    try {
        return loadKeychainKey(keychain, tag);
    } catch (const NoKeyUnderTag&) {
        try {
            return createKeychainKey(keychain, tag);
        } catch (const CorvaneError&) {
        }
    } catch (const CorvaneError&) {
    }
    return makeEphemeralKey();
}

} // namespace

DPoPSigner::DPoPSigner() {
    auto created = setUpKey();
    backend_ = std::move(created.backend);
    backendKind_ = created.kind;
    publicJWK_ = std::move(created.publicJWK);
    jktThumbprint_ = jwkThumbprint(publicJWK_);
    // RFC 9449 §4.2: the header carries the public key the proof is checked with; it is the
    // same for every proof of this key.
    const nlohmann::json header = {
        {"typ", "dpop+jwt"},
        {"alg", "ES256"},
        {"jwk", publicJWK_},
    };
    encodedHeader_ = Base64URL::encode(serialise(header));
}

DPoPSigner::~DPoPSigner() = default;

std::string DPoPSigner::keyTag() {
    const auto& bundleID = platform::host().mainBundle().bundleIdentifier;
    return std::string(keychainPrefix) + ".account.dpop.privatekey." +
           (bundleID ? *bundleID : std::string("default"));
}

std::string
DPoPSigner::thumbprintInput(std::span<const std::pair<std::string, std::string>> members) {
    // RFC 7638 §3.2: the required members of an EC key in lexicographic order.
    static constexpr std::array<std::string_view, 4> required{"crv", "kty", "x", "y"};
    std::string text = "{";
    bool first = true;
    for (const auto name : required) {
        for (const auto& [key, value] : members) {
            if (key != name)
                continue;
            if (!first)
                text += ',';
            first = false;
            text += '"';
            text += key;
            text += "\":\"";
            text += value;
            text += '"';
            break;
        }
    }
    text += '}';
    return text;
}

std::string
DPoPSigner::jwkThumbprint(std::span<const std::pair<std::string, std::string>> members) {
    return Base64URL::encode(sha256(thumbprintInput(members)));
}

std::string DPoPSigner::jwkThumbprint(const JWK& jwk) {
    const std::vector<std::pair<std::string, std::string>> members(jwk.begin(), jwk.end());
    return jwkThumbprint(members);
}

std::vector<std::uint8_t> DPoPSigner::derToJoseECDSA(std::span<const std::uint8_t> der,
                                                     std::size_t componentLength) {
    if (der.size() < 3 || der[0] != 0x30)
        fail("der_not_sequence");
    // The SEQUENCE's contents start after its length; 0x80 alone (indefinite form) has none.
    std::size_t offset = 1;
    if (der[1] == 0x80) {
        offset = 2;
    } else {
        const std::size_t length = readLength(der, offset);
        if (length > der.size() - offset)
            fail("der_truncated");
    }
    auto r = nextInteger(der, offset, componentLength);
    const auto s = nextInteger(der, offset, componentLength);
    r.insert(r.end(), s.begin(), s.end());
    return r;
}

std::string DPoPSigner::generateProof(std::string_view htu, std::string_view htm,
                                      const std::optional<std::string>& accessToken,
                                      const std::optional<std::string>& nonce) const {
    const std::string jti = Base64URL::encode(JtiRandom::next());
    const auto iat =
        std::chrono::duration_cast<std::chrono::seconds>(platform::now().time_since_epoch())
            .count();

    // The claims as nlohmann::json writes them (keys sorted, strings escaped alike), written
    // directly: "ath", "htm", "htu", "iat", "jti", "nonce".
    std::string claims = "{";
    // An access token, even an empty one, is bound by its hash (RFC 9449 §4.2 "ath").
    if (accessToken)
        claims += "\"ath\":\"" + Base64URL::encode(sha256(*accessToken)) + "\",";
    claims += "\"htm\":";
    appendJSONString(claims, upperCasedASCII(htm));
    claims += ",\"htu\":";
    appendJSONString(claims, htuText(htu));
    claims += ",\"iat\":" + std::to_string(static_cast<std::int64_t>(iat));
    claims += ",\"jti\":\"" + jti + "\"";
    if (nonce) {
        claims += ",\"nonce\":";
        appendJSONString(claims, *nonce);
    }
    claims += '}';

    // Signing input: base64url(header) "." base64url(claims), signed as UTF-8 bytes.
    std::string proof;
    proof.reserve(encodedHeader_.size() + 2 * claims.size() + 100);
    proof += encodedHeader_;
    proof += '.';
    proof += Base64URL::encode(claims);
    const auto signature = backend_->sign(proof);
    proof += '.';
    proof += Base64URL::encode(signature);
    return proof;
}

} // namespace corvane
