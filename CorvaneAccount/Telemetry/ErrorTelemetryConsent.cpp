#include "CorvaneAccount/Telemetry/ErrorTelemetryConsent.h"

#include "Platform/Host.h"
#include "Platform/UserDefaults.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvane::ErrorTelemetryConsent {

namespace {

// The stored Bool under `key`; none when absent or of another type.
std::optional<bool> storedBool(std::string_view key) {
    auto value = platform::host().userDefaults().object(std::string(key));
    return value ? value->asBool() : std::nullopt;
}

void store(std::string_view key, bool value) {
    platform::host().userDefaults().set(std::string(key), platform::Value(value));
}

using Listener = std::function<void()>;

struct Listeners {
    std::mutex mutex;
    std::vector<std::weak_ptr<Listener>> all;
};

Listeners& listeners() {
    static auto* const instance = new Listeners; // outlives every client, also at exit
    return *instance;
}

} // namespace

bool isEnabled() {
    if (auto explicitChoice = storedBool(Keys::enabled))
        return *explicitChoice;
    return storedBool(Keys::resolvedIsEU) != std::optional<bool>(true);
}

bool mayUpload() {
    if (auto explicitChoice = storedBool(Keys::enabled))
        return *explicitChoice;
    return storedBool(Keys::resolvedIsEU) == std::optional<bool>(false);
}

void setEnabled(bool enabled) {
    store(Keys::enabled, enabled);
    if (enabled)
        return;
    std::vector<std::shared_ptr<Listener>> alive;
    {
        auto& l = listeners();
        std::lock_guard guard(l.mutex);
        std::erase_if(l.all, [](const auto& weak) { return weak.expired(); });
        for (const auto& weak : l.all)
            if (auto listener = weak.lock())
                alive.push_back(std::move(listener));
    }
    for (const auto& listener : alive)
        (*listener)();
}

std::shared_ptr<void> onWithdrawn(std::function<void()> listener) {
    auto held = std::make_shared<Listener>(std::move(listener));
    auto& l = listeners();
    std::lock_guard guard(l.mutex);
    l.all.push_back(held);
    return held;
}

bool shouldShowOptOutNote() {
    return storedBool(Keys::optOutShown) != std::optional<bool>(true);
}

void markOptOutNoteShown() {
    store(Keys::optOutShown, true);
}

bool shouldShowEUOptIn() {
    return storedBool(Keys::resolvedIsEU) == std::optional<bool>(true) &&
           !storedBool(Keys::enabled) &&
           storedBool(Keys::euOptInShown) != std::optional<bool>(true);
}

void markEUOptInShown() {
    store(Keys::euOptInShown, true);
}

} // namespace corvane::ErrorTelemetryConsent
