#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace quorvel {

using Clock = std::chrono::steady_clock;

// Lets a tree that is RUNNING only because something is waiting sleep until that wait
// can end, instead of spinning. Timers (Sleep, Delay, Timeout) ask to be woken at a
// deadline during a tick; asynchronous work finishing on another thread calls notify().
// A RUNNING leaf that gives no reason asks for an immediate re-tick.
//
// A tree's signal is shared (Tree makes it with make_shared): whoever may wake the tree from
// elsewhere keeps a weak_ptr (weak_from_this()), which stops working when the tree is gone.
class WakeSignal : public std::enable_shared_from_this<WakeSignal> {
public:
    // Called during a tick, on the tree's thread.
    void requestWakeAt(Clock::time_point deadline);
    void requestImmediate();
    // The tree waits for asynchronous work that will call notify() when done; with
    // no deadline requested as well, the wait has no time limit.
    void requestWaitForNotify();

    // Any thread: something the tree waits for has changed.
    void notify();

    // Called on the tree's thread between ticks: returns at once when an immediate
    // re-tick was requested (or nothing was requested at all), otherwise sleeps until
    // the earliest requested deadline or a notify(). Clears the requests either way.
    void waitBetweenTicks();

    // Called on the tree's thread after a tick that finished with a status the caller does
    // not wait for, before ticking again. Nothing in such a tree need change soon, so
    // re-ticking at once would only burn a core: sleeps up to `pause`, or until an earlier
    // requested deadline or a notify(). Returns false without sleeping when a node asked
    // for an immediate re-tick (or a deadline already due). Clears the requests.
    bool waitBeforeRetry(Clock::duration pause);

    // Forget the requests of the previous tick (called before each tick).
    void beginTick();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool notified_ = false;
    bool immediate_ = false;
    bool has_deadline_ = false;
    bool wait_for_notify_ = false;
    Clock::time_point deadline_{};
};

// The pause between re-ticks of a tree that keeps finishing with the status nobody waits
// for: it starts short, so a tree about to change is not kept waiting, and doubles up to
// kLongest, so a tree that never changes costs a few hundred wake-ups a second.
class RetryBackoff {
public:
    static constexpr Clock::duration kShortest = std::chrono::microseconds(100);
    static constexpr Clock::duration kLongest = std::chrono::milliseconds(10);

    Clock::duration pause() const { return pause_; }
    void grow() { pause_ = pause_ * 2 < kLongest ? pause_ * 2 : kLongest; }
    void reset() { pause_ = kShortest; }

private:
    Clock::duration pause_ = kShortest;
};

}  // namespace quorvel
