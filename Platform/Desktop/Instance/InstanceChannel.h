// The single-instance channel: a local socket in a user-only directory under
// $XDG_RUNTIME_DIR, owned by the running instance (which holds a lock file beside it). Others
// send one JSON request line and read one JSON reply line: activate, open URLs, report the
// status, toggle. Malformed, oversized or foreign-user requests are dropped unanswered.
// The server lives on the main thread; the client functions block and need no Qt.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QLocalServer;
class QLocalSocket;

namespace desktop {

struct InstanceRequest {
    enum class Command { ping, activate, open, status, toggle, post };
    Command command = Command::ping;
    std::vector<std::string> urls; // open only
    // post only: the name of a notification the program lets the command line post.
    std::string name = {};
    bool operator==(const InstanceRequest&) const = default;
};

inline constexpr std::size_t maxInstanceURLs = 32;
inline constexpr std::size_t maxInstanceNotificationName = 128;
inline constexpr std::size_t maxInstanceURLLength = 8192;
// Requests are at most this many bytes, newline included: room for the largest request a
// client may send, every URL at its longest and every byte of it escaped.
inline constexpr std::size_t maxInstanceMessage = 1024 * 1024;
static_assert(maxInstanceURLs * (2 * maxInstanceURLLength + 3) + 64 <= maxInstanceMessage);

// Parses one request line (without its newline); none when malformed.
std::optional<InstanceRequest> parseInstanceRequest(std::string_view line);
// The request line, newline included.
std::string encodeInstanceRequest(const InstanceRequest& request);
// True for "scheme:rest" with a valid scheme, in UTF-8, without control characters or spaces.
bool isAcceptableURL(std::string_view url);

// The directory holding the socket and the lock: $XDG_RUNTIME_DIR/quillet, or
// /tmp/quillet-<uid> without a runtime directory. Created with mode 0700; none when it exists
// but is not a directory of this user with user-only permissions.
std::optional<std::string> instanceDirectory();
std::string instanceSocketPath(const std::string& directory);

// Sends one request and returns the reply line; none when no instance answers within
// `timeoutMs` milliseconds (in total).
std::optional<std::string> sendInstanceRequest(const std::string& socketPath,
                                               const InstanceRequest& request,
                                               int timeoutMs = 3000);

// The lock that makes one process the running instance. acquire() takes it without waiting
// and writes this process's pid into it; when another process holds it, ownerPID() reads the
// holder's pid.
class InstanceLock {
public:
    explicit InstanceLock(std::string directory) : directory_(std::move(directory)) {}
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    bool acquire();
    bool isHeld() const { return fd_ >= 0; }
    std::optional<std::int32_t> ownerPID() const;

private:
    std::string directory_;
    int fd_ = -1;
};

// Answers requests of other processes on the main thread.
class InstanceServer final : public QObject {
public:
    // Returns the reply line (without newline) for a valid request.
    using Handler = std::function<std::string(const InstanceRequest&)>;

    explicit InstanceServer(Handler handler);
    ~InstanceServer() override;

    // Listens at `socketPath`, replacing a stale socket file. Call only while holding the lock.
    bool listen(const std::string& socketPath, std::string* error);
    std::size_t droppedRequests() const { return dropped_; }

private:
    void accept();
    void readFrom(QLocalSocket* socket);
    void drop(QLocalSocket* socket);

    Handler handler_;
    QLocalServer* server_ = nullptr;
    std::size_t dropped_ = 0;
};

} // namespace desktop
