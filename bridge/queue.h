// The callback queue of a handle: pending events from the API's threads to the thread that polls.
// Plain C++ with no interpreter types, so that it can run (and be checked) without Python.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#if defined(__linux__)
#include <sys/eventfd.h>
#include <unistd.h>
#endif

namespace kestro {

inline constexpr std::size_t QUEUE_CAPACITY = 32768;

// A descriptor that becomes readable when the queue gains events, for an event loop to watch.
// An eventfd on Linux; elsewhere, or when the system has no descriptor to spare, there is none (-1)
// and the poller falls back to polling on a timer.
class Signal {
public:
    Signal() noexcept {
#if defined(__linux__)
        fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#endif
    }
    ~Signal() {
#if defined(__linux__)
        if (fd_ >= 0) ::close(fd_);
#endif
    }
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    int fd() const noexcept { return fd_; }

    // Makes the descriptor readable. A full counter (never reached in practice) already reads as raised.
    void raise() const noexcept {
#if defined(__linux__)
        if (fd_ < 0) return;
        const std::uint64_t one = 1;
        while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
#endif
    }

    // Resets the descriptor; true when it was raised.
    bool clear() const noexcept {
#if defined(__linux__)
        if (fd_ < 0) return false;
        std::uint64_t count;
        ssize_t n;
        while ((n = ::read(fd_, &count, sizeof count)) < 0 && errno == EINTR) {
        }
        return n == static_cast<ssize_t>(sizeof count);
#else
        return false;
#endif
    }

private:
    int fd_ = -1;
};

// First in, first out, at most QUEUE_CAPACITY pending events. An event that cannot be queued (the queue
// is full, or memory ran out) is lost and marks the queue overflowed for good: from then on `take` refuses.
// The signal is raised when an event goes into an empty queue, after the lock is released, so a burst
// costs one write. A poller that resets the signal before each `take` never misses an event: whatever
// arrives after a `take` finds the queue empty and raises the signal again.
template <class Event>
class EventQueue {
public:
    // The callback side: queues the event that `make()` builds. Nothing escapes to the caller's thread.
    template <class Make>
    void post(Make&& make) noexcept {
        try {
            push(make());
        } catch (...) {
            lose();
        }
    }

    // The polling side: moves every pending event, in order, into `out` (empty). False when the queue
    // overflowed; it is then left as it is.
    bool take(std::deque<Event>& out) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        if (overflowed_) return false;
        out.swap(queue_);
        return true;
    }

    // The readiness descriptor, -1 when there is none.
    int fileno() const noexcept { return signal_.fd(); }
    const Signal& signal() const noexcept { return signal_; }

private:
    void push(Event&& event) noexcept {
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.size() >= QUEUE_CAPACITY) {
                overflowed_ = true;
            } else {
                try {
                    queue_.push_back(std::move(event));
                    first = queue_.size() == 1;
                } catch (...) {
                    overflowed_ = true;
                }
            }
        }
        // A lost event is destroyed by the caller, outside the lock.
        if (first) signal_.raise();
    }

    // Overflow with an empty queue would go unseen until the next timed poll: say so at once.
    void lose() noexcept {
        bool empty;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            overflowed_ = true;
            empty = queue_.empty();
        }
        if (empty) signal_.raise();
    }

    std::mutex mutex_;
    std::deque<Event> queue_;
    bool overflowed_ = false;
    Signal signal_;
};

}  // namespace kestro
