#include "Platform/Desktop/Updates/DesktopUpdater.h"

#include "Platform/Desktop/Updates/EdSignature.h"

#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Platform/HttpSession.h"
#include "Platform/Log.h"
#include "Platform/MainExecutor.h"
#include "Platform/RunLoop.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <QByteArray>
#include <QDesktopServices>
#include <QHostAddress>
#include <QString>
#include <QUrl>

#include <exception>
#include <utility>

// Qt's `emit` keyword would swallow asio's cancellation_signal::emit; this file emits no Qt
// signals.
#undef emit

namespace desktop {

namespace asio = boost::asio;
using platform::host;

namespace {

std::string trimmed(const std::string& s) {
    const char* space = " \t\n\r\v\f";
    const auto first = s.find_first_not_of(space);
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

std::string infoString(const platform::Bundle& bundle, const char* key) {
    if (const auto* v = bundle.objectForInfoDictionaryKey(key))
        if (const auto* s = v->asString())
            return trimmed(*s);
    return {};
}

std::string appName(const platform::Bundle& bundle) {
    auto name = infoString(bundle, "CFBundleName");
    return name.empty() ? "Quillet" : name;
}

bool isLoopbackHost(const QString& hostName) {
    if (hostName.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress address;
    return address.setAddress(hostName) && address.isLoopback();
}

// The feed decides what users are told to download: it must not cross a network in clear
// text. Plain http is fine to this machine.
bool isPrivateTransport(const QUrl& url) {
    const auto scheme = url.scheme().toLower();
    return scheme == QLatin1String("https") ||
           (scheme == QLatin1String("http") && isLoopbackHost(url.host()));
}

UpdateCheckOutcome failure(std::string error, VersionPair running) {
    UpdateCheckOutcome o;
    o.kind = UpdateCheckOutcome::Kind::failed;
    o.error = std::move(error);
    o.running = std::move(running);
    return o;
}

UpdateCheckOutcome refusal(UpdateCheckOutcome found, std::string reason) {
    found.kind = UpdateCheckOutcome::Kind::refused;
    found.error = std::move(reason);
    found.file.clear();
    return found;
}

// What stopped a download, in words for the user; `tooLong` names a body over the request's cap.
std::string transferProblem(std::exception_ptr error, bool timedOut, const std::string& tooLong) {
    if (timedOut)
        return platform::URLError::localizedDescription(platform::URLError::timedOut);
    try {
        std::rethrow_exception(error);
    } catch (const platform::HttpTransportError& e) {
        if (e.urlErrorCode() == platform::URLError::dataLengthExceedsMaximum)
            return tooLong;
        return e.what();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

std::string folderOf(const std::string& file) {
    const auto slash = file.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : file.substr(0, slash);
}

platform::Logger updatesLog() {
    return {host().mainBundle().bundleIdentifier.value_or("com.corvane.quillet"), "updates"};
}

} // namespace

// --- the dialog ---

platform::AlertSpec UpdateCheckOutcome::alert(const std::string& appName) const {
    platform::AlertSpec spec;
    spec.buttons = {"OK"};
    const auto current = running.displayText();
    switch (kind) {
    case Kind::updateAvailable: {
        spec.style = platform::AlertStyle::informational;
        spec.messageText = "A new version of " + appName + " is available.";
        std::string text = appName + " " + update->versions.displayText() + " is available";
        if (!current.empty())
            text += " \u2014 you have " + current;
        text += ".\n\nIts download is verified and kept as:\n" + file +
                "\n\nUpdates are not installed automatically on this system.";
        spec.informativeText = std::move(text);
        spec.buttons = {"Show in Folder", "Later"};
        break;
    }
    case Kind::refused:
        spec.style = platform::AlertStyle::warning;
        spec.messageText = appName + " " + update->versions.displayText() +
                           " is available, but its download was refused.";
        spec.informativeText = error + "\n\nNothing was kept or installed.";
        break;
    case Kind::upToDate:
        spec.style = platform::AlertStyle::informational;
        spec.messageText = "You\u2019re up to date.";
        spec.informativeText = current.empty()
                                   ? "There is no newer version of " + appName + "."
                                   : appName + " " + current + " is the newest version available.";
        break;
    case Kind::failed:
        spec.style = platform::AlertStyle::warning;
        spec.messageText = appName + " couldn\u2019t check for updates.";
        spec.informativeText = error;
        break;
    }
    return spec;
}

// --- configuration and judgement ---

DesktopUpdater::FeedRequest DesktopUpdater::feedRequest(const platform::Bundle& bundle) {
    const auto feed = infoString(bundle, "SUFeedURL");
    if (feed.empty())
        return {{}, "No update feed is configured."};
    const QUrl url(QString::fromStdString(feed), QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return {{}, "The update feed address is not valid."};
    if (!isPrivateTransport(url))
        return {{}, "The update feed address must use HTTPS."};
    if (!isEdPublicKey(infoString(bundle, "SUPublicEDKey")))
        return {{}, "The update signing key is not valid."};
    return {feed, {}};
}

VersionPair DesktopUpdater::runningVersion(const platform::Bundle& bundle) {
    return {infoString(bundle, "CFBundleVersion"),
            infoString(bundle, "CFBundleShortVersionString")};
}

UpdateCheckOutcome DesktopUpdater::judge(const platform::HttpResponse& response,
                                         std::string_view body,
                                         const std::set<std::string>& allowedChannels,
                                         const VersionPair& running) {
    // The session checks every hop; this holds whatever session produced the answer.
    if (!response.url.empty() && !isPrivateTransport(QUrl(QString::fromStdString(response.url))))
        return failure("The update feed was redirected to an address that does not use HTTPS.",
                       running);
    const int status = response.statusCode;
    if (status < 200 || status > 299)
        return failure(
            "The update server answered with HTTP status " + std::to_string(status) + ".", running);
    Appcast appcast;
    try {
        appcast = parseAppcast(body);
    } catch (const AppcastError& e) {
        return failure(std::string("The update feed is not valid. ") + e.what(), running);
    }
    UpdateCheckOutcome o;
    o.running = running;
    o.update = newestUpdate(appcast, allowedChannels, running);
    o.kind =
        o.update ? UpdateCheckOutcome::Kind::updateAvailable : UpdateCheckOutcome::Kind::upToDate;
    return o;
}

// --- the updater ---

struct DesktopUpdater::Check {
    // Emitted on the main thread: at the deadline or when the updater goes. Each request has a
    // signal of its own; `cancel` is the one in flight.
    asio::cancellation_signal feedCancel;
    asio::cancellation_signal downloadCancel;
    asio::cancellation_signal* cancel = &feedCancel;
    std::shared_ptr<platform::Timer> deadline;
    bool timedOut = false;
};

// One request of a check, held to a deadline; `then` runs on the main thread unless the updater
// has gone or the check was abandoned.
struct DesktopUpdater::Transfer {
    using Then = std::function<void(DesktopUpdater&, const std::shared_ptr<Check>&,
                                    std::exception_ptr, platform::HttpResult)>;

    static void start(DesktopUpdater& updater, std::shared_ptr<Check> check,
                      asio::cancellation_signal& signal, platform::HttpRequest request,
                      double timeout, Then then) {
        auto& session = updater.options_.session ? *updater.options_.session : host().httpSession();
        check->cancel = &signal;
        check->timedOut = false;
        // The deadline holds whatever the session does with the request's own time-out.
        std::weak_ptr<Check> weakCheck = check;
        check->deadline = host().runLoop().scheduleTimer(timeout, [weakCheck] {
            if (auto c = weakCheck.lock()) {
                c->timedOut = true;
                c->cancel->emit(asio::cancellation_type::terminal);
            }
        });
        std::weak_ptr<DesktopUpdater> weak = updater.weak_from_this();
        auto done = [weak, check, then = std::move(then)](std::exception_ptr error,
                                                          platform::HttpResult result) {
            auto self = weak.lock();
            if (!self || self->check_ != check)
                return;
            check->deadline->invalidate();
            then(*self, check, std::move(error), std::move(result));
        };
        asio::co_spawn(platform::mainExecutor(), session.send(std::move(request)),
                       asio::bind_cancellation_slot(signal.slot(), std::move(done)));
    }
};

struct DesktopUpdater::Observer final : platform::Observation {
    std::weak_ptr<bool> alive;
    DesktopUpdater* updater = nullptr;
    int id = 0;
    ~Observer() override {
        if (!alive.expired())
            updater->observers_.erase(id);
    }
};

DesktopUpdater::DesktopUpdater(std::weak_ptr<platform::UpdaterDelegate> delegate, Options options)
    : delegate_(std::move(delegate)), options_(std::move(options)) {}

DesktopUpdater::~DesktopUpdater() {
    alive_.reset();
    if (!check_)
        return;
    if (check_->deadline)
        check_->deadline->invalidate();
    // The download's completion finds this updater gone and does nothing.
    if (platform::hasHost())
        check_->cancel->emit(asio::cancellation_type::terminal);
}

std::unique_ptr<platform::Observation>
DesktopUpdater::observeCanCheckForUpdates(std::function<void(bool)> handler, bool initial) {
    auto observer = std::make_unique<Observer>();
    observer->alive = alive_;
    observer->updater = this;
    observer->id = nextObserver_++;
    observers_[observer->id] = handler;
    if (initial)
        handler(canCheck_.load());
    return observer;
}

void DesktopUpdater::setCanCheck(bool value) {
    if (canCheck_.exchange(value) == value)
        return;
    // Handlers may end their own observation.
    auto snapshot = observers_;
    for (auto& [id, handler] : snapshot)
        handler(value);
}

void DesktopUpdater::checkForUpdates() {
    if (check_)
        return; // the running cycle answers this request too
    auto check = std::make_shared<Check>();
    check_ = check;
    setCanCheck(false);

    const auto& bundle = host().mainBundle();
    auto feed = feedRequest(bundle);
    if (feed.error.empty()) {
        fetch(check, std::move(feed.url));
        return;
    }
    // Nothing to download: the cycle ends on a later turn, as it would after a download.
    std::weak_ptr<DesktopUpdater> weak = weak_from_this();
    host().runLoop().post([weak, check, outcome = failure(feed.error, runningVersion(bundle))] {
        if (auto self = weak.lock(); self && self->check_ == check)
            self->finish(check, outcome);
    });
}

void DesktopUpdater::fetch(std::shared_ptr<Check> check, std::string url) {
    const auto& bundle = host().mainBundle();
    platform::HttpRequest request;
    request.url = std::move(url);
    request.timeout = options_.timeout;
    // Every hop of a redirect is held to the feed address's own rule, and a feed stops
    // downloading as soon as it is larger than any feed can be.
    request.redirects = platform::RedirectPolicy::httpsOnly;
    request.maxBodyBytes = maxAppcastBytes;
    request.headers.set("Accept", "application/rss+xml, application/xml;q=0.9, */*;q=0.1");
    request.headers.set("User-Agent",
                        appName(bundle) + "/" + infoString(bundle, "CFBundleShortVersionString"));

    auto& signal = check->feedCancel;
    Transfer::start(
        *this, std::move(check), signal, std::move(request), options_.timeout,
        [](DesktopUpdater& self, const std::shared_ptr<Check>& check, std::exception_ptr error,
           platform::HttpResult result) {
            const auto running = runningVersion(host().mainBundle());
            if (error) {
                const auto reason = transferProblem(
                    error, check->timedOut,
                    "The feed is larger than " + std::to_string(maxAppcastBytes >> 20) + " MB.");
                self.finish(check,
                            failure("The update feed could not be downloaded. " + reason, running));
                return;
            }
            // Asked now, so a change of the early-access setting counts at the next check.
            std::set<std::string> channels;
            if (auto delegate = self.delegate_.lock())
                channels = delegate->allowedChannels();
            const std::string_view body(reinterpret_cast<const char*>(result.data.data()),
                                        result.data.size());
            auto outcome = judge(result.response, body, channels, running);
            if (outcome.kind == UpdateCheckOutcome::Kind::updateAvailable)
                self.download(check, std::move(outcome));
            else
                self.finish(check, std::move(outcome));
        });
}

void DesktopUpdater::download(std::shared_ptr<Check> check, UpdateCheckOutcome found) {
    const auto& bundle = host().mainBundle();
    const auto key = infoString(bundle, "SUPublicEDKey");
    const auto& item = *found.update;
    // An item that can never verify is not fetched.
    if (auto refused = refusalBeforeDownload(item, key, options_.maxDownloadBytes);
        !refused.empty()) {
        finish(check, refusal(std::move(found), std::move(refused)));
        return;
    }

    platform::HttpRequest request;
    request.url = item.url;
    request.timeout = options_.downloadTimeout;
    // The enclosure is held to the feed's rule at every hop, and the download stops as soon as
    // it is longer than the feed says (or than any update may be).
    request.redirects = platform::RedirectPolicy::httpsOnly;
    request.maxBodyBytes = updateDownloadLimit(item, options_.maxDownloadBytes);
    request.headers.set("User-Agent",
                        appName(bundle) + "/" + infoString(bundle, "CFBundleShortVersionString"));

    auto& signal = check->downloadCancel;
    Transfer::start(
        *this, std::move(check), signal, std::move(request), options_.downloadTimeout,
        [found = std::move(found), key](DesktopUpdater& self, const std::shared_ptr<Check>& check,
                                        std::exception_ptr error, platform::HttpResult result) {
            const auto& item = *found.update;
            if (error) {
                const auto tooLong = overLimitProblem(item, self.options_.maxDownloadBytes);
                const auto reason = transferProblem(error, check->timedOut, tooLong);
                self.finish(check,
                            refusal(found, reason == tooLong
                                               ? reason
                                               : "The update could not be downloaded. " + reason));
                return;
            }
            // Only bytes that the bundle's key signed are kept.
            if (auto refused = refusalOfDownload(item, result.response, result.data, key);
                !refused.empty()) {
                self.finish(check, refusal(found, std::move(refused)));
                return;
            }
            const auto directory = self.options_.downloadDirectory.empty()
                                       ? defaultUpdateDirectory()
                                       : self.options_.downloadDirectory;
            UpdateCheckOutcome verified = found;
            try {
                const auto name = updateFileName(item, appName(host().mainBundle()));
                verified.file = saveUpdateFile(directory, name, result.data);
                // Only the download now offered stays in the cache.
                removeOtherUpdateFiles(directory, name);
            } catch (const std::runtime_error& e) {
                self.finish(check, refusal(found, std::string("The update could not be kept. ") +
                                                      e.what()));
                return;
            }
            self.finish(check, std::move(verified));
        });
}

void DesktopUpdater::finish(const std::shared_ptr<Check>& check, UpdateCheckOutcome outcome) {
    auto self = shared_from_this(); // the dialog runs a nested loop
    switch (outcome.kind) {
    case UpdateCheckOutcome::Kind::updateAvailable:
        updatesLog().info("update_check_finished result=update_available version=" +
                          outcome.update->versions.displayText() + " file=" + outcome.file);
        break;
    case UpdateCheckOutcome::Kind::upToDate:
        updatesLog().info("update_check_finished result=up_to_date");
        break;
    case UpdateCheckOutcome::Kind::failed:
        updatesLog().error("update_check_failed reason=" + outcome.error);
        break;
    case UpdateCheckOutcome::Kind::refused:
        updatesLog().error("update_refused version=" + outcome.update->versions.displayText() +
                           " reason=" + outcome.error);
        break;
    }
    const int answer = host().alerts().runModal(outcome.alert(appName(host().mainBundle())));
    if (outcome.kind == UpdateCheckOutcome::Kind::updateAvailable &&
        answer == platform::alertFirstButtonReturn) {
        const auto folder = QUrl::fromLocalFile(QString::fromStdString(folderOf(outcome.file)));
        if (options_.openURL)
            options_.openURL(folder.toString().toStdString());
        else
            QDesktopServices::openUrl(folder);
    }

    if (check_ == check)
        check_.reset();
    setCanCheck(true);
    std::optional<std::string> error;
    if (outcome.kind == UpdateCheckOutcome::Kind::failed ||
        outcome.kind == UpdateCheckOutcome::Kind::refused)
        error = outcome.error;
    if (auto delegate = delegate_.lock())
        delegate->didFinishUpdateCycle(error);
}

// --- the framework ---

std::shared_ptr<platform::Updater>
DesktopUpdaterFramework::startStandardUpdater(std::weak_ptr<platform::UpdaterDelegate> delegate) {
    return std::make_shared<DesktopUpdater>(std::move(delegate), options_);
}

} // namespace desktop
