#include "Platform/Desktop/DesktopRunLoop.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <limits>

namespace desktop {

namespace {

// The longest interval a QTimer takes, in seconds.
constexpr double longestQtInterval = std::numeric_limits<int>::max() / 1000.0;

class DesktopTimer final : public platform::Timer {
public:
    DesktopTimer(QObject* parent, double seconds, double longestStep)
        : interval_(seconds), remaining_(seconds), longestStep_(longestStep) {
        auto* t = new QTimer(parent);
        t->setSingleShot(true);
        // Sub-second timers (hover, rehide) want their delay kept; long ones may be coalesced.
        t->setTimerType(seconds < 2 ? Qt::PreciseTimer : Qt::CoarseTimer);
        timer_ = t;
    }
    ~DesktopTimer() override = default;

    void arm(std::function<void()> block, const std::shared_ptr<DesktopTimer>& self) {
        // The QTimer keeps the block (and so this timer alive) until it fires or is
        // invalidated, as a run loop retains its timers whoever else holds them.
        std::weak_ptr<DesktopTimer> weakSelf = self;
        std::shared_ptr<DesktopTimer> keep = self;
        QObject::connect(timer_, &QTimer::timeout, timer_,
                         [this, keep, block = std::move(block)]() mutable {
                             // A long delay is waited in steps: only the last one fires.
                             if (remaining_ > 0) {
                                 startNextStep();
                                 return;
                             }
                             valid_ = false;
                             auto own = std::move(keep);
                             auto run = std::move(block);
                             timer_->deleteLater();
                             timer_ = nullptr;
                             run();
                         });
        startNextStep();
    }

    void invalidate() override {
        if (!valid_)
            return;
        valid_ = false;
        if (timer_) {
            timer_->stop();
            // Dropping the connection drops the block and the reference it held.
            QTimer* t = timer_;
            timer_ = nullptr;
            t->disconnect();
            t->deleteLater();
        }
    }
    bool isValid() const override { return valid_; }
    double interval() const override { return interval_; }

private:
    void startNextStep() {
        // Any delay up to 2^63 seconds and beyond: nothing here overflows an int.
        const double step = std::min(remaining_, longestStep_);
        remaining_ -= step;
        const double ms = std::clamp(std::ceil(step * 1000.0), 0.0,
                                     static_cast<double>(std::numeric_limits<int>::max()));
        timer_->start(static_cast<int>(ms));
    }

    double interval_;
    double remaining_;
    double longestStep_;
    bool valid_ = true;
    QPointer<QTimer> timer_;
};

} // namespace

DesktopRunLoop::DesktopRunLoop()
    : receiver_(std::make_unique<QObject>()), start_(std::chrono::steady_clock::now()),
      longestTimerStep_(longestQtInterval) {}

DesktopRunLoop::~DesktopRunLoop() {
    shutDown();
}

void DesktopRunLoop::post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    if (stopped_ || !receiver_)
        return;
    QMetaObject::invokeMethod(
        receiver_.get(), [work = std::move(work)] { work(); }, Qt::QueuedConnection);
}

std::shared_ptr<platform::Timer> DesktopRunLoop::scheduleTimer(double seconds,
                                                               std::function<void()> block) {
    if (!(seconds >= 0)) // also catches NaN
        seconds = 0;
    auto timer = std::make_shared<DesktopTimer>(
        receiver_.get(), seconds, std::clamp(longestTimerStep_, 0.001, longestQtInterval));
    if (!receiver_) {
        // The loop has shut down: the timer never fires.
        timer->invalidate();
        return timer;
    }
    timer->arm(std::move(block), timer);
    return timer;
}

double DesktopRunLoop::monotonicNow() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void DesktopRunLoop::shutDown() {
    std::unique_ptr<QObject> doomed;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        doomed = std::move(receiver_);
    }
    // Deleting the receiver removes its queued invocations and its timers with their blocks.
    doomed.reset();
}

} // namespace desktop
