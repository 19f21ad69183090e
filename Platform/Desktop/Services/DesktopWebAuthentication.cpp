#include "Platform/Desktop/Services/DesktopWebAuthentication.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

#include <algorithm>

namespace desktop {

namespace E = platform::WebAuthenticationSessionError;

class DesktopWebAuthenticationSession final
    : public platform::WebAuthenticationSession,
      public std::enable_shared_from_this<DesktopWebAuthenticationSession> {
public:
    DesktopWebAuthenticationSession(DesktopWebAuthenticationSessions& owner, std::string url,
                                    std::string scheme, Completion completion)
        : owner_(owner), url_(std::move(url)), scheme_(QString::fromStdString(scheme).toLower()),
          completion_(std::move(completion)) {}

    bool start(std::shared_ptr<platform::Window> presentingWindow) override {
        if (started_)
            return false;
        started_ = true;
        if (!presentingWindow) {
            finish(std::nullopt,
                   platform::WebAuthenticationFailure::make(E::presentationContextNotProvided));
            return false;
        }
        if (!owner_.browser_.openURL(url_)) {
            finish(std::nullopt,
                   platform::WebAuthenticationFailure::make(E::presentationContextInvalid));
            return false;
        }
        owner_.presenting_.push_back(weak_from_this());
        return true;
    }

    void cancel() override {
        completion_ = nullptr;
        leave();
    }

    bool takes(const QUrl& url) const { return completion_ && url.scheme().toLower() == scheme_; }

    void finish(std::optional<std::string> url,
                std::optional<platform::WebAuthenticationFailure> failure) {
        leave();
        auto completion = std::move(completion_);
        completion_ = nullptr;
        if (!completion)
            return;
        owner_.loop_.post([completion = std::move(completion), url = std::move(url),
                           failure = std::move(failure)] { completion(url, failure); });
    }

private:
    void leave() {
        auto& list = owner_.presenting_;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [this](const auto& w) {
                                      auto s = w.lock();
                                      return !s || s.get() == this;
                                  }),
                   list.end());
    }

    DesktopWebAuthenticationSessions& owner_;
    std::string url_;
    QString scheme_;
    Completion completion_;
    bool started_ = false;
};

std::shared_ptr<platform::WebAuthenticationSession> DesktopWebAuthenticationSessions::makeSession(
    const std::string& url, const std::string& callbackURLScheme,
    platform::WebAuthenticationSession::Completion completion) {
    return std::make_shared<DesktopWebAuthenticationSession>(*this, url, callbackURLScheme,
                                                             std::move(completion));
}

bool DesktopWebAuthenticationSessions::deliver(const std::string& url) {
    QUrl qurl(QString::fromStdString(url), QUrl::StrictMode);
    if (!qurl.isValid())
        return false;
    for (auto it = presenting_.rbegin(); it != presenting_.rend(); ++it) {
        auto session = it->lock();
        if (session && session->takes(qurl)) {
            session->finish(url, std::nullopt);
            return true;
        }
    }
    return false;
}

} // namespace desktop
