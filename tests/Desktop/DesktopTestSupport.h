// Shared pieces of the desktop-host tests: a private temporary directory, an offscreen
// QApplication for the whole run, and a bounded wait that spins the Qt event loop.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <cstdlib>
#include <functional>
#include <string>
#include <unistd.h>

namespace desktop::test {

// A fresh directory, removed with its contents when the object goes.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/quillet-desktop-test-XXXXXX";
        char* made = ::mkdtemp(pattern);
        path_ = made ? made : "";
    }
    ~TempDir() {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string sub(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Processes Qt events until `done` holds or `timeoutMs` passes; returns `done()`.
inline bool spinUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    return done();
}

} // namespace desktop::test
