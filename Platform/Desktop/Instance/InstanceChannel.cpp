#include "Platform/Desktop/Instance/InstanceChannel.h"

#include <cctype>

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QVariant>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace desktop {

namespace {

constexpr const char* commandNames[] = {"ping", "activate", "open", "status", "toggle", "post"};
// A client that has not sent its request by then is dropped.
constexpr int requestDeadlineMs = 5000;
constexpr std::size_t maxReply = 4 * 1024 * 1024;

bool isSchemeChar(char c, bool first) {
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (first)
        return alpha;
    return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The peer of a connected local socket runs as this user.
bool peerIsThisUser(int fd) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    return cred.uid == ::getuid();
}

// Well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF): the request
// line is JSON, which carries nothing else.
bool isUTF8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n;
        char32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xc2 && c <= 0xdf) {
            n = 1;
            cp = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            n = 2;
            cp = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= n)
            return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xc0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        if ((n == 2 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) ||
            (n == 3 && (cp < 0x10000 || cp > 0x10ffff)))
            return false;
        i += n + 1;
    }
    return true;
}

} // namespace

bool isAcceptableURL(std::string_view url) {
    if (url.empty() || url.size() > maxInstanceURLLength)
        return false;
    auto colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    for (std::size_t i = 0; i < colon; ++i)
        if (!isSchemeChar(url[i], i == 0))
            return false;
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7f)
            return false;
    return isUTF8(url);
}

std::optional<InstanceRequest> parseInstanceRequest(std::string_view line) {
    if (line.size() >= maxInstanceMessage)
        return std::nullopt;
    auto doc = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded() || !doc.is_object())
        return std::nullopt;
    auto cmd = doc.find("command");
    if (cmd == doc.end() || !cmd->is_string())
        return std::nullopt;
    InstanceRequest r;
    const auto name = cmd->get<std::string>();
    bool known = false;
    for (std::size_t i = 0; i < std::size(commandNames); ++i)
        if (name == commandNames[i]) {
            r.command = static_cast<InstanceRequest::Command>(i);
            known = true;
        }
    if (!known)
        return std::nullopt;
    auto urls = doc.find("urls");
    if (r.command == InstanceRequest::Command::open) {
        if (urls == doc.end() || !urls->is_array() || urls->empty() ||
            urls->size() > maxInstanceURLs)
            return std::nullopt;
        for (auto& u : *urls) {
            if (!u.is_string() || !isAcceptableURL(u.get_ref<const std::string&>()))
                return std::nullopt;
            r.urls.push_back(u.get<std::string>());
        }
    } else if (urls != doc.end()) {
        return std::nullopt;
    }
    auto notification = doc.find("name");
    if (r.command == InstanceRequest::Command::post) {
        if (notification == doc.end() || !notification->is_string())
            return std::nullopt;
        const auto& text = notification->get_ref<const std::string&>();
        if (text.empty() || text.size() > maxInstanceNotificationName)
            return std::nullopt;
        for (unsigned char c : text)
            if (!(std::isalnum(c) || c == '.' || c == '_' || c == '-'))
                return std::nullopt;
        r.name = text;
    } else if (notification != doc.end()) {
        return std::nullopt;
    }
    // Nothing else may ride along.
    const bool twoKeys =
        r.command == InstanceRequest::Command::open || r.command == InstanceRequest::Command::post;
    if (doc.size() != (twoKeys ? 2u : 1u))
        return std::nullopt;
    return r;
}

std::string encodeInstanceRequest(const InstanceRequest& request) {
    nlohmann::json doc{{"command", commandNames[static_cast<int>(request.command)]}};
    if (request.command == InstanceRequest::Command::open)
        doc["urls"] = request.urls;
    if (request.command == InstanceRequest::Command::post)
        doc["name"] = request.name;
    return doc.dump() + "\n";
}

std::optional<std::string> instanceDirectory() {
    std::string dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
        dir = std::string(runtime) + "/quillet";
    } else {
        dir = "/tmp/quillet-" + std::to_string(::getuid());
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return std::nullopt;
    struct stat st {};
    // lstat: a symlink planted by someone else is not our directory.
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0)
        return std::nullopt;
    return dir;
}

std::string instanceSocketPath(const std::string& directory) {
    return directory + "/instance.sock";
}

std::optional<std::string> sendInstanceRequest(const std::string& socketPath,
                                               const InstanceRequest& request, int timeoutMs) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path)
        return std::nullopt;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return std::nullopt;
    if (!peerIsThisUser(fd))
        return std::nullopt;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto remaining = [&] {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<long long>(0, left.count()));
    };

    std::string out = encodeInstanceRequest(request);
    std::size_t sent = 0;
    while (sent < out.size()) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, remaining()) <= 0)
            return std::nullopt;
        ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        sent += static_cast<std::size_t>(n);
    }

    std::string reply;
    char buf[4096];
    for (;;) {
        auto nl = reply.find('\n');
        if (nl != std::string::npos)
            return reply.substr(0, nl);
        if (reply.size() > maxReply)
            return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, remaining());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        reply.append(buf, static_cast<std::size_t>(n));
    }
}

// --- InstanceLock ---

InstanceLock::~InstanceLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool InstanceLock::acquire() {
    if (fd_ >= 0)
        return true;
    std::string path = directory_ + "/instance.lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0)
        (void)!::pwrite(fd, pid.data(), pid.size(), 0);
    fd_ = fd;
    return true;
}

std::optional<std::int32_t> InstanceLock::ownerPID() const {
    if (fd_ >= 0)
        return static_cast<std::int32_t>(::getpid());
    std::string path = directory_ + "/instance.lock";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    char buf[32] = {};
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0)
        return std::nullopt;
    char* end = nullptr;
    long v = std::strtol(buf, &end, 10);
    if (end == buf || v <= 0 || v > 4194304)
        return std::nullopt;
    return static_cast<std::int32_t>(v);
}

// --- InstanceServer ---

InstanceServer::InstanceServer(Handler handler) : handler_(std::move(handler)) {}

InstanceServer::~InstanceServer() = default;

bool InstanceServer::listen(const std::string& socketPath, std::string* error) {
    if (!server_) {
        server_ = new QLocalServer(this);
        server_->setSocketOptions(QLocalServer::UserAccessOption);
        server_->setMaxPendingConnections(16);
        connect(server_, &QLocalServer::newConnection, this, [this] { accept(); });
    }
    // We hold the lock, so a socket file left here belongs to a process that is gone.
    QLocalServer::removeServer(QString::fromStdString(socketPath));
    if (!server_->listen(QString::fromStdString(socketPath))) {
        if (error)
            *error = server_->errorString().toStdString();
        return false;
    }
    return true;
}

void InstanceServer::accept() {
    while (auto* socket = server_->nextPendingConnection()) {
        if (!peerIsThisUser(static_cast<int>(socket->socketDescriptor()))) {
            drop(socket);
            continue;
        }
        socket->setReadBufferSize(static_cast<qint64>(maxInstanceMessage) + 1);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // The deadline timer belongs to the socket and dies with it.
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, this, [this, socket] { drop(socket); });
        deadline->start(requestDeadlineMs);
        // Data may already be waiting.
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

void InstanceServer::readFrom(QLocalSocket* socket) {
    auto pending = socket->property("quilletPending").toByteArray();
    pending += socket->readAll();
    const auto nl = pending.indexOf('\n');
    if (nl < 0) {
        if (static_cast<std::size_t>(pending.size()) >= maxInstanceMessage)
            drop(socket);
        else
            socket->setProperty("quilletPending", pending);
        return;
    }
    // One request per connection: anything after the first line is ignored.
    std::string_view line(pending.constData(), static_cast<std::size_t>(nl));
    auto request = parseInstanceRequest(line);
    if (!request) {
        drop(socket);
        return;
    }
    socket->setProperty("quilletPending", QByteArray());
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    if (auto* deadline = socket->findChild<QTimer*>())
        deadline->stop();
    std::string reply = handler_(*request);
    reply += '\n';
    socket->write(reply.data(), static_cast<qint64>(reply.size()));
    socket->disconnectFromServer(); // flushes first
}

void InstanceServer::drop(QLocalSocket* socket) {
    ++dropped_;
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
}

} // namespace desktop
