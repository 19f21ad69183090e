// The update framework on the desktop: a user-started check fetches the appcast named by
// SUFeedURL, picks the newest update in the allowed channels and names it in a dialog (nothing
// is installed on Linux). Main thread; observers of the flag are called on the main thread.
#pragma once

#include "Platform/Alert.h"
#include "Platform/Desktop/Updates/Appcast.h"
#include "Platform/UpdaterFramework.h"

#include <atomic>
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
    enum class Kind { updateAvailable, upToDate, failed };
    Kind kind = Kind::failed;
    // updateAvailable: the update.
    std::optional<AppcastItem> update;
    // The running version, as the dialog names it.
    VersionPair running;
    // failed: what went wrong, in words for the user.
    std::string error;

    // The dialog that tells the user, for an application called `appName`. With an update its
    // first button opens the download.
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
        // Opens a download address in the browser; none: the desktop's URL handler.
        std::function<void(const std::string&)> openURL;
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
    // flag turns false, the feed is fetched and judged, the dialog shows (and its "Download"
    // opens the update's address in the browser), the flag turns true and the delegate hears
    // that the cycle finished.
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
    void fetch(std::shared_ptr<Check> check, std::string url);
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
