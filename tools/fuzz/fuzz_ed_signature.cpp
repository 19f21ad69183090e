// Fuzzes the update signature check: the first line of the input is taken as a signature, the
// second as a public key, the rest as the downloaded file. Any bytes give one of the named
// results without a read outside the input; the base64 reader takes back exactly what OpenSSL
// writes; a signature made here verifies over its file and not over it with a bit changed.
#include "Platform/Desktop/Updates/EdSignature.h"

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace desktop;

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

std::string base64(const std::vector<std::uint8_t>& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// One key for the whole run, made from a fixed seed so that findings replay.
const EVP_PKEY& signingKey() {
    static const std::unique_ptr<EVP_PKEY, KeyFree> key([] {
        const std::vector<std::uint8_t> seed(32, 0x5a);
        return EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
    }());
    check(key != nullptr);
    return *key;
}

std::string publicKey() {
    std::vector<std::uint8_t> raw(edPublicKeyBytes);
    std::size_t size = raw.size();
    check(EVP_PKEY_get_raw_public_key(&signingKey(), raw.data(), &size) == 1);
    return base64(raw);
}

std::string sign(std::span<const std::uint8_t> data) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    std::vector<std::uint8_t> out(edSignatureBytes);
    std::size_t size = out.size();
    static const std::uint8_t nothing = 0;
    check(context && EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr,
                                        const_cast<EVP_PKEY*>(&signingKey())) == 1);
    check(EVP_DigestSign(context.get(), out.data(), &size, data.empty() ? &nothing : data.data(),
                         data.size()) == 1);
    return base64(out);
}

std::string_view nextLine(std::string_view& rest) {
    const auto end = rest.find('\n');
    const auto line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const auto signature = nextLine(rest);
    const auto key = nextLine(rest);
    // A copy of exactly the file's bytes, so that a read past them is seen.
    const std::vector<std::uint8_t> file(rest.begin(), rest.end());

    const auto result = verifyEdSignature(file, signature, key);
    check(result == EdSignatureCheck::verified || result == EdSignatureCheck::noSignature ||
          result == EdSignatureCheck::malformedSignature ||
          result == EdSignatureCheck::malformedKey || result == EdSignatureCheck::mismatch);
    check((result == EdSignatureCheck::verified) == edSignatureProblem(result).empty());

    // Decoding is bounded and takes back what OpenSSL writes.
    for (const auto text : {signature, key}) {
        const auto decoded = decodeBase64(text, 64);
        if (decoded) {
            check(decoded->size() <= 64);
            check(decodeBase64(base64(*decoded), 64) == decoded);
        }
    }
    const std::vector<std::uint8_t> bytes(signature.begin(), signature.end());
    check(decodeBase64(base64(bytes), bytes.size()) == bytes);

    // A real signature verifies over the file and not over the file with a bit changed.
    const auto good = sign(file);
    check(verifyEdSignature(file, good, publicKey()) == EdSignatureCheck::verified);
    if (!file.empty()) {
        auto changed = file;
        changed[changed.size() / 2] ^= 0x01;
        check(verifyEdSignature(changed, good, publicKey()) == EdSignatureCheck::mismatch);
    }
    return 0;
}
