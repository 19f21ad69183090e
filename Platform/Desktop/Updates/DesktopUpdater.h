// The update framework on the desktop: a user-started check fetches the appcast named by
// SUFeedURL, picks the newest update in the allowed channels, downloads it and verifies its
// EdDSA signature against SUPublicEDKey, keeps a verified file and names it in a dialog (nothing
// is installed on Linux). Main thread; observers of the flag are called on the main thread.
#pragma once

#include "Platform/Alert.h"
#include "Platform/Desktop/Updates/Appcast.h"
#include "Platform/Desktop/Updates/UpdateDownload.h"
#include "Platform/UpdaterFramework.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace platform {
class HttpSession;
struct HttpResponse;
struct Bundle;
} // namespace platform

namespace desktop {

// What a check found.
struct UpdateCheckOutcome {
    // updateAvailable: a newer version whose download is verified and kept. refused: a newer
    // version whose download is not offered (unsigned, not matching its signature, not the
    // length the feed says, not downloadable or not kept).
    enum class Kind { updateAvailable, upToDate, failed, refused };
    Kind kind = Kind::failed;
    // updateAvailable and refused: the update.
    std::optional<AppcastItem> update;
    // The running version, as the dialog names it.
    VersionPair running;
    // failed and refused: what went wrong, in words for the user.
    std::string error;
    // updateAvailable: the path of the verified download.
    std::string file;

    // The dialog that tells the user, for an application called `appName`. With an update its
    // first button shows the folder that holds the download.
    platform::AlertSpec alert(const std::string& appName) const;
};

class DesktopUpdater final : public platform::Updater,
                             public std::enable_shared_from_this<DesktopUpdater> {
public:
    struct Options {
        // The URL session; none: the host's.
        platform::HttpSession* session = nullptr;
        // Seconds a feed download may take, connection included.
        double timeout = 30;
        // Opens the address of the folder holding a download; none: the desktop's URL handler.
        std::function<void(const std::string&)> openURL;
        // Seconds an update's download may take, connection included.
        double downloadTimeout = 600;
        // The largest update downloaded (a feed's declared length limits it further).
        std::size_t maxDownloadBytes = maxUpdateBytes;
        // Where verified downloads are kept; empty: defaultUpdateDirectory().
        std::string downloadDirectory;
    };

    DesktopUpdater(std::weak_ptr<platform::UpdaterDelegate> delegate, Options options);
    // Cancels a download in flight; its cycle then never ends.
    ~DesktopUpdater() override;
    DesktopUpdater(const DesktopUpdater&) = delete;
    DesktopUpdater& operator=(const DesktopUpdater&) = delete;

    bool canCheckForUpdates() const override { return canCheck_.load(); }
    std::unique_ptr<platform::Observation>
    observeCanCheckForUpdates(std::function<void(bool)> handler, bool initial) override;
    // Starts a cycle unless one is running (a second request joins the running one): the
    // flag turns false, the feed is fetched and judged, a newer update is downloaded, verified
    // and kept (or refused, and nothing kept), the dialog shows (and its "Show in Folder" opens
    // the folder with the download), the flag turns true and the delegate hears that the cycle
    // finished, with the error of a failed or refused one.
    void checkForUpdates() override;

    // The feed request for this bundle, or the reason there can be none: the feed must be an
    // absolute https address (plain http only to this machine) and the signing key a base64
    // Ed25519 public key.
    struct FeedRequest {
        std::string url;
        std::string error;
    };
    static FeedRequest feedRequest(const platform::Bundle& bundle);
    // The running version from CFBundleVersion and CFBundleShortVersionString.
    static VersionPair runningVersion(const platform::Bundle& bundle);
    // Judges a downloaded feed: where it finally came from (after redirects, held to the same
    // rule as the feed address), the status, then the content.
    static UpdateCheckOutcome judge(const platform::HttpResponse& response, std::string_view body,
                                    const std::set<std::string>& allowedChannels,
                                    const VersionPair& running);

private:
    struct Check;
    struct Observer;
    struct Transfer;
    void fetch(std::shared_ptr<Check> check, std::string url);
    void download(std::shared_ptr<Check> check, UpdateCheckOutcome found);
    void finish(const std::shared_ptr<Check>& check, UpdateCheckOutcome outcome);
    void setCanCheck(bool value);

    std::weak_ptr<platform::UpdaterDelegate> delegate_;
    Options options_;
    std::atomic<bool> canCheck_{true};
    std::map<int, std::function<void(bool)>> observers_;
    int nextObserver_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    // The running check, if any.
    std::shared_ptr<Check> check_;
};

class DesktopUpdaterFramework final : public platform::UpdaterFramework {
public:
    DesktopUpdaterFramework() = default;
    explicit DesktopUpdaterFramework(DesktopUpdater::Options options)
        : options_(std::move(options)) {}

    std::shared_ptr<platform::Updater>
    startStandardUpdater(std::weak_ptr<platform::UpdaterDelegate> delegate) override;

private:
    DesktopUpdater::Options options_;
};

} // namespace desktop
