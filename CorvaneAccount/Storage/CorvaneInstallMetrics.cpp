#include "CorvaneAccount/Storage/CorvaneInstallMetrics.h"

#include "CorvaneAccount/Storage/KeychainStorage.h"

#include <openssl/rand.h>

#include <array>
#include <mutex>
#include <random>

namespace corvane {

namespace {

// Serialises every read-then-write of the installation items in this process.
std::mutex& processLock() {
    static std::mutex m;
    return m;
}

bool isUTF8(const Data& d) {
    std::size_t i = 0;
    while (i < d.size()) {
        const std::uint8_t c = d[i];
        std::size_t len;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > d.size())
            return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((d[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

// A random (version 4) UUID in lowercase.
std::string randomUUID() {
    std::array<std::uint8_t, 16> b{};
    if (RAND_bytes(b.data(), static_cast<int>(b.size())) != 1) {
        std::random_device rd;
        for (auto& x : b)
            x = static_cast<std::uint8_t>(rd());
    }
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
    static constexpr char hex[] = "0123456789abcdef";
    std::string s;
    s.reserve(36);
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            s += '-';
        s += hex[b[i] >> 4];
        s += hex[b[i] & 0x0F];
    }
    return s;
}

} // namespace

CorvaneInstallMetrics::CorvaneInstallMetrics(const std::string& appSlug)
    : storage(std::make_shared<KeychainStorage>(appSlug, std::nullopt)) {}

CorvaneInstallMetrics::CorvaneInstallMetrics(std::shared_ptr<CorvaneAccountDataStorage> storage)
    : storage(std::move(storage)) {}

std::string CorvaneInstallMetrics::installID() const {
    std::lock_guard guard(processLock());
    if (auto existing = storage->getData(Keys::installID);
        existing && !existing->empty() && isUTF8(*existing))
        return std::string(existing->begin(), existing->end());
    std::string id = randomUUID();
    try {
        storage->setData(Data(id.begin(), id.end()), Keys::installID);
    } catch (...) {
        // Without a stored id this launch still has one; the next launch tries again.
    }
    return id;
}

bool CorvaneInstallMetrics::shouldFireFirstOpen() const {
    std::lock_guard guard(processLock());
    return !storage->getData(Keys::firstOpenFired).has_value();
}

bool CorvaneInstallMetrics::markFirstOpenFired() const {
    std::lock_guard guard(processLock());
    if (storage->getData(Keys::firstOpenFired))
        return true;
    try {
        storage->setData(Data{'1'}, Keys::firstOpenFired);
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace corvane
