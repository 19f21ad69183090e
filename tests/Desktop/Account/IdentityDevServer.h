// Starts tools/identity-dev on 127.0.0.1 for one test and stops it afterwards; its stderr (the
// service's check log) goes to a file the test can read.
#pragma once

#include <string>
#include <vector>

namespace identity_dev {

class Server {
public:
    // Whether node and the service's packages are installed.
    static bool available();
    explicit Server(const std::vector<std::string>& extraArguments = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool running() const { return !baseURL_.empty(); }
    // "http://127.0.0.1:<port>", without a trailing slash.
    const std::string& baseURL() const { return baseURL_; }
    // Everything the service wrote to stderr so far.
    std::string log() const;

private:
    int pid_ = -1;
    std::string baseURL_;
    std::string logPath_;
};

} // namespace identity_dev
