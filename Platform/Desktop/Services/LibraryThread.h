// The account library's runtime on the desktop: one io_context run by one library thread; its
// timers fire there. stop() ends the thread (work still queued is dropped) and must run before
// the Qt loop goes. executor(), scheduleTimer(), stop() and isCurrent() may be called from any
// thread.
#pragma once

#include "Platform/Async.h"

#include <functional>
#include <memory>
#include <string>

namespace desktop {

class LibraryThread final : public platform::LibraryRuntime {
public:
    // Receives the line logged when a handler lets an exception escape. The line names the
    // exception's type only: its text may quote a server's answer.
    using Report = std::function<void(const std::string&)>;

    // Starts the thread. Without `report`, escaped exceptions go to the installed host's log
    // (category "library"), or to stderr when no host is installed.
    explicit LibraryThread(Report report = {});
    // Stops the thread if stop() was not called.
    ~LibraryThread() override;
    LibraryThread(const LibraryThread&) = delete;
    LibraryThread& operator=(const LibraryThread&) = delete;

    boost::asio::any_io_executor executor() override;
    std::shared_ptr<platform::Timer> scheduleTimer(double seconds,
                                                   std::function<void()> block) override;

    // Stops the io_context and joins the thread; idempotent, and safe from several threads at
    // once (each returns once the thread has ended). Called on the library thread itself it
    // only stops the loop (the owner joins later).
    void stop();
    // Whether the caller runs on the library thread.
    bool isCurrent() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace desktop
