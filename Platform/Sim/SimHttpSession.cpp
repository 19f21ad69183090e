#include "Platform/Sim/SimHttpSession.h"

#include "Platform/HttpRedirect.h"

#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <cctype>

namespace platform::sim {

namespace {

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

std::vector<std::uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

} // namespace

// --- SimHttpReply ---

SimHttpReply SimHttpReply::http(int status, std::string body, HttpHeaders headers) {
    SimHttpReply r;
    r.status = status;
    r.body = bytes(body);
    r.headers = std::move(headers);
    return r;
}

SimHttpReply SimHttpReply::json(int status, std::string body) {
    return http(status, std::move(body), HttpHeaders{{"Content-Type", "application/json"}});
}

SimHttpReply SimHttpReply::failure(int urlErrorCode) {
    SimHttpReply r;
    r.kind = Kind::transportError;
    r.urlErrorCode = urlErrorCode;
    return r;
}

SimHttpReply SimHttpReply::nonHTTP(std::string body) {
    SimHttpReply r;
    r.kind = Kind::nonHTTP;
    r.body = bytes(body);
    return r;
}

// --- SimHttpSession ---

std::string SimHttpSession::pathOf(const std::string& url) {
    std::size_t start = 0;
    if (auto scheme = url.find("://"); scheme != std::string::npos) {
        start = url.find_first_of("/?#", scheme + 3);
        if (start == std::string::npos)
            return "/";
    }
    auto end = url.find_first_of("?#", start);
    std::string path =
        url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    return path.empty() ? "/" : path;
}

void SimHttpSession::route(const std::string& method, const std::string& path, Handler handler) {
    routes_[{upper(method), path}] = std::move(handler);
}

void SimHttpSession::route(const std::string& method, const std::string& path, SimHttpReply reply) {
    route(method, path, [reply](const HttpRequest&) { return reply; });
}

void SimHttpSession::routeSequence(const std::string& method, const std::string& path,
                                   std::vector<SimHttpReply> replies) {
    auto queue = std::make_shared<std::vector<SimHttpReply>>(std::move(replies));
    auto next = std::make_shared<std::size_t>(0);
    route(method, path, [queue, next](const HttpRequest&) {
        if (queue->empty())
            return SimHttpReply::http(404);
        auto i = std::min(*next, queue->size() - 1);
        ++*next;
        return (*queue)[i];
    });
}

std::size_t SimHttpSession::count(const std::string& method, const std::string& path) const {
    const std::string m = upper(method);
    return static_cast<std::size_t>(
        std::count_if(requests_.begin(), requests_.end(), [&](const HttpRequest& r) {
            return (m == "*" || upper(r.method) == m) && pathOf(r.url) == path;
        }));
}

SimHttpReply SimHttpSession::answer(const HttpRequest& request) {
    const std::string path = pathOf(request.url);
    for (const auto& method : {upper(request.method), std::string("*")}) {
        auto it = routes_.find({method, path});
        if (it != routes_.end())
            return it->second(request);
    }
    return SimHttpReply::http(404);
}

std::size_t SimHttpSession::inFlight() const {
    std::erase_if(answers_, [](const std::weak_ptr<Timer>& w) {
        auto t = w.lock();
        return !t || !t->isValid();
    });
    return answers_.size();
}

boost::asio::awaitable<HttpResult> SimHttpSession::send(HttpRequest request) {
    // Not a coroutine: the operation itself is the awaitable, started when awaited.
    auto shared = std::make_shared<HttpRequest>(std::move(request));
    return detail::asyncHttp(
        [this, shared](std::shared_ptr<detail::PendingHttp> pending) {
            start(std::move(*shared), std::move(pending));
        },
        boost::asio::use_awaitable);
}

void SimHttpSession::start(HttpRequest request, std::shared_ptr<detail::PendingHttp> pending) {
    auto exchange = std::make_shared<Exchange>();
    exchange->pending = pending;
    exchange->deadline =
        request.timeout > 0 ? std::optional(loop_.monotonicNow() + request.timeout) : std::nullopt;

    // A cancelled transfer is dropped from the server's queue and fails with "cancelled".
    std::weak_ptr<Exchange> weak = exchange;
    pending->onCancel = [weak] {
        auto e = weak.lock();
        if (!e || e->pending->done)
            return;
        if (auto t = e->answer.lock())
            t->invalidate();
        e->pending->fail(URLError::cancelled);
    };
    startHop(std::move(request), exchange);
}

void SimHttpSession::startHop(HttpRequest request, std::shared_ptr<Exchange> exchange) {
    auto& pending = exchange->pending;
    requests_.push_back(request);
    if (!online) {
        // Even an immediate failure arrives on a later turn, as a real one would.
        loop_.post([pending] { pending->fail(URLError::notConnectedToInternet); });
        return;
    }

    SimHttpReply reply = answer(request);
    double wait = reply.delay > 0 ? reply.delay : 0;
    const double left =
        exchange->deadline ? std::max(0.0, *exchange->deadline - loop_.monotonicNow()) : wait;
    const bool timesOut = exchange->deadline && wait > left;
    if (timesOut)
        wait = left;

    std::weak_ptr<SimHttpSession*> session = self_;
    auto timer = loop_.scheduleTimer(wait, [session, exchange, reply = std::move(reply),
                                            request = std::move(request), timesOut]() mutable {
        auto& pending = exchange->pending;
        if (pending->done)
            return;
        auto self = session.lock();
        if (!self) {
            pending->fail(URLError::cancelled); // the server went with its session
            return;
        }
        if (timesOut) {
            pending->fail(URLError::timedOut);
            return;
        }
        const std::size_t cap = request.maxBodyBytes.value_or(maxBodyBytes);
        if (reply.kind != SimHttpReply::Kind::transportError && reply.body.size() > cap) {
            pending->fail(URLError::dataLengthExceedsMaximum);
            return;
        }
        switch (reply.kind) {
        case SimHttpReply::Kind::transportError:
            pending->fail(reply.urlErrorCode);
            return;
        case SimHttpReply::Kind::nonHTTP: {
            HttpResult result;
            result.data = std::move(reply.body);
            result.response.url = request.url;
            result.response.isHTTP = false;
            pending->complete(nullptr, std::move(result));
            return;
        }
        case SimHttpReply::Kind::http: {
            const auto location = reply.headers.value("Location");
            if (request.redirects == RedirectPolicy::httpsOnly && isRedirectStatus(reply.status) &&
                location) {
                // The next hop, if this one may be followed; the server sees it as a new request.
                if (++exchange->redirects > maxRedirects) {
                    pending->fail(URLError::httpTooManyRedirects);
                    return;
                }
                try {
                    auto next = redirectedRequest(request, reply.status, *location);
                    (*self)->startHop(std::move(next), exchange);
                } catch (const HttpTransportError&) {
                    pending->complete(std::current_exception(), {});
                }
                return;
            }
            HttpResult result;
            result.data = std::move(reply.body);
            result.response.url = request.url;
            result.response.statusCode = reply.status;
            result.response.httpVersion = reply.httpVersion;
            result.response.headers = std::move(reply.headers);
            pending->complete(nullptr, std::move(result));
            return;
        }
        }
    });
    exchange->answer = timer;
    answers_.push_back(timer);
}

} // namespace platform::sim
