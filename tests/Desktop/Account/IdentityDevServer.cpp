#include "tests/Desktop/Account/IdentityDevServer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace identity_dev {

namespace {
const std::string serviceDir = std::string(QUILLET_SOURCE_DIR) + "/tools/identity-dev";
}

bool Server::available() {
    return std::system("command -v node >/dev/null 2>&1") == 0 &&
           access((serviceDir + "/node_modules/jose").c_str(), F_OK) == 0;
}

Server::Server(const std::vector<std::string>& extraArguments) {
    char logTemplate[] = "/tmp/identity-dev-log-XXXXXX";
    const int logFd = mkstemp(logTemplate);
    if (logFd < 0)
        return;
    logPath_ = logTemplate;
    int out[2];
    if (pipe(out) != 0) {
        close(logFd);
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(logFd, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        close(logFd);
        std::vector<std::string> args{"node", serviceDir + "/server.mjs", "--port", "0"};
        args.insert(args.end(), extraArguments.begin(), extraArguments.end());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp("node", argv.data());
        _exit(127);
    }
    close(out[1]);
    close(logFd);
    // The first line on stdout is the base URL.
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n')
        line.push_back(c);
    close(out[0]);
    if (line.rfind("http://127.0.0.1:", 0) == 0)
        baseURL_ = line;
}

Server::~Server() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (!logPath_.empty())
        std::remove(logPath_.c_str());
}

std::string Server::log() const {
    std::ifstream in(logPath_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace identity_dev
