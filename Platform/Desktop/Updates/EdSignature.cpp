#include "Platform/Desktop/Updates/EdSignature.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>
#include <new>

namespace desktop {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// ASCII by hand: the process locale must not widen the alphabet.
bool isBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

// The Ed25519 key in `publicKeyBase64`, or none.
Key edPublicKey(std::string_view publicKeyBase64) {
    const auto raw = decodeBase64(publicKeyBase64, edPublicKeyBytes);
    if (!raw || raw->size() != edPublicKeyBytes)
        return nullptr;
    Key key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw->data(), raw->size()));
    // A refused key leaves its reason on the thread's error queue; nobody reads it.
    if (!key)
        ERR_clear_error();
    return key;
}

} // namespace

std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text, std::size_t maxBytes) {
    text = trimmed(text);
    if (text.size() % 4 != 0)
        return std::nullopt;
    // Padding: at most two "=", and only at the very end.
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
        ++padding;
    const auto body = text.substr(0, text.size() - padding);
    for (char c : body)
        if (!isBase64Character(c))
            return std::nullopt;
    const std::size_t decodedSize = text.size() / 4 * 3 - padding;
    if (decodedSize > maxBytes || text.size() > static_cast<std::size_t>(INT_MAX))
        return std::nullopt;
    if (text.empty())
        return std::vector<std::uint8_t>{};

    // OpenSSL decodes whole groups of four, padding bytes included; they are cut off after.
    std::vector<std::uint8_t> out(text.size() / 4 * 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0 || static_cast<std::size_t>(n) != out.size())
        return std::nullopt;
    out.resize(decodedSize);
    return out;
}

bool isEdPublicKey(std::string_view publicKeyBase64) {
    return edPublicKey(publicKeyBase64) != nullptr;
}

EdSignatureCheck verifyEdSignature(std::span<const std::uint8_t> data,
                                   std::string_view signatureBase64,
                                   std::string_view publicKeyBase64) {
    if (trimmed(signatureBase64).empty())
        return EdSignatureCheck::noSignature;
    const Key key = edPublicKey(publicKeyBase64);
    if (!key)
        return EdSignatureCheck::malformedKey;
    const auto signature = decodeBase64(signatureBase64, edSignatureBytes);
    if (!signature || signature->size() != edSignatureBytes)
        return EdSignatureCheck::malformedSignature;

    const std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!context)
        throw std::bad_alloc();
    // Ed25519 signs the message itself (RFC 8032 §5.1.6): no digest, one call over all of it.
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        ERR_clear_error();
        return EdSignatureCheck::malformedKey;
    }
    static const std::uint8_t nothing = 0;
    const int verified = EVP_DigestVerify(context.get(), signature->data(), signature->size(),
                                          data.empty() ? &nothing : data.data(), data.size());
    if (verified == 1)
        return EdSignatureCheck::verified;
    ERR_clear_error();
    return EdSignatureCheck::mismatch;
}

std::string_view edSignatureProblem(EdSignatureCheck check) {
    switch (check) {
    case EdSignatureCheck::verified:
        return {};
    case EdSignatureCheck::noSignature:
        return "The update has no signature.";
    case EdSignatureCheck::malformedSignature:
        return "The update\u2019s signature is malformed.";
    case EdSignatureCheck::malformedKey:
        return "The update signing key is not valid.";
    case EdSignatureCheck::mismatch:
        return "The update\u2019s signature does not match the download.";
    }
    return "The update\u2019s signature could not be checked.";
}

} // namespace desktop
