#include "Platform/Desktop/Updates/DesktopUpdater.h"

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

// An Ed25519 public key is 32 bytes.
constexpr int edPublicKeyBytes = 32;

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

bool isEdPublicKey(const std::string& key) {
    const auto decoded = QByteArray::fromBase64Encoding(QByteArray::fromStdString(key),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    return decoded.decodingStatus == QByteArray::Base64DecodingStatus::Ok &&
           decoded.decoded.size() == edPublicKeyBytes;
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
        text += ".\n\nUpdates are not installed automatically on this system. Download the new "
                "version from:\n" +
                update->url;
        spec.informativeText = std::move(text);
        spec.buttons = {"Download", "Later"};
        break;
    }
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
    // Emitted on the main thread: at the deadline or when the updater goes.
    asio::cancellation_signal cancel;
    std::shared_ptr<platform::Timer> deadline;
    bool timedOut = false;
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
        check_->cancel.emit(asio::cancellation_type::terminal);
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
    auto& session = options_.session ? *options_.session : host().httpSession();
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

    // The deadline holds whatever the session does with the request's own time-out.
    std::weak_ptr<Check> weakCheck = check;
    check->deadline = host().runLoop().scheduleTimer(options_.timeout, [weakCheck] {
        if (auto c = weakCheck.lock()) {
            c->timedOut = true;
            c->cancel.emit(asio::cancellation_type::terminal);
        }
    });

    std::weak_ptr<DesktopUpdater> weak = weak_from_this();
    auto done = [weak, check](std::exception_ptr error, platform::HttpResult result) {
        auto self = weak.lock();
        if (!self || self->check_ != check)
            return;
        check->deadline->invalidate();
        const auto running = runningVersion(host().mainBundle());
        if (error) {
            std::string reason;
            try {
                std::rethrow_exception(error);
            } catch (const platform::HttpTransportError& e) {
                reason = e.urlErrorCode() == platform::URLError::dataLengthExceedsMaximum
                             ? "The feed is larger than " + std::to_string(maxAppcastBytes >> 20) +
                                   " MB."
                             : e.what();
            } catch (const std::exception& e) {
                reason = e.what();
            }
            if (check->timedOut)
                reason = platform::URLError::localizedDescription(platform::URLError::timedOut);
            self->finish(check,
                         failure("The update feed could not be downloaded. " + reason, running));
            return;
        }
        // Asked now, so a change of the early-access setting counts at the next check.
        std::set<std::string> channels;
        if (auto delegate = self->delegate_.lock())
            channels = delegate->allowedChannels();
        const std::string_view body(reinterpret_cast<const char*>(result.data.data()),
                                    result.data.size());
        self->finish(check, judge(result.response, body, channels, running));
    };
    asio::co_spawn(platform::mainExecutor(), session.send(std::move(request)),
                   asio::bind_cancellation_slot(check->cancel.slot(), std::move(done)));
}

void DesktopUpdater::finish(const std::shared_ptr<Check>& check, UpdateCheckOutcome outcome) {
    auto self = shared_from_this(); // the dialog runs a nested loop
    switch (outcome.kind) {
    case UpdateCheckOutcome::Kind::updateAvailable:
        updatesLog().info("update_check_finished result=update_available version=" +
                          outcome.update->versions.displayText());
        break;
    case UpdateCheckOutcome::Kind::upToDate:
        updatesLog().info("update_check_finished result=up_to_date");
        break;
    case UpdateCheckOutcome::Kind::failed:
        updatesLog().error("update_check_failed reason=" + outcome.error);
        break;
    }
    const int answer = host().alerts().runModal(outcome.alert(appName(host().mainBundle())));
    if (outcome.kind == UpdateCheckOutcome::Kind::updateAvailable &&
        answer == platform::alertFirstButtonReturn) {
        if (options_.openURL)
            options_.openURL(outcome.update->url);
        else
            QDesktopServices::openUrl(QUrl(QString::fromStdString(outcome.update->url)));
    }

    if (check_ == check)
        check_.reset();
    setCanCheck(true);
    std::optional<std::string> error;
    if (outcome.kind == UpdateCheckOutcome::Kind::failed)
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
