#include "tests/Desktop/Services/Http/LoopbackHttpServer.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <istream>
#include <sstream>

namespace testing_http {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

bool namesEqual(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string trim(std::string s) {
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

} // namespace

std::optional<std::string> Request::header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (namesEqual(n, name))
            return v;
    return std::nullopt;
}

struct LoopbackHttpServer::Impl {
    asio::io_context io;
    tcp::acceptor acceptor{io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
};

LoopbackHttpServer::LoopbackHttpServer(Handler handler)
    : handler_(std::move(handler)), impl_(std::make_unique<Impl>()) {
    port_ = impl_->acceptor.local_endpoint().port();
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    stop();
}

std::string LoopbackHttpServer::url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
}

std::vector<Request> LoopbackHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool LoopbackHttpServer::waitFor(const std::function<bool()>& predicate) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::unique_lock lock(mutex_);
    while (true) {
        lock.unlock();
        const bool ok = predicate();
        lock.lock();
        if (ok)
            return true;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout)
            return predicate();
    }
}

void LoopbackHttpServer::stop() {
    if (stopping_.exchange(true))
        return;
    changed_.notify_all();
    // Wakes the blocking accept with a connection of our own.
    {
        asio::io_context io;
        tcp::socket s(io);
        boost::system::error_code ec;
        s.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port_), ec);
    }
    if (acceptor_.joinable())
        acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(connections_);
    }
    for (auto& t : threads)
        t.join();
}

unsigned short LoopbackHttpServer::unusedPort() {
    asio::io_context io;
    tcp::acceptor a(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    const unsigned short port = a.local_endpoint().port();
    a.close();
    return port;
}

void LoopbackHttpServer::acceptLoop() {
    for (;;) {
        tcp::socket socket(impl_->io);
        boost::system::error_code ec;
        impl_->acceptor.accept(socket, ec);
        if (stopping_)
            return;
        if (ec)
            continue;
        const int fd = socket.release(ec);
        if (ec)
            continue;
        std::lock_guard lock(mutex_);
        connections_.emplace_back([this, fd] { serve(fd); });
    }
}

void LoopbackHttpServer::serve(int fd) {
    asio::io_context io;
    tcp::socket socket(io, tcp::v4(), fd);
    boost::system::error_code ec;

    // Request line and header fields.
    asio::streambuf buffer;
    asio::read_until(socket, buffer, "\r\n\r\n", ec);
    if (ec)
        return;
    std::istream in(&buffer);
    Request request;
    std::string line;
    std::getline(in, line);
    {
        std::istringstream first(line);
        first >> request.method >> request.target;
    }
    std::size_t contentLength = 0;
    while (std::getline(in, line) && line != "\r") {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = trim(line.substr(0, colon));
        std::string value = trim(line.substr(colon + 1));
        if (namesEqual(name, "Content-Length"))
            contentLength = std::stoul(value);
        request.headers.emplace_back(std::move(name), std::move(value));
    }
    // The body: what is buffered already, then the rest.
    std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (body.size() < contentLength) {
        std::string rest(contentLength - body.size(), '\0');
        asio::read(socket, asio::buffer(rest), ec);
        if (ec)
            return;
        body += rest;
    }
    request.body = body.substr(0, contentLength);

    Reply reply = handler_(request);
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    changed_.notify_all();

    // Holds the connection; notices when the client closes it.
    auto hold = [&] {
        while (!stopping_) {
            pollfd p{socket.native_handle(), POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                char c;
                if (::recv(socket.native_handle(), &c, 1, MSG_PEEK) <= 0) {
                    ++closedByClient_;
                    changed_.notify_all();
                    return;
                }
            }
        }
    };
    if (reply.hang) {
        hold();
        return;
    }

    const std::size_t length = reply.announcedLength.value_or(reply.body.size());
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reply.reason + "\r\n";
    for (const auto& [n, v] : reply.headers)
        out += n + ": " + v + "\r\n";
    out += "Content-Length: " + std::to_string(length) + "\r\n";
    out += "Connection: close\r\n\r\n";
    out += reply.body;
    asio::write(socket, asio::buffer(out), ec);
    if (!ec && length > reply.body.size()) {
        hold();
        return;
    }
    socket.shutdown(tcp::socket::shutdown_both, ec);
}

} // namespace testing_http
