#include "Platform/Desktop/LibraryThread.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

namespace desktop {

namespace asio = boost::asio;

namespace {

// A one-shot timer on the library thread. Its block and its asio timer are touched only there;
// invalidate() may come from any thread.
class LibraryTimer final : public platform::Timer,
                           public std::enable_shared_from_this<LibraryTimer> {
public:
    LibraryTimer(asio::io_context& io, double seconds, std::function<void()> block)
        : timer_(io), seconds_(seconds), block_(std::move(block)) {}

    void arm() {
        const double s = std::isfinite(seconds_) && seconds_ > 0 ? seconds_ : 0;
        timer_.expires_after(std::chrono::duration_cast<asio::steady_timer::duration>(
            std::chrono::duration<double>(s)));
        timer_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
            if (ec || !self->valid_.exchange(false)) {
                self->block_ = nullptr;
                return;
            }
            auto block = std::move(self->block_);
            self->block_ = nullptr;
            if (block)
                block();
        });
    }

    void invalidate() override {
        if (!valid_.exchange(false))
            return;
        asio::post(timer_.get_executor(), [self = shared_from_this()] {
            self->timer_.cancel();
            self->block_ = nullptr; // releases whatever the block captured
        });
    }
    bool isValid() const override { return valid_.load(); }
    double interval() const override { return seconds_; }

private:
    asio::steady_timer timer_;
    double seconds_;
    std::function<void()> block_;
    std::atomic<bool> valid_{true};
};

} // namespace

struct LibraryThread::Impl {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    std::thread thread;
    std::mutex stopMutex;
    bool stopped = false;

    void run() {
        // A handler that throws must not take the library down with it.
        for (;;) {
            try {
                io.run();
                return;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "quillet: library task failed: %s\n", e.what());
            } catch (...) {
                std::fputs("quillet: library task failed\n", stderr);
            }
        }
    }
};

LibraryThread::LibraryThread() : impl_(std::make_unique<Impl>()) {
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

LibraryThread::~LibraryThread() {
    stop();
    if (impl_->thread.joinable())
        impl_->thread.join();
}

boost::asio::any_io_executor LibraryThread::executor() {
    return impl_->io.get_executor();
}

std::shared_ptr<platform::Timer> LibraryThread::scheduleTimer(double seconds,
                                                              std::function<void()> block) {
    auto timer = std::make_shared<LibraryTimer>(impl_->io, seconds, std::move(block));
    // Arming happens on the library thread: the asio timer is only ever touched there.
    asio::post(impl_->io, [timer] { timer->arm(); });
    return timer;
}

void LibraryThread::stop() {
    std::lock_guard lock(impl_->stopMutex);
    if (!impl_->stopped) {
        impl_->stopped = true;
        impl_->work.reset();
        impl_->io.stop();
    }
    if (!isCurrent() && impl_->thread.joinable())
        impl_->thread.join();
}

bool LibraryThread::isCurrent() const {
    return std::this_thread::get_id() == impl_->thread.get_id();
}

} // namespace desktop
