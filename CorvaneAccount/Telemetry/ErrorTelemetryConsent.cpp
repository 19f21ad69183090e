#include "CorvaneAccount/Telemetry/ErrorTelemetryConsent.h"

#include "Platform/Host.h"
#include "Platform/UserDefaults.h"

#include <optional>
#include <string>

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

} // namespace

bool isEnabled() {
    if (auto explicitChoice = storedBool(Keys::enabled))
        return *explicitChoice;
    return storedBool(Keys::resolvedIsEU) != std::optional<bool>(true);
}

void setEnabled(bool enabled) {
    store(Keys::enabled, enabled);
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
