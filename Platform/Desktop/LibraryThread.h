// The account library's runtime on the desktop: one io_context run by one library thread; its
// timers fire there. stop() ends the thread (work still queued is dropped) and must run before
// the Qt loop goes. executor() and scheduleTimer() may be called from any thread.
#pragma once

#include "Platform/Async.h"

#include <memory>

namespace desktop {

class LibraryThread final : public platform::LibraryRuntime {
public:
    // Starts the thread.
    LibraryThread();
    // Stops the thread if stop() was not called.
    ~LibraryThread() override;
    LibraryThread(const LibraryThread&) = delete;
    LibraryThread& operator=(const LibraryThread&) = delete;

    boost::asio::any_io_executor executor() override;
    std::shared_ptr<platform::Timer> scheduleTimer(double seconds,
                                                   std::function<void()> block) override;

    // Stops the io_context and joins the thread; idempotent. Called on the library thread
    // itself it only stops the loop (the owner joins later).
    void stop();
    // Whether the caller runs on the library thread.
    bool isCurrent() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace desktop
