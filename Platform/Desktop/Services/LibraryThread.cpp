#include "Platform/Desktop/Services/LibraryThread.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Platform/Log.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <exception>
#include <mutex>
#include <thread>
#include <typeinfo>

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

// The readable name of a type, as the compiler spells it in source.
std::string typeName(const std::type_info* type) {
    if (!type)
        return "an unknown type";
    int status = 0;
    char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : type->name();
    std::free(demangled);
    return name;
}

// The escaped exception's type: what() is never looked at, since it may quote a server.
std::string escapedExceptionLine() {
    return "library task failed: a handler let an exception of type " +
           typeName(abi::__cxa_current_exception_type()) + " escape (its message is not logged)";
}

void logThroughHost(const std::string& line) {
    if (!platform::hasHost()) {
        std::fprintf(stderr, "quillet: %s\n", line.c_str());
        return;
    }
    const auto& bundle = platform::host().mainBundle();
    platform::Logger(bundle.bundleIdentifier.value_or("com.corvane.quillet"), "library")
        .error(line);
}

} // namespace

struct LibraryThread::Impl {
    explicit Impl(Report r) : report(r ? std::move(r) : Report(logThroughHost)) {}

    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    std::thread thread;
    // Set once, before the object is handed out, and never changed: isCurrent() reads it while
    // another thread may be joining `thread`.
    std::thread::id threadID;
    Report report;
    std::mutex stopMutex;
    bool stopped = false;
    std::once_flag joined;

    void run() {
        // A handler that throws must not take the library down with it.
        for (;;) {
            try {
                io.run();
                return;
            } catch (...) {
                report(escapedExceptionLine());
            }
        }
    }
};

LibraryThread::LibraryThread(Report report) : impl_(std::make_unique<Impl>(std::move(report))) {
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
    impl_->threadID = impl_->thread.get_id();
}

LibraryThread::~LibraryThread() {
    stop();
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
    {
        // Only the stop itself is under the lock: a handler on the library thread may call
        // stop() while another thread waits for that very handler in the join below.
        std::lock_guard lock(impl_->stopMutex);
        if (!impl_->stopped) {
            impl_->stopped = true;
            impl_->work.reset();
            impl_->io.stop();
        }
    }
    if (isCurrent())
        return;
    // One caller joins; any other waits here until that join has finished.
    std::call_once(impl_->joined, [this] {
        if (impl_->thread.joinable())
            impl_->thread.join();
    });
}

bool LibraryThread::isCurrent() const {
    return std::this_thread::get_id() == impl_->threadID;
}

} // namespace desktop
