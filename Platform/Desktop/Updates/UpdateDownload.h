// An update's download: whether it may be fetched at all, whether what came back is the file the
// feed signed, and where a verified file is kept. No Qt; any thread.
#pragma once

#include "Platform/Desktop/Updates/Appcast.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {
struct HttpResponse;
} // namespace platform

namespace desktop {

// No update download is larger than this; the whole file is held in memory to be verified.
inline constexpr std::size_t maxUpdateBytes = std::size_t{256} << 20;

// The most body bytes to accept for `item`: its declared length when the feed gives one (a
// length of 0 is none), otherwise `cap`.
std::size_t updateDownloadLimit(const AppcastItem& item, std::size_t cap);

// Why a download of `item` stopped at updateDownloadLimit(item, cap): longer than the feed says,
// or larger than any update may be.
std::string overLimitProblem(const AppcastItem& item, std::size_t cap);

// Why `item` must not even be downloaded with `publicKeyBase64` (no signature, a malformed one,
// a malformed key, a declared length over `cap`); empty when it may.
std::string refusalBeforeDownload(const AppcastItem& item, std::string_view publicKeyBase64,
                                  std::size_t cap);

// Why a downloaded `body` is not the update the feed offers: where it finally came from (https,
// or plain http on this machine), the status, the declared length, then the signature. Empty
// when it is verified.
std::string refusalOfDownload(const AppcastItem& item, const platform::HttpResponse& response,
                              std::span<const std::uint8_t> body, std::string_view publicKeyBase64);

// The file name a download is kept under: the last segment of its address when that is a plain
// name (letters, digits, ". _ - +", not starting with a dot), else "<appName>-<version>.update".
std::string updateFileName(const AppcastItem& item, std::string_view appName);

// Where downloads are kept when the updater is given no directory:
// $XDG_CACHE_HOME/quillet/Updates or ~/.cache/quillet/Updates; empty when neither is known.
std::string defaultUpdateDirectory();

// Writes `bytes` to `directory`/`name` atomically (a temporary file, synced, then renamed over
// any earlier file of that name), creating the directory. Returns the path, or throws
// std::runtime_error saying what failed; no temporary file is left behind.
std::string saveUpdateFile(const std::string& directory, const std::string& name,
                           std::span<const std::uint8_t> bytes);

// Removes earlier downloads from `directory`, all but the file named `keep`: regular files with
// plain names and temporary files of an interrupted write; folders and links stay. Returns how
// many went.
std::size_t removeOtherUpdateFiles(const std::string& directory, const std::string& keep);

} // namespace desktop
