#include "quorvel/sync.hpp"

#include <algorithm>
#include <thread>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#else
#include <condition_variable>
#include <mutex>
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace quorvel::sync {

namespace {

// Spinning only pays when the thread we wait for can run at the same time.
const bool kCanSpin = std::thread::hardware_concurrency() != 1;
constexpr std::uint32_t kMinPureSpinNs = 500;
constexpr std::uint32_t kMaxPureSpinNs = 10'000;
// A yield that takes this long means another thread had our core: the machine is crowded.
constexpr std::chrono::nanoseconds kCrowdedYield{3'000};

// Busy-waits until done() holds or the budget is spent. For the first stretch it spins on
// the CPU, which is how a partner running on another core is noticed within nanoseconds;
// after that each round yields, so that on a crowded machine the partner (or anyone) can
// run on this core instead of watching us burn it. How long the first stretch lasts is
// learnt per object in `hint`: it grows while our partner answers soon after it, and drops
// to the minimum as soon as a yield shows that the cores are busy.
template <class Done>
bool spinUntil(Done done, std::chrono::nanoseconds budget, const Clock::time_point* deadline,
               std::atomic<std::uint32_t>& hint) {
    if (!kCanSpin) return done();
    const auto start = Clock::now();
    auto end = start + budget;
    if (deadline && *deadline < end) end = *deadline;
    const auto yieldFrom = start + std::chrono::nanoseconds(hint.load(std::memory_order_relaxed));
    bool yielded = false, crowded = false, ok = false;
    for (unsigned round = 1;; ++round) {
        if (done()) {
            ok = true;
            break;
        }
        if ((round & 15) == 0) {
            const auto now = Clock::now();
            if (now >= end) {
                ok = done();
                break;
            }
            if (now >= yieldFrom) {
                std::this_thread::yield();
                yielded = true;
                if (Clock::now() - now > kCrowdedYield) crowded = true;
                continue;
            }
        }
        cpuRelax();
    }
    if (crowded) {
        hint.store(kMinPureSpinNs, std::memory_order_relaxed);
    } else if (ok && yielded) {
        // Answered on another core, just later than we spun: spin a little longer next time.
        const auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
        const auto next = std::min<long long>(kMaxPureSpinNs, took + took / 2);
        if (next > hint.load(std::memory_order_relaxed)) hint.store(static_cast<std::uint32_t>(next), std::memory_order_relaxed);
    }
    return ok;
}

}  // namespace

std::uintptr_t currentThreadToken() noexcept {
    static thread_local char tag;
    return reinterpret_cast<std::uintptr_t>(&tag);
}

void cpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

#if defined(__linux__)

namespace {
long futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* ts,
           std::uint32_t mask) {
    // std::atomic<uint32_t> is a plain 32-bit word: the kernel may look at it directly.
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, ts, nullptr, mask);
}
}  // namespace

bool park(std::atomic<std::uint32_t>& word, std::uint32_t expected,
          const Clock::time_point* deadline) noexcept {
    if (!deadline) {
        futex(word, FUTEX_WAIT_PRIVATE, expected, nullptr, 0);
        return true;
    }
    // steady_clock is CLOCK_MONOTONIC, which FUTEX_WAIT_BITSET takes as an absolute time.
    auto since = deadline->time_since_epoch();
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(since);
    if (secs.count() < 0) return false;
    timespec ts;
    ts.tv_sec = static_cast<time_t>(secs.count());
    ts.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - secs).count());
    long r = futex(word, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected, &ts, FUTEX_BITSET_MATCH_ANY);
    return !(r == -1 && errno == ETIMEDOUT);
}

void unparkOne(std::atomic<std::uint32_t>& word) noexcept { futex(word, FUTEX_WAKE_PRIVATE, 1, nullptr, 0); }

void unparkAll(std::atomic<std::uint32_t>& word) noexcept {
    futex(word, FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr, 0);
}

#else

namespace {
struct Bucket {
    std::mutex mutex;
    std::condition_variable cv;
};
Bucket& bucketFor(const void* address) {
    static Bucket buckets[64];
    return buckets[(reinterpret_cast<std::uintptr_t>(address) >> 4) % 64];
}
}  // namespace

bool park(std::atomic<std::uint32_t>& word, std::uint32_t expected,
          const Clock::time_point* deadline) noexcept {
    Bucket& b = bucketFor(&word);
    std::unique_lock<std::mutex> lock(b.mutex);
    if (word.load(std::memory_order_acquire) != expected) return true;
    if (!deadline) {
        b.cv.wait(lock);
        return true;
    }
    return b.cv.wait_until(lock, *deadline) != std::cv_status::timeout;
}

void unparkOne(std::atomic<std::uint32_t>& word) noexcept { unparkAll(word); }

void unparkAll(std::atomic<std::uint32_t>& word) noexcept {
    Bucket& b = bucketFor(&word);
    { std::lock_guard<std::mutex> lock(b.mutex); }
    b.cv.notify_all();
}

#endif

// ---- Mutex ----

bool Mutex::tryLock() noexcept {
    std::uint32_t expected = 0;
    return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
}

void Mutex::lock() noexcept {
    if (!tryLock()) lockSlow(nullptr);
}

bool Mutex::lockUntil(Clock::time_point deadline) noexcept { return tryLock() || lockSlow(&deadline); }

bool Mutex::lockSlow(const Clock::time_point* deadline) noexcept {
    if (spinUntil([this] { return state_.load(std::memory_order_relaxed) == 0 && tryLock(); }, kLockSpin,
                  deadline, spinHint_))
        return true;
    // From here on the lock word says "someone may be parked", so every unlock wakes one.
    while (state_.exchange(2, std::memory_order_acquire) != 0) {
        if (!park(state_, 2, deadline)) return state_.exchange(2, std::memory_order_acquire) == 0;
    }
    return true;
}

void Mutex::unlock() noexcept {
    if (state_.exchange(0, std::memory_order_release) == 2) unparkOne(state_);
}

// ---- FairMutex ----

struct FairMutex::Waiter {
    std::atomic<std::uint32_t> granted{0};  // 0 waiting, 1 parked, 2 owns the lock
    Waiter* next = nullptr;
    Waiter* prev = nullptr;
};

bool FairMutex::tryLock() noexcept {
    guard_.lock();
    const bool got = !held_;
    held_ = true;
    guard_.unlock();
    return got;
}

bool FairMutex::lockUntil(const Clock::time_point* deadline) noexcept {
    guard_.lock();
    if (!held_) {
        held_ = true;
        guard_.unlock();
        return true;
    }
    Waiter w;
    w.prev = tail_;
    (tail_ ? tail_->next : head_) = &w;
    tail_ = &w;
    guard_.unlock();

    auto granted = [&w] { return w.granted.load(std::memory_order_acquire) == 2; };
    bool parked = false;
    if (!spinUntil(granted, kLockSpin, deadline, spinHint_)) {
        std::uint32_t expected = 0;
        if (w.granted.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
            parked = true;
            while (!granted()) {
                if (!park(w.granted, 1, deadline)) break;
            }
        }
    }
    if (granted()) {
        // unlock() may still be about to wake our node: let it finish before the node goes.
        if (parked) {
            guard_.lock();
            guard_.unlock();
        }
        return true;
    }
    // Timed out: leave the queue, unless unlock() handed us the lock meanwhile. unlock()
    // grants under the guard, so once we hold it the answer is final.
    guard_.lock();
    const bool got = granted();
    if (!got) {
        (w.prev ? w.prev->next : head_) = w.next;
        (w.next ? w.next->prev : tail_) = w.prev;
    }
    guard_.unlock();
    return got;
}

void FairMutex::unlock() noexcept {
    guard_.lock();
    Waiter* next = head_;
    if (!next) {
        held_ = false;
        guard_.unlock();
        return;
    }
    head_ = next->next;
    (head_ ? head_->prev : tail_) = nullptr;
    // The lock stays held: it passes to `next`. Its node lives until it has seen the grant,
    // and a timed-out owner of the node takes the guard first, so the node is valid here.
    if (next->granted.exchange(2, std::memory_order_acq_rel) == 1) unparkOne(next->granted);
    guard_.unlock();
}

// ---- Gate ----

void Gate::open() noexcept {
    open_.store(1, std::memory_order_release);
    unparkAll(open_);
}

void Gate::wait() noexcept {
    while (!isOpen()) park(open_, 0);
}

// ---- Condition ----

namespace {
constexpr std::uint32_t kWaiting = 0;    // spinning, not yet parked
constexpr std::uint32_t kParked = 1;     // asleep in the kernel (or about to be)
constexpr std::uint32_t kSignalled = 2;  // notified; no longer in the queue
}  // namespace

struct Condition::Waiter {
    std::atomic<std::uint32_t> state{kWaiting};
    Waiter* prev = nullptr;
    Waiter* next = nullptr;
};

bool Condition::isOwned() const noexcept {
    return owner_.load(std::memory_order_relaxed) == currentThreadToken();
}

bool Condition::tryAcquire() noexcept {
    const std::uintptr_t me = currentThreadToken();
    if (owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return true;
    }
    if (!mutex_.tryLock()) return false;
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
    return true;
}

void Condition::acquire() noexcept {
    const std::uintptr_t me = currentThreadToken();
    if (owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return;
    }
    mutex_.lock();
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
}

bool Condition::acquireUntil(Clock::time_point deadline) noexcept {
    const std::uintptr_t me = currentThreadToken();
    if (owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return true;
    }
    if (!mutex_.lockUntil(deadline)) return false;
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
    return true;
}

void Condition::release() noexcept {
    if (--depth_ != 0) return;
    owner_.store(0, std::memory_order_relaxed);
    mutex_.unlock();
}

void Condition::relock(std::uint32_t depth) noexcept {
    mutex_.lock();
    owner_.store(currentThreadToken(), std::memory_order_relaxed);
    depth_ = depth;
}

void Condition::unlink(Waiter* w) noexcept {
    (w->prev ? w->prev->next : head_) = w->next;
    (w->next ? w->next->prev : tail_) = w->prev;
    w->prev = w->next = nullptr;
    --waiters_;
}

bool Condition::wait(const Clock::time_point* deadline) noexcept {
    Waiter w;
    w.prev = tail_;
    (tail_ ? tail_->next : head_) = &w;
    tail_ = &w;
    ++waiters_;

    const std::uint32_t depth = depth_;
    depth_ = 0;
    owner_.store(0, std::memory_order_relaxed);
    mutex_.unlock();

    auto signalled = [&w] { return w.state.load(std::memory_order_acquire) == kSignalled; };
    bool woken = spinUntil(signalled, kWaitSpin, deadline, spinHint_);
    if (!woken) {
        std::uint32_t expected = kWaiting;
        if (w.state.compare_exchange_strong(expected, kParked, std::memory_order_acq_rel)) {
            while (!signalled()) {
                if (!park(w.state, kParked, deadline)) break;
            }
        }
        woken = signalled();
    }

    // A notifier wakes us while holding the lock, so our node stays valid until we have
    // taken the lock back; only then may a timed-out waiter leave the queue.
    relock(depth);
    if (!woken) {
        if (signalled())
            woken = true;  // notified between the time-out and the relock: the notifier unlinked us
        else
            unlink(&w);
    }
    return woken;
}

std::size_t Condition::notify(std::size_t n) noexcept {
    // Watchers see every notify; both sides use sequentially consistent operations, so a
    // watcher about to park either sees the new count or is seen here.
    notifies_.fetch_add(1, std::memory_order_seq_cst);
    if (parkedWatchers_.load(std::memory_order_seq_cst) != 0) unparkAll(notifies_);
    std::size_t woken = 0;
    while (woken < n && head_) {
        Waiter* w = head_;
        unlink(w);
        if (w->state.exchange(kSignalled, std::memory_order_acq_rel) == kParked) unparkOne(w->state);
        ++woken;
    }
    return woken;
}

std::size_t Condition::notifyAll() noexcept { return notify(static_cast<std::size_t>(-1)); }

std::uint32_t Condition::releaseForWatch(std::uint32_t* depth) noexcept {
    const std::uint32_t seen = notifies_.load(std::memory_order_seq_cst);
    *depth = depth_;
    depth_ = 0;
    owner_.store(0, std::memory_order_relaxed);
    mutex_.unlock();
    return seen;
}

bool Condition::watch(std::uint32_t seen, const Clock::time_point* deadline) noexcept {
    auto moved = [&] { return notifies_.load(std::memory_order_acquire) != seen; };
    if (spinUntil(moved, kWaitSpin, deadline, spinHint_)) return true;
    parkedWatchers_.fetch_add(1, std::memory_order_seq_cst);
    bool result = true;
    while (notifies_.load(std::memory_order_seq_cst) == seen) {
        if (!park(notifies_, seen, deadline)) {
            result = moved();
            break;
        }
    }
    parkedWatchers_.fetch_sub(1, std::memory_order_relaxed);
    return result;
}

bool Condition::tryReacquire(std::uint32_t depth) noexcept {
    if (!mutex_.tryLock()) return false;
    owner_.store(currentThreadToken(), std::memory_order_relaxed);
    depth_ = depth;
    return true;
}

}  // namespace quorvel::sync
