// A published property of an observable object: the value plus a signal that fires before
// every change, with the new value. Shared by both hosts; main thread only.
#pragma once

#include <boost/signals2/signal.hpp>
#include <utility>

namespace platform {

template <class T> class Published {
public:
    Published() = default;
    explicit Published(T value) : value_(std::move(value)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& get() const { return value_; }
    operator const T&() const { return value_; }

    // Announces the change, then stores the value.
    void set(T value) {
        willChange(value);
        value_ = std::move(value);
    }

    // Observers connect through a const reference: observing does not change the value.
    mutable boost::signals2::signal<void(const T& newValue)> willChange;

private:
    T value_{};
};

} // namespace platform
