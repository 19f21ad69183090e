// The user's consent switch for error telemetry, its region-dependent default and the texts of
// the two consent dialogs a host shows. Reads and writes the host's user defaults directly; holds
// no state of its own.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

namespace corvane::ErrorTelemetryConsent {

// User-defaults keys, all holding Bool values.
namespace Keys {
// The user's explicit choice; absent means "no choice yet".
inline constexpr std::string_view enabled = "corvane.error_telemetry_enabled";
inline constexpr std::string_view optOutShown = "corvane.error_telemetry_opt_out_shown";
inline constexpr std::string_view euOptInShown = "corvane.error_telemetry_eu_optin_shown";
// The geo probe's cached answer: true in the EU, absent while the region is unknown.
inline constexpr std::string_view resolvedIsEU = "corvane.error_telemetry_eu_region";
} // namespace Keys

// "[AppName]" is the host's to replace; the library never substitutes it.
inline constexpr std::string_view optOutNoteTitle = "Before you turn this off";
inline constexpr std::string_view optOutNoteBodyTemplate =
    "These reports are fully anonymous and help us make [AppName] better for everyone \u2014 at "
    "no cost to you.";
inline constexpr std::string_view optOutNotePrimaryLabel = "Keep sending reports";
inline constexpr std::string_view optOutNoteSecondaryLabel = "Turn off anyway";
inline constexpr std::string_view euOptInTitle = "Help improve this app?";
inline constexpr std::string_view euOptInBodyTemplate =
    "Anonymous error reports help us fix issues faster. No personal data \u2014 just crash "
    "signals.";
inline constexpr std::string_view euOptInEnableLabel = "Enable";
inline constexpr std::string_view euOptInNotNowLabel = "Not now";

// The explicit choice when one is stored; else off in the EU, on elsewhere or when unknown.
bool isEnabled();
// Whether recorded errors may leave the machine now: the explicit choice when one is stored;
// else only once the region is known and is not the EU. While the region is unknown errors are
// recorded (isEnabled) but kept: an EU user's first errors must not leave before the geo probe
// has answered and the opt-in dialog has been shown.
bool mayUpload();
// Stores the user's explicit choice; turning it off tells every withdrawal listener at once.
void setEnabled(bool enabled);
// Calls `listener` (on the thread that turns consent off) each time setEnabled(false) is called,
// for as long as the returned handle is held.
std::shared_ptr<void> onWithdrawn(std::function<void()> listener);
// True until markOptOutNoteShown().
bool shouldShowOptOutNote();
void markOptOutNoteShown();
// True only in the EU (cached), with no explicit choice stored and the dialog not yet shown.
bool shouldShowEUOptIn();
void markEUOptInShown();

} // namespace corvane::ErrorTelemetryConsent
