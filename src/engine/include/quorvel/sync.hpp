#pragma once

// Blocking primitives for handing work between two threads in a few hundred nanoseconds.
//
// A futex wake costs tens of microseconds, while a thread that is still spinning notices a
// store in well under one. So every blocking operation here spins for a short while first
// and only then parks the thread in the kernel; a thread that waits for a long time costs
// nothing. No primitive here knows about Python.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace quorvel::sync {

using Clock = std::chrono::steady_clock;

// Identifies the calling thread. Unique among live threads and never 0.
std::uintptr_t currentThreadToken() noexcept;

// One step of a busy wait: tells the CPU that we are spinning.
void cpuRelax() noexcept;

// Parks the calling thread while `word` holds `expected`, at most until `deadline` (none:
// without limit). May return early or spuriously: callers re-check their own condition.
// Returns false only when the deadline has passed.
bool park(std::atomic<std::uint32_t>& word, std::uint32_t expected,
          const Clock::time_point* deadline = nullptr) noexcept;
// Wakes threads parked on `word` (after the caller has changed it).
void unparkOne(std::atomic<std::uint32_t>& word) noexcept;
void unparkAll(std::atomic<std::uint32_t>& word) noexcept;

// How long a thread waits actively (spinning, then yielding) before it parks. Long enough to
// cover a command round trip between two running threads, short enough that an idle tree
// costs nothing measurable.
inline constexpr std::chrono::nanoseconds kLockSpin{20'000};
inline constexpr std::chrono::nanoseconds kWaitSpin{60'000};

// A plain mutual-exclusion lock (not re-entrant). Unlocking never blocks.
class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    bool tryLock() noexcept;
    void lock() noexcept;
    bool lockUntil(Clock::time_point deadline) noexcept;  // false: deadline passed
    void unlock() noexcept;

private:
    bool lockSlow(const Clock::time_point* deadline) noexcept;
    // 0 free, 1 held, 2 held and someone may be parked.
    std::atomic<std::uint32_t> state_{0};
    std::atomic<std::uint32_t> spinHint_{2000};  // how long spinning on the CPU pays, in ns
};

// A first-come first-served lock: threads get it in the order they asked for it, so two
// threads that keep asking cannot starve a third. Unlocking hands the lock straight to the
// oldest waiter. A waiter may give up at a deadline and leave the queue.
class FairMutex {
public:
    FairMutex() = default;
    FairMutex(const FairMutex&) = delete;
    FairMutex& operator=(const FairMutex&) = delete;

    bool tryLock() noexcept;
    void lock() noexcept { lockUntil(nullptr); }
    bool lockUntil(const Clock::time_point* deadline) noexcept;  // false: deadline passed
    void unlock() noexcept;

private:
    struct Waiter;
    Mutex guard_;  // protects the fields below, held only for a few instructions
    bool held_ = false;
    Waiter* head_ = nullptr;
    Waiter* tail_ = nullptr;
    std::atomic<std::uint32_t> spinHint_{2000};
};

// A flag that opens once and stays open; waiting for it is cheap after it opened.
class Gate {
public:
    bool isOpen() const noexcept { return open_.load(std::memory_order_acquire) != 0; }
    void open() noexcept;
    void wait() noexcept;

private:
    std::atomic<std::uint32_t> open_{0};
};

// A re-entrant lock with wait and notify, in the manner of a monitor: the thread that holds
// the lock may acquire it again, wait (which gives up every level of the lock until it is
// woken) and wake waiters in the order in which they began to wait.
class Condition {
public:
    Condition() = default;
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    bool isOwned() const noexcept;  // held by the calling thread

    bool tryAcquire() noexcept;
    void acquire() noexcept;
    bool acquireUntil(Clock::time_point deadline) noexcept;
    // The caller must hold the lock; gives up one level.
    void release() noexcept;

    // The caller must hold the lock. Returns true when woken by notify, false when the
    // deadline (if any) passed first. Either way the lock is held again, at the same depth.
    bool wait(const Clock::time_point* deadline = nullptr) noexcept;
    // The caller must hold the lock. Wake up to n waiters, oldest first; returns how many.
    std::size_t notify(std::size_t n = 1) noexcept;
    std::size_t notifyAll() noexcept;

    std::size_t waiterCount() const noexcept { return waiters_; }  // the holder only
    std::uint32_t depth() const noexcept { return depth_; }        // the holder only

    // Waiting for a notify without joining the queue, for a thread that must be able to
    // stop waiting while somebody else holds the lock for long. The holder calls
    // releaseForWatch (which gives up every level of the lock and says how many notifies
    // have happened), then watch() until a later notify, then reacquire().
    std::uint32_t releaseForWatch(std::uint32_t* depth) noexcept;
    bool watch(std::uint32_t seen, const Clock::time_point* deadline = nullptr) noexcept;  // false: deadline
    bool tryReacquire(std::uint32_t depth) noexcept;
    void reacquire(std::uint32_t depth) noexcept { relock(depth); }

private:
    struct Waiter;
    void relock(std::uint32_t depth) noexcept;
    void unlink(Waiter* w) noexcept;

    Mutex mutex_;
    std::atomic<std::uintptr_t> owner_{0};
    std::uint32_t depth_ = 0;
    // Intrusive FIFO of waiting threads, guarded by the lock itself.
    Waiter* head_ = nullptr;
    Waiter* tail_ = nullptr;
    std::size_t waiters_ = 0;
    // Every notify counts here; watchers wait for the count to move.
    alignas(64) std::atomic<std::uint32_t> notifies_{0};
    std::atomic<std::uint32_t> parkedWatchers_{0};
    std::atomic<std::uint32_t> spinHint_{2000};
};

}  // namespace quorvel::sync
