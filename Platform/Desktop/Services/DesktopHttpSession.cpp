#include "Platform/Desktop/Services/DesktopHttpSession.h"

#include "Platform/HttpRedirect.h"

#include <boost/asio/use_awaitable.hpp>
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace desktop {

using platform::HttpResult;
using platform::HttpTransportError;
namespace URLError = platform::URLError;

namespace {

int urlErrorFor(CURLcode code) {
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        return URLError::timedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return URLError::cannotFindHost;
    case CURLE_COULDNT_CONNECT:
        return URLError::cannotConnectToHost;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return URLError::unsupportedURL;
    case CURLE_URL_MALFORMAT:
        return URLError::badURL;
    case CURLE_TOO_MANY_REDIRECTS:
        return URLError::httpTooManyRedirects;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return URLError::networkConnectionLost;
    case CURLE_PEER_FAILED_VERIFICATION:
        return URLError::serverCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        return URLError::secureConnectionFailed;
    case CURLE_WEIRD_SERVER_REPLY:
        return URLError::badServerResponse;
    case CURLE_ABORTED_BY_CALLBACK:
        return URLError::cancelled;
    default:
        return URLError::unknown;
    }
}

std::string httpVersionText(long v) {
    switch (v) {
    case CURL_HTTP_VERSION_1_0:
        return "HTTP/1.0";
    case CURL_HTTP_VERSION_2_0:
        return "HTTP/2";
    case CURL_HTTP_VERSION_3:
        return "HTTP/3";
    default:
        return "HTTP/1.1";
    }
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool hasLineBreakOrNul(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// RFC 9110 §5.1: a field name is a token.
bool isToken(std::string_view s) {
    if (s.empty())
        return false;
    return std::all_of(s.begin(), s.end(), [](unsigned char c) {
        return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) !=
                                      std::string_view::npos;
    });
}

struct CurlSlist {
    curl_slist* list = nullptr;
    ~CurlSlist() { clear(); }
    void clear() {
        curl_slist_free_all(list);
        list = nullptr;
    }
    bool append(const std::string& line) {
        curl_slist* next = curl_slist_append(list, line.c_str());
        if (!next)
            return false;
        list = next;
        return true;
    }
};

} // namespace

// One request in flight, with the redirects it follows one hop at a time (curl follows none, so
// every hop is judged before it is made). Everything but `pending` is touched only by the
// transfer thread once the transfer has been handed over.
struct Transfer {
    using Clock = std::chrono::steady_clock;

    // The current hop.
    platform::HttpRequest request;
    std::shared_ptr<platform::detail::PendingHttp> pending;
    CURL* easy = nullptr;
    CurlSlist headerList;
    HttpResult result;
    std::vector<platform::HttpHeaders::Field> fields;
    bool tooLarge = false;
    // When the whole exchange, redirects included, must be done.
    std::optional<Clock::time_point> deadline;
    int redirects = 0;

    ~Transfer() {
        if (easy)
            curl_easy_cleanup(easy);
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        const size_t n = size * count;
        std::string_view line(data, n);
        auto& fields = t->fields;
        if (line.starts_with("HTTP/")) {
            // A new response begins (after a redirect or an interim 1xx answer).
            fields.clear();
            return n;
        }
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            // An obsolete folded continuation of the previous field.
            if (!fields.empty() && !trim(line).empty()) {
                auto& value = fields.back().second;
                value.push_back(' ');
                value.append(trim(line));
            }
            return n;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos)
            return n; // the blank line that ends the header block
        fields.emplace_back(std::string(trim(line.substr(0, colon))),
                            std::string(trim(line.substr(colon + 1))));
        return n;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        const size_t n = size * count;
        const std::size_t cap = t->request.maxBodyBytes.value_or(DesktopHttpSession::maxBodyBytes);
        if (n > cap - std::min(cap, t->result.data.size())) {
            t->tooLarge = true;
            return 0; // makes curl fail the transfer
        }
        t->result.data.insert(t->result.data.end(), data, data + n);
        return n;
    }

    // Sets up the easy handle for the current hop; false when the request cannot be sent as
    // given.
    bool configure() {
        if (easy)
            curl_easy_reset(easy);
        else
            easy = curl_easy_init();
        if (!easy)
            return false;
        headerList.clear();
        result = {};
        fields.clear();
        tooLarge = false;
        auto& r = request;
        if (r.url.empty() || hasLineBreakOrNul(r.url) || !isToken(r.method))
            return false;
        curl_easy_setopt(easy, CURLOPT_URL, r.url.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        if (deadline) {
            // What is left of the exchange's time; a hop always gets at least a millisecond,
            // since zero would mean no limit to curl.
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            const long ms = static_cast<long>(std::max<std::int64_t>(left.count(), 1));
            curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, ms);
            curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, ms);
        }

        // Method and body.
        if (r.method == "GET" && r.body.empty()) {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else if (r.method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(r.body.size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS,
                             r.body.empty() ? "" : reinterpret_cast<const char*>(r.body.data()));
            if (r.method != "POST")
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, r.method.c_str());
        }

        // Header fields exactly as given: no "Expect: 100-continue", no form content type.
        for (const auto& [name, value] : r.headers.fields()) {
            if (!isToken(name) || hasLineBreakOrNul(value))
                return false;
            if (!headerList.append(value.empty() ? name + ";" : name + ": " + value))
                return false;
        }
        if (!headerList.append("Expect:"))
            return false;
        if (!r.headers.value("Content-Type") && !headerList.append("Content-Type:"))
            return false;
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList.list);
        return true;
    }

    // Starts the clock of the whole exchange; called once, before the first hop.
    void begin() {
        const double t = request.timeout;
        if (t > 0 && std::isfinite(t))
            deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(std::min(t, 2.0e6)));
    }

    // Completes the exchange with this hop's outcome, or moves the request on to the next hop
    // (true: configure and add it again).
    bool finish(CURLcode code) {
        if (code != CURLE_OK) {
            pending->fail(tooLarge ? URLError::dataLengthExceedsMaximum : urlErrorFor(code));
            return false;
        }
        long status = 0, version = 0;
        char* effective = nullptr;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (request.redirects == platform::RedirectPolicy::httpsOnly &&
            platform::isRedirectStatus(static_cast<int>(status)))
            if (auto location = locationField())
                return follow(static_cast<int>(status), *location);
        curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
        result.response.isHTTP = true;
        result.response.statusCode = static_cast<int>(status);
        result.response.httpVersion = httpVersionText(version);
        result.response.url = effective ? effective : request.url;
        for (auto& [name, value] : fields)
            result.response.headers.add(std::move(name), std::move(value));
        pending->complete(nullptr, std::move(result));
        return false;
    }

    std::optional<std::string> locationField() const {
        for (const auto& [name, value] : fields)
            if (platform::HttpHeaders::namesEqual(name, "Location"))
                return value;
        return std::nullopt;
    }

    // Judges the hop to `location`; true when the request now stands for it.
    bool follow(int status, const std::string& location) {
        if (++redirects > platform::maxRedirects) {
            pending->fail(URLError::httpTooManyRedirects);
            return false;
        }
        try {
            request = platform::redirectedRequest(request, status, location);
        } catch (const HttpTransportError&) {
            pending->complete(std::current_exception(), {});
            return false;
        }
        if (deadline && Clock::now() >= *deadline) {
            pending->fail(URLError::timedOut);
            return false;
        }
        return true;
    }
};

struct DesktopHttpSession::Impl : std::enable_shared_from_this<Impl> {
    CURLM* multi = nullptr;
    std::thread thread;

    std::mutex mutex;
    bool stopping = false;
    std::vector<std::shared_ptr<Transfer>> incoming;
    std::vector<std::shared_ptr<Transfer>> cancelled;

    // Transfer thread only.
    std::map<CURL*, std::shared_ptr<Transfer>> active;

    // Called with `mutex` held, so the multi handle cannot go away meanwhile.
    void wakeLocked() {
        if (multi)
            curl_multi_wakeup(multi);
    }

    void submit(std::shared_ptr<Transfer> t) {
        std::lock_guard lock(mutex);
        if (stopping) {
            t->pending->fail(URLError::cancelled);
            return;
        }
        incoming.push_back(std::move(t));
        wakeLocked();
    }

    void cancel(std::shared_ptr<Transfer> t) {
        // The caller resumes at once; the transfer thread removes the transfer.
        t->pending->fail(URLError::cancelled);
        std::lock_guard lock(mutex);
        cancelled.push_back(std::move(t));
        wakeLocked();
    }

    // Configures the transfer's current hop and hands it to curl.
    void start(const std::shared_ptr<Transfer>& t) {
        if (t->pending->done)
            return; // cancelled meanwhile
        if (!t->configure()) {
            t->pending->complete(
                std::make_exception_ptr(HttpTransportError(
                    std::string(URLError::domain), URLError::badURL, URLError::badURL,
                    "The request has an invalid URL, method or header field.")),
                {});
            return;
        }
        if (curl_multi_add_handle(multi, t->easy) != CURLM_OK) {
            t->pending->fail(URLError::unknown);
            return;
        }
        active.emplace(t->easy, t);
    }

    void remove(const std::shared_ptr<Transfer>& t) {
        auto it = active.find(t->easy);
        if (it == active.end())
            return;
        curl_multi_remove_handle(multi, t->easy);
        active.erase(it);
    }

    void loop() {
        for (;;) {
            std::vector<std::shared_ptr<Transfer>> added, dropped;
            {
                std::lock_guard lock(mutex);
                if (stopping)
                    break;
                added.swap(incoming);
                dropped.swap(cancelled);
            }
            for (auto& t : added) {
                t->begin();
                start(t);
            }
            for (auto& t : dropped)
                remove(t);

            int running = 0;
            curl_multi_perform(multi, &running);
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
                if (msg->msg != CURLMSG_DONE)
                    continue;
                auto it = active.find(msg->easy_handle);
                if (it == active.end())
                    continue;
                auto t = it->second;
                const CURLcode code = msg->data.result;
                remove(t);
                if (t->finish(code))
                    start(t); // the next hop of a followed redirect
            }
            // Idle, sleep until a request, a cancellation or shutdown wakes the poll, so an idle
            // process never wakes up for nothing; busy, wait as long as curl asks, at most 1 s.
            int timeoutMs = std::numeric_limits<int>::max();
            if (!active.empty()) {
                long wanted = -1;
                curl_multi_timeout(multi, &wanted);
                timeoutMs = wanted < 0 ? 1000 : static_cast<int>(std::min<long>(wanted, 1000));
            }
            curl_multi_poll(multi, nullptr, 0, timeoutMs, nullptr);
        }

        // Shutting down: whatever is still in flight fails as cancelled.
        for (auto& [easy, t] : active) {
            curl_multi_remove_handle(multi, easy);
            t->pending->fail(URLError::cancelled);
        }
        active.clear();
        std::lock_guard lock(mutex);
        for (auto& t : incoming)
            t->pending->fail(URLError::cancelled);
        incoming.clear();
        cancelled.clear();
    }
};

void DesktopHttpSession::globalInit() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            std::fputs("quillet: libcurl failed to initialise\n", stderr);
            std::abort();
        }
    });
}

DesktopHttpSession::DesktopHttpSession() : impl_(std::make_shared<Impl>()) {
    globalInit();
    impl_->multi = curl_multi_init();
    if (!impl_->multi) {
        std::fputs("quillet: libcurl multi handle unavailable\n", stderr);
        std::abort();
    }
    impl_->thread = std::thread([impl = impl_.get()] { impl->loop(); });
}

DesktopHttpSession::~DesktopHttpSession() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
        impl_->wakeLocked();
    }
    if (impl_->thread.joinable())
        impl_->thread.join();
    CURLM* multi = nullptr;
    {
        std::lock_guard lock(impl_->mutex);
        std::swap(multi, impl_->multi);
    }
    curl_multi_cleanup(multi);
}

boost::asio::awaitable<HttpResult> DesktopHttpSession::send(platform::HttpRequest request) {
    // Not a coroutine: the operation itself is the awaitable, started when awaited.
    auto transfer = std::make_shared<Transfer>();
    transfer->request = std::move(request);
    std::weak_ptr<Impl> weakImpl = impl_;
    return platform::detail::asyncHttp(
        [transfer, weakImpl](std::shared_ptr<platform::detail::PendingHttp> pending) {
            transfer->pending = pending;
            auto impl = weakImpl.lock();
            if (!impl) {
                pending->fail(URLError::cancelled);
                return;
            }
            std::weak_ptr<Transfer> weakTransfer = transfer;
            pending->onCancel = [weakImpl, weakTransfer] {
                auto impl = weakImpl.lock();
                auto t = weakTransfer.lock();
                if (impl && t)
                    impl->cancel(t);
            };
            impl->submit(transfer);
        },
        boost::asio::use_awaitable);
}

} // namespace desktop
