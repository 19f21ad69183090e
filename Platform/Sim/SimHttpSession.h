// The simulated Mac's URL session: an in-process scripted server. Tests route a method and path
// to a handler; answers arrive after their delay in virtual time. Records every request, each
// followed redirect as a request of its own.
// Single-threaded: runs on the sim run loop.
#pragma once

#include "Platform/HttpSession.h"
#include "Platform/Sim/SimRunLoop.h"

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform::sim {

// What the scripted server answers to one request.
struct SimHttpReply {
    enum class Kind { http, nonHTTP, transportError };

    Kind kind = Kind::http;
    int status = 200;
    std::string httpVersion = "HTTP/1.1";
    HttpHeaders headers;
    std::vector<std::uint8_t> body;
    // For transportError: the URL-error code.
    int urlErrorCode = URLError::unknown;
    // Virtual seconds between the request and the answer.
    double delay = 0;

    // An HTTP answer with `status`, a body and optional header fields.
    static SimHttpReply http(int status, std::string body = {}, HttpHeaders headers = {});
    // An HTTP answer with a JSON body and "Content-Type: application/json".
    static SimHttpReply json(int status, std::string body);
    // A failure below HTTP with a URL-error code (e.g. URLError::notConnectedToInternet).
    static SimHttpReply failure(int urlErrorCode);
    // An answer that is not an HTTP response.
    static SimHttpReply nonHTTP(std::string body = {});

    SimHttpReply& after(double seconds) {
        delay = seconds;
        return *this;
    }
    SimHttpReply& header(std::string name, std::string value) {
        headers.add(std::move(name), std::move(value));
        return *this;
    }
};

class SimHttpSession final : public HttpSession {
public:
    using Handler = std::function<SimHttpReply(const HttpRequest&)>;

    explicit SimHttpSession(SimRunLoop& loop) : loop_(loop) {}
    SimHttpSession(const SimHttpSession&) = delete;
    SimHttpSession& operator=(const SimHttpSession&) = delete;

    boost::asio::awaitable<HttpResult> send(HttpRequest request) override;

    // --- test side ---
    // Routes requests whose method (upper case, or "*" for any) and path (without query and
    // fragment) match. A later route for the same key replaces the earlier one. Unrouted
    // requests get 404 with an empty body.
    void route(const std::string& method, const std::string& path, Handler handler);
    // The same answer every time.
    void route(const std::string& method, const std::string& path, SimHttpReply reply);
    // Answers in order, the last one repeating.
    void routeSequence(const std::string& method, const std::string& path,
                       std::vector<SimHttpReply> replies);
    void removeRoutes() { routes_.clear(); }

    // When false, every request fails at once with URLError::notConnectedToInternet.
    bool online = true;

    // Every request received, in order.
    const std::vector<HttpRequest>& requests() const { return requests_; }
    // Requests received for a method ("*" for any) and path.
    std::size_t count(const std::string& method, const std::string& path) const;
    // Requests not answered yet (a relaunch drops them with the run loop's timers).
    std::size_t inFlight() const;

    // The path of an absolute URL: after the authority, before "?" and "#"; "/" when empty.
    static std::string pathOf(const std::string& url);

    // Bodies larger than this fail with URLError::dataLengthExceedsMaximum unless the request
    // sets its own cap; the same as the desktop session's.
    static constexpr std::size_t maxBodyBytes = 32u << 20;

private:
    // One request with the redirects it follows: a hop at a time, each recorded and answered
    // by the routes like any other request.
    struct Exchange {
        std::shared_ptr<detail::PendingHttp> pending;
        // Monotonic time by which the whole exchange must be done.
        std::optional<double> deadline;
        int redirects = 0;
        // The current hop's answer.
        std::weak_ptr<Timer> answer;
    };
    void start(HttpRequest request, std::shared_ptr<detail::PendingHttp> pending);
    void startHop(HttpRequest request, std::shared_ptr<Exchange> exchange);
    SimHttpReply answer(const HttpRequest& request);

    SimRunLoop& loop_;
    std::map<std::pair<std::string, std::string>, Handler> routes_;
    std::vector<HttpRequest> requests_;
    // The answer timers of requests in flight.
    mutable std::vector<std::weak_ptr<Timer>> answers_;
    // Answers that arrive after the session has gone find this expired.
    std::shared_ptr<SimHttpSession*> self_ = std::make_shared<SimHttpSession*>(this);
};

} // namespace platform::sim
