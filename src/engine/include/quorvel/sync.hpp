#pragma once

// Primitives for handing a command from one thread to another and back.
//
// Two running threads that spin on a shared word notice each other's store in well under a
// microsecond, while waking a parked thread costs tens. But a thread that spins while the
// thread it waits for has no core only delays that thread. So a waiter spins for a bounded
// time, and only while the machine has a core to spare; otherwise it parks at once, and the
// kernel's wake-up of a sleeper is as fast as that of any other design. No Python here.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

namespace quorvel::sync {

using Clock = std::chrono::steady_clock;
using Word = std::atomic<std::uint32_t>;

// Identifies the calling thread: unique among live threads, never 0.
std::uintptr_t threadToken() noexcept;

// Parks while `word` holds `seen`, at most until `deadline` (none: no limit). May return
// early or spuriously; false only when the deadline has passed.
bool park(Word& word, std::uint32_t seen, const Clock::time_point* deadline) noexcept;
void unparkAll(Word& word) noexcept;

// Whether spinning can pay right now: there is more than one core, and no more threads
// want to run than there are cores. Sampled at most every few milliseconds, process-wide.
bool spinningPays() noexcept;
// How long a waiter spins before it parks, when spinning pays: longer than a command round
// trip between two running threads, short enough that an idle tree costs nothing.
inline constexpr std::chrono::nanoseconds kSpin{50'000};

// A word that changes whenever something waiters care about may have changed, with a count
// of the threads parked on it, so that a change nobody sleeps through costs no system call.
class Event {
public:
    std::uint32_t value() const noexcept { return word_.load(); }
    // Changes the word and wakes every sleeper (after the caller changed what they watch).
    // True when it woke one that had been asleep for long (a millisecond or more).
    bool signal() noexcept;
    // Waits until `ready()` holds, which the caller makes true only together with a signal():
    // spins while that pays, then parks. False when the deadline passed first. A thread that
    // has just woken a long sleeper, the one it waits for, does better not to spin: the
    // kernel likes to run the woken thread on the waker's core, where it would queue behind
    // the spinning. (After a short sleep, spinning is how two threads get back in step.)
    template <class Ready>
    bool waitFor(Ready&& ready, const Clock::time_point* deadline, bool spin = true);
    void reset() noexcept { sleepers_.store(0); }

private:
    Word word_{0};
    std::atomic<std::uint32_t> sleepers_{0};
    std::atomic<std::int64_t> sleptAt_{0};  // when the latest sleeper went to sleep
};

// A re-entrant lock. The owner and depth are read by the holder only, except owner(),
// which any thread may read to learn that it is not the holder.
class Lock {
public:
    bool owned() const noexcept { return owner_.load(std::memory_order_relaxed) == threadToken(); }
    std::uint32_t depth() const noexcept { return depth_; }
    bool tryAcquire() noexcept;              // also re-entrant
    bool acquireUntil(const Clock::time_point* deadline) noexcept;
    void release() noexcept;                 // one level; the caller holds it
    std::uint32_t releaseAll() noexcept;     // every level; returns the depth
    void restore(std::uint32_t depth) noexcept;  // after acquireUntil for a releaseAll
    void reset() noexcept;                   // in a forked child, where the holder is gone

private:
    bool grab() noexcept;
    Word state_{0};  // 0 free, 1 held, 2 held and somebody may be parked
    std::atomic<std::uintptr_t> owner_{0};
    std::uint32_t depth_ = 0;
};

// Takes turns first come, first served: every client draws a ticket and is served when the
// counter reaches it. A client that gives up while queued leaves its ticket behind, and the
// counter skips it.
class Turns {
public:
    std::uint32_t draw() noexcept;
    std::uint32_t serving() const noexcept { return serving_.load(); }
    bool isServing(std::uint32_t ticket) const noexcept { return serving_.load() == ticket; }
    // Signalled whenever the counter moves.
    Event& moved() noexcept { return moved_; }
    // The holder hands on to the next ticket not given up; returns that ticket.
    std::uint32_t pass() noexcept;
    // A queued client gives up; when its ticket came up meanwhile, the turn is passed on.
    void abandon(std::uint32_t ticket) noexcept;
    void reset() noexcept;

private:
    std::uint32_t advanceLocked() noexcept;
    std::mutex mutex_;
    std::uint32_t next_ = 0;
    std::vector<std::uint32_t> abandoned_;
    std::atomic<std::uint32_t> serving_{0};
    Event moved_;
};

// ---- implementation of the template ----

void cpuRelax() noexcept;

template <class Ready>
bool Event::waitFor(Ready&& ready, const Clock::time_point* deadline, bool spin) {
    if (ready()) return true;
    if (spin && spinningPays()) {
        auto end = Clock::now() + kSpin;
        if (deadline && *deadline < end) end = *deadline;
        for (unsigned round = 1;; ++round) {
            if (ready()) return true;
            if ((round & 63) == 0 && Clock::now() >= end) break;
            cpuRelax();
        }
    }
    for (;;) {
        const std::uint32_t seen = word_.load();
        if (ready()) return true;
        sleepers_.fetch_add(1);
        sleptAt_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        const bool inTime = park(word_, seen, deadline);
        sleepers_.fetch_sub(1);
        if (!inTime) return ready();
    }
}

}  // namespace quorvel::sync
