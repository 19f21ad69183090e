// URL loading: one request in, one response or one transport error out. Implemented by Sim (a
// scripted in-process server) and Desktop (libcurl on its own thread); send() may be awaited on
// any executor and resumes on it; cancelling the awaiting operation cancels the transfer.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Codes of the URL-loading error domain, numbered as the platform numbers them.
namespace URLError {
inline constexpr std::string_view domain = "NSURLErrorDomain";
inline constexpr int unknown = -1;
inline constexpr int cancelled = -999;
inline constexpr int badURL = -1000;
inline constexpr int timedOut = -1001;
inline constexpr int unsupportedURL = -1002;
inline constexpr int cannotFindHost = -1003;
inline constexpr int cannotConnectToHost = -1004;
inline constexpr int networkConnectionLost = -1005;
inline constexpr int httpTooManyRedirects = -1007;
inline constexpr int notConnectedToInternet = -1009;
inline constexpr int appTransportSecurityRequiresSecureConnection = -1022;
inline constexpr int badServerResponse = -1011;
inline constexpr int dataLengthExceedsMaximum = -1103;
inline constexpr int secureConnectionFailed = -1200;
inline constexpr int serverCertificateUntrusted = -1202;
// The platform's text for a code.
std::string localizedDescription(int code);
} // namespace URLError

// Header fields in the order received or set; names compare case-insensitively.
class HttpHeaders {
public:
    using Field = std::pair<std::string, std::string>;

    HttpHeaders() = default;
    HttpHeaders(std::initializer_list<Field> fields);

    // The first field named `name`, in any case.
    std::optional<std::string> value(std::string_view name) const;
    // Replaces every field named `name` with one field, kept where the first one was.
    void set(std::string name, std::string value);
    // Appends a field, keeping earlier ones of the same name.
    void add(std::string name, std::string value);
    void remove(std::string_view name);

    const std::vector<Field>& fields() const { return fields_; }
    std::size_t size() const { return fields_.size(); }
    bool empty() const { return fields_.empty(); }
    bool operator==(const HttpHeaders&) const = default;

    static bool namesEqual(std::string_view a, std::string_view b);

private:
    std::vector<Field> fields_;
};

// Which redirects a request follows. `none` hands a 3xx back as the response; `httpsOnly` follows
// up to ten redirects, each hop to an https URL (plain http only from a loopback address to a
// loopback address, for tests); any other hop fails the request.
enum class RedirectPolicy { none, httpsOnly };

struct HttpRequest {
    std::string method = "GET";
    // Absolute URL.
    std::string url;
    HttpHeaders headers;
    std::vector<std::uint8_t> body;
    // Seconds allowed for the whole exchange; zero or less means no limit.
    double timeout = 60;
    // Redirects are never followed unless the request asks for it: a followed 307/308 would
    // re-send the body and headers to wherever the server points.
    RedirectPolicy redirects = RedirectPolicy::none;
    // The most body bytes accepted; a longer body fails with dataLengthExceedsMaximum as soon
    // as it goes past the cap. Unset: the session's own cap.
    std::optional<std::size_t> maxBodyBytes;
};

// The response metadata. A non-HTTP answer (isHTTP false) has no status, version or headers.
struct HttpResponse {
    std::string url;
    bool isHTTP = true;
    int statusCode = 0;
    // "HTTP/1.0", "HTTP/1.1", "HTTP/2" or "HTTP/3".
    std::string httpVersion;
    HttpHeaders headers;
};

// One exchange: the body bytes and the response.
struct HttpResult {
    std::vector<std::uint8_t> data;
    HttpResponse response;
};

// A failure below HTTP: no response was received. Carries an error domain and code, and the
// URL-error code when the failure is one of URL loading. Its text never contains the URL.
class HttpTransportError : public std::runtime_error {
public:
    HttpTransportError(std::string domain, long code, std::optional<int> urlErrorCode,
                       const std::string& description);
    // A failure of the URL-loading domain with the platform's text for `code`.
    static HttpTransportError urlError(int code);

    const std::string& domain() const { return domain_; }
    long code() const { return code_; }
    std::optional<int> urlErrorCode() const { return urlErrorCode_; }
    bool isCancelled() const { return urlErrorCode_ == URLError::cancelled; }

private:
    std::string domain_;
    long code_;
    std::optional<int> urlErrorCode_;
};

class HttpSession {
public:
    virtual ~HttpSession() = default;
    // Sends `request` once. Throws HttpTransportError; a cancelled send throws it with
    // URLError::cancelled.
    virtual boost::asio::awaitable<HttpResult> send(HttpRequest request) = 0;
};

// The installed host's URL session.
HttpSession& httpSession();

namespace detail {

// One transfer in flight, as the session implementations see it: completed exactly once, from
// any thread; `onCancel` runs on the awaiting operation's executor when that operation is
// cancelled.
struct PendingHttp {
    std::function<void(std::exception_ptr, HttpResult)> finish;
    std::function<void()> onCancel;
    std::atomic<bool> done{false};

    bool complete(std::exception_ptr error, HttpResult result) {
        if (done.exchange(true))
            return false;
        // Runs once; letting go of it releases the awaiting handler, which a completion that
        // never gets to run (its executor stopped) must not keep alive through this record.
        auto f = std::move(finish);
        finish = nullptr;
        f(std::move(error), std::move(result));
        return true;
    }
    bool fail(int urlErrorCode) {
        return complete(std::make_exception_ptr(HttpTransportError::urlError(urlErrorCode)), {});
    }
};

// Wraps a session's `start(pending)` as an asio operation completing with
// (exception_ptr, HttpResult) on the handler's executor.
template <class CompletionToken>
auto asyncHttp(std::function<void(std::shared_ptr<PendingHttp>)> start, CompletionToken&& token) {
    return boost::asio::async_initiate<CompletionToken, void(std::exception_ptr, HttpResult)>(
        [start = std::move(start)](auto handler) {
            using Handler = decltype(handler);
            auto pending = std::make_shared<PendingHttp>();
            auto slot = boost::asio::get_associated_cancellation_slot(handler);
            auto executor = boost::asio::get_associated_executor(handler);
            // asio handlers are move-only; box this one so a std::function can carry it.
            auto boxed = std::make_shared<Handler>(std::move(handler));
            pending->finish = [boxed, executor](std::exception_ptr e, HttpResult r) {
                boost::asio::post(executor, [boxed, e = std::move(e), r = std::move(r)]() mutable {
                    std::move (*boxed)(std::move(e), std::move(r));
                });
            };
            if (slot.is_connected()) {
                std::weak_ptr<PendingHttp> weak = pending;
                slot.assign([weak](boost::asio::cancellation_type type) {
                    if (type == boost::asio::cancellation_type::none)
                        return;
                    if (auto p = weak.lock(); p && !p->done && p->onCancel)
                        p->onCancel();
                });
            }
            start(std::move(pending));
        },
        token);
}

} // namespace detail

} // namespace platform
