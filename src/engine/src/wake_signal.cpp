#include "quorvel/wake_signal.hpp"

#include "quorvel/embedder_lock.hpp"

namespace quorvel {

void WakeSignal::beginTick() {
    std::lock_guard<std::mutex> lock(mutex_);
    immediate_ = false;
    has_deadline_ = false;
    wait_for_notify_ = false;
}

void WakeSignal::requestWakeAt(Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!has_deadline_ || deadline < deadline_) deadline_ = deadline;
    has_deadline_ = true;
}

void WakeSignal::requestImmediate() {
    std::lock_guard<std::mutex> lock(mutex_);
    immediate_ = true;
}

void WakeSignal::requestWaitForNotify() {
    std::lock_guard<std::mutex> lock(mutex_);
    wait_for_notify_ = true;
}

void WakeSignal::notify() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        notified_ = true;
    }
    cv_.notify_all();
}

void WakeSignal::waitBetweenTicks() {
    std::unique_lock<std::mutex> lock(mutex_);
    // A notify that arrived during the tick counts: the work it announces may have
    // finished after the node looked.
    if (!notified_ && !immediate_ && (has_deadline_ || wait_for_notify_)) {
        beforeBlocking();
        if (has_deadline_) {
            Clock::time_point deadline = deadline_;
            cv_.wait_until(lock, deadline, [&] { return notified_; });
        } else {
            cv_.wait(lock, [&] { return notified_; });
        }
    }
    notified_ = false;
    immediate_ = false;
    has_deadline_ = false;
    wait_for_notify_ = false;
}

bool WakeSignal::waitBeforeRetry(Clock::duration pause) {
    std::unique_lock<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    Clock::time_point until = now + pause;
    if (has_deadline_ && deadline_ < until) until = deadline_;
    const bool wait = !immediate_ && until > now;
    if (wait && !notified_) {
        beforeBlocking();
        cv_.wait_until(lock, until, [&] { return notified_; });
    }
    notified_ = false;
    immediate_ = false;
    has_deadline_ = false;
    wait_for_notify_ = false;
    return wait;
}

}  // namespace quorvel
