// The single-instance channel: what counts as a request, the lock that makes one process the
// running instance, and a real server that answers good requests and drops bad ones.
#include "tests/Desktop/DesktopTestSupport.h"

#include "Platform/Desktop/Instance/InstanceChannel.h"

#include <QCoreApplication>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

namespace desktop {
namespace {

using C = InstanceRequest::Command;

TEST(InstanceChannel, AcceptsOnlyWellFormedRequests) {
    EXPECT_EQ(parseInstanceRequest(R"({"command":"status"})"), (InstanceRequest{C::status, {}}));
    EXPECT_EQ(parseInstanceRequest(R"({"command":"toggle"})"), (InstanceRequest{C::toggle, {}}));
    EXPECT_EQ(
        parseInstanceRequest(R"({"command":"open","urls":["quillet://auth/callback?code=x"]})"),
        (InstanceRequest{C::open, {"quillet://auth/callback?code=x"}}));
    for (auto r : {InstanceRequest{C::ping, {}}, InstanceRequest{C::activate, {}},
                   InstanceRequest{C::open, {"quillet://signed-in", "https://example.com/a"}}}) {
        auto line = encodeInstanceRequest(r);
        ASSERT_EQ(line.back(), '\n');
        EXPECT_EQ(parseInstanceRequest(line.substr(0, line.size() - 1)), r);
    }

    const std::string tooManyURLs = [] {
        std::string s = R"({"command":"open","urls":[)";
        for (std::size_t i = 0; i <= maxInstanceURLs; ++i)
            s += std::string(i ? "," : "") + "\"quillet://x\"";
        return s + "]}";
    }();
    for (std::string bad :
         {std::string(""), std::string("status"), std::string("[]"), std::string("{}"),
          std::string(R"({"command":"reboot"})"), std::string(R"({"command":5})"),
          std::string(R"({"command":"status","extra":1})"),
          std::string(R"({"command":"toggle","urls":["quillet://x"]})"),
          std::string(R"({"command":"open"})"), std::string(R"({"command":"open","urls":[]})"),
          std::string(R"({"command":"open","urls":"quillet://x"})"),
          std::string(R"({"command":"open","urls":[42]})"),
          std::string(R"({"command":"open","urls":["no scheme"]})"),
          std::string(R"({"command":"open","urls":["1http://x"]})"),
          std::string(R"({"command":"open","urls":["quillet://a\nb"]})"),
          std::string(R"({"command":"open","urls":["quillet://a b"]})"),
          std::string(R"({"command":"open","urls":[")") + "quillet://" +
              std::string(maxInstanceURLLength, 'a') + "\"]}",
          tooManyURLs,
          std::string(R"({"command":"status"})") + std::string(maxInstanceMessage, ' ')})
        EXPECT_FALSE(parseInstanceRequest(bad)) << bad.substr(0, 80);
}

TEST(InstanceChannel, EveryRequestTheClientCanBuildReadsBackOnTheServer) {
    // URLs in UTF-8 pass; other bytes would make the request line unwritable as JSON.
    EXPECT_TRUE(isAcceptableURL("https://example.com/caf\xc3\xa9/\xf0\x9f\x98\x80"));
    for (std::string notUTF8 :
         {"quillet://auth/c\xc4k?code=1", "quillet://x\xff", "quillet://x\xc0\xaf",
          "quillet://x\xed\xa0\x80", "quillet://x\xf4\x90\x80\x80", "quillet://x\xe2\x82"})
        EXPECT_FALSE(isAcceptableURL(notUTF8)) << notUTF8;

    // The largest request: every URL at its longest, full of characters JSON escapes.
    std::vector<std::string> urls;
    for (std::size_t i = 0; i < maxInstanceURLs; ++i) {
        std::string url = "quillet://" + std::to_string(i) + "/";
        while (url.size() < maxInstanceURLLength)
            url += url.size() % 2 ? '"' : '\\';
        ASSERT_TRUE(isAcceptableURL(url));
        urls.push_back(url);
    }
    for (const auto& r : {InstanceRequest{C::open, urls},
                          InstanceRequest{C::open, {"https://example.com/caf\xc3\xa9"}}}) {
        const std::string line = encodeInstanceRequest(r);
        ASSERT_EQ(line.find('\n'), line.size() - 1);
        EXPECT_EQ(parseInstanceRequest(line.substr(0, line.size() - 1)), r);
    }
}

TEST(InstanceChannel, OneProcessHoldsTheLockAndOthersReadItsPid) {
    test::TempDir dir;
    InstanceLock first(dir.path());
    ASSERT_TRUE(first.acquire());
    InstanceLock second(dir.path());
    EXPECT_FALSE(second.acquire());
    EXPECT_FALSE(second.isHeld());
    EXPECT_EQ(second.ownerPID(), ::getpid());
}

TEST(InstanceChannel, RuntimeDirectoryMustBeThisUsersAlone) {
    test::TempDir dir;
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    std::string saved = old ? old : "";
    ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    auto made = instanceDirectory();
    ASSERT_TRUE(made);
    struct stat st {};
    ASSERT_EQ(::stat(made->c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ::chmod(made->c_str(), 0755);
    EXPECT_FALSE(instanceDirectory()) << "a directory others can enter is refused";
    if (old)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
}

// Sends raw bytes and returns what comes back before the server closes (or the deadline).
std::string sendRaw(const std::string& path, const std::string& bytes) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return "<no connection>";
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    std::string reply;
    char buf[1024];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0)
            break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        reply.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply;
}

// Runs `client` on a thread while the main thread serves.
template <class F> auto whileServing(F client) {
    decltype(client()) result{};
    bool done = false;
    std::thread t([&] {
        result = client();
        done = true;
    });
    test::spinUntil([&] { return done; }, 10000);
    t.join();
    return result;
}

TEST(InstanceChannel, ServerAnswersGoodRequestsAndDropsBadOnes) {
    test::TempDir dir;
    std::vector<InstanceRequest> handled;
    InstanceServer server([&](const InstanceRequest& r) {
        handled.push_back(r);
        return std::string(R"({"ok":true})");
    });
    const std::string path = instanceSocketPath(dir.path());
    // A stale socket file from a process that died does not stop the next one.
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    std::string error;
    ASSERT_TRUE(server.listen(path, &error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "only this user may connect";

    auto reply = whileServing([&] { return sendInstanceRequest(path, {C::status, {}}); });
    EXPECT_EQ(reply, std::optional<std::string>(R"({"ok":true})"));
    reply = whileServing([&] {
        return sendInstanceRequest(path, {C::open, {"quillet://auth/callback"}});
    });
    EXPECT_TRUE(reply);
    ASSERT_EQ(handled.size(), 2u);
    EXPECT_EQ(handled[1].urls, std::vector<std::string>{"quillet://auth/callback"});

    // Malformed and oversized requests get no answer and reach no handler.
    EXPECT_EQ(whileServing([&] { return sendRaw(path, "{\"command\":\"reboot\"}\n"); }), "");
    EXPECT_EQ(whileServing([&] { return sendRaw(path, "not json at all\n"); }), "");
    EXPECT_EQ(
        whileServing([&] { return sendRaw(path, std::string(maxInstanceMessage + 10, '{')); }), "");
    EXPECT_EQ(handled.size(), 2u);
    EXPECT_EQ(server.droppedRequests(), 3u);

    // The server still answers afterwards.
    reply = whileServing([&] { return sendInstanceRequest(path, {C::toggle, {}}); });
    EXPECT_TRUE(reply);
    EXPECT_EQ(handled.size(), 3u);

    // Nobody listening: the client says so instead of waiting.
    EXPECT_FALSE(sendInstanceRequest(dir.sub("nobody.sock"), {C::status, {}}, 500));
}

} // namespace
} // namespace desktop
