// A small HTTP/1.1 server on 127.0.0.1 (ephemeral port) for the desktop URL session's tests:
// one thread per connection, one request per connection, answers chosen by a handler.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testing_http {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method;
    std::string target;
    Fields headers;
    std::string body;
    // The first field named `name`, in any case.
    std::optional<std::string> header(const std::string& name) const;
};

struct Reply {
    int status = 200;
    std::string reason = "OK";
    Fields headers;
    std::string body;
    // Never answers; holds the connection until the client goes away or the server stops.
    bool hang = false;
    // Announces this Content-Length instead of the body's; when it is longer, the body is sent
    // and the connection held as for `hang`, the rest never coming.
    std::optional<std::size_t> announcedLength = std::nullopt;
};

class LoopbackHttpServer {
public:
    using Handler = std::function<Reply(const Request&)>;

    explicit LoopbackHttpServer(Handler handler);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    unsigned short port() const { return port_; }
    std::string url(const std::string& target) const;
    std::vector<Request> requests() const;
    // Hanging connections that the client closed.
    int closedByClient() const { return closedByClient_.load(); }
    // Waits (up to a few seconds) until `predicate` holds; false if it never did.
    bool waitFor(const std::function<bool()>& predicate) const;
    void stop();

    // A loopback port on which nothing listens.
    static unsigned short unusedPort();

private:
    struct Impl;
    void acceptLoop();
    void serve(int fd);

    Handler handler_;
    std::unique_ptr<Impl> impl_;
    unsigned short port_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Request> requests_;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> closedByClient_{0};
};

} // namespace testing_http
