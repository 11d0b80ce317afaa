#include "quorvel/sync.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>

#if defined(__linux__)
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#else
#include <condition_variable>
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace quorvel::sync {

std::uintptr_t threadToken() noexcept {
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

bool park(Word& word, std::uint32_t seen, const Clock::time_point* deadline) noexcept {
    auto* address = reinterpret_cast<std::uint32_t*>(&word);  // a plain 32-bit word
    if (!deadline) {
        syscall(SYS_futex, address, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
        return true;
    }
    // steady_clock is CLOCK_MONOTONIC, which FUTEX_WAIT_BITSET takes as an absolute time.
    const auto since = deadline->time_since_epoch();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since);
    if (Clock::now() >= *deadline) return false;
    timespec ts{static_cast<time_t>(secs.count()),
                static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - secs).count())};
    const long r = syscall(SYS_futex, address, FUTEX_WAIT_BITSET_PRIVATE, seen, &ts, nullptr, FUTEX_BITSET_MATCH_ANY);
    return !(r == -1 && errno == ETIMEDOUT);
}

void unparkAll(Word& word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr, nullptr, 0);
}

namespace {
// The number of threads that want a core now, from the kernel's instantaneous count (the
// fourth field of /proc/loadavg, "running/total"); 0 when it cannot be read.
unsigned runnableThreads() noexcept {
    static const int fd = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    char buffer[128];
    const ssize_t n = fd < 0 ? -1 : ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) return 0;
    buffer[n] = '\0';
    const char* p = buffer;
    for (int field = 0; field < 3 && p; ++field) {
        p = std::strchr(p, ' ');
        if (p) ++p;
    }
    return p ? static_cast<unsigned>(std::strtoul(p, nullptr, 10)) : 0;
}
}  // namespace

bool spinningPays() noexcept {
    // The count is a snapshot: a kernel thread or a waking thread caught at the wrong moment
    // must not switch spinning off, so the decision follows an average over recent samples
    // (in sixteenths of a thread), of which a steady crowd moves it within a few milliseconds.
    static const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    static std::atomic<std::int64_t> sampledAt{0};
    static std::atomic<unsigned> average{16};
    if (cores == 1) return false;
    const std::int64_t now = Clock::now().time_since_epoch().count();
    std::int64_t last = sampledAt.load(std::memory_order_relaxed);
    if (now - last > 1'000'000 && sampledAt.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
        const unsigned runnable = runnableThreads();
        if (runnable != 0) {
            const unsigned before = average.load(std::memory_order_relaxed);
            average.store((before * 3 + runnable * 16) / 4, std::memory_order_relaxed);
        }
    }
    return average.load(std::memory_order_relaxed) <= cores * 16 + 8;
}

#else  // portable fallback: no futex, no load figure; waiters sleep in short slices

bool park(Word& word, std::uint32_t seen, const Clock::time_point* deadline) noexcept {
    const auto slice = Clock::now() + std::chrono::microseconds(200);
    if (word.load() == seen) std::this_thread::sleep_until(deadline && *deadline < slice ? *deadline : slice);
    return !deadline || Clock::now() < *deadline;
}
void unparkAll(Word&) noexcept {}
bool spinningPays() noexcept { return std::thread::hardware_concurrency() > 1; }

#endif

// ---- Event ----

bool Event::signal() noexcept {
    word_.fetch_add(1);
    if (sleepers_.load() == 0) return false;
    unparkAll(word_);
    const std::int64_t slept = Clock::now().time_since_epoch().count() - sleptAt_.load(std::memory_order_relaxed);
    return slept >= 1'000'000;
}

// ---- Lock ----

bool Lock::grab() noexcept {
    std::uint32_t expected = 0;
    if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return false;
    owner_.store(threadToken(), std::memory_order_relaxed);
    depth_ = 1;
    return true;
}

bool Lock::tryAcquire() noexcept {
    if (owned()) {
        ++depth_;
        return true;
    }
    return grab();
}

bool Lock::acquireUntil(const Clock::time_point* deadline) noexcept {
    if (tryAcquire()) return true;
    if (spinningPays()) {
        auto end = Clock::now() + kSpin;
        if (deadline && *deadline < end) end = *deadline;
        for (unsigned round = 1;; ++round) {
            if (state_.load(std::memory_order_relaxed) == 0 && grab()) return true;
            if ((round & 63) == 0 && Clock::now() >= end) break;
            cpuRelax();
        }
    }
    // Marked 2 while anybody may sleep on it, so that release() knows to wake them.
    while (state_.exchange(2, std::memory_order_acquire) != 0) {
        if (!park(state_, 2, deadline)) {
            // The mark may now be stale; that costs the next release a spare wake-up only.
            return false;
        }
    }
    owner_.store(threadToken(), std::memory_order_relaxed);
    depth_ = 1;
    return true;
}

void Lock::release() noexcept {
    if (--depth_ != 0) return;
    owner_.store(0, std::memory_order_relaxed);
    if (state_.exchange(0, std::memory_order_release) == 2) unparkAll(state_);
}

std::uint32_t Lock::releaseAll() noexcept {
    const std::uint32_t depth = depth_;
    depth_ = 1;
    release();
    return depth;
}

void Lock::restore(std::uint32_t depth) noexcept { depth_ = depth; }

void Lock::reset() noexcept {
    state_.store(0);
    owner_.store(0);
    depth_ = 0;
}

// ---- Turns ----

std::uint32_t Turns::draw() noexcept {
    std::lock_guard<std::mutex> guard(mutex_);
    return next_++;
}

std::uint32_t Turns::advanceLocked() noexcept {
    std::uint32_t next = serving_.load() + 1;
    for (auto it = std::find(abandoned_.begin(), abandoned_.end(), next); it != abandoned_.end();
         it = std::find(abandoned_.begin(), abandoned_.end(), next)) {
        abandoned_.erase(it);
        ++next;
    }
    serving_.store(next);
    return next;
}

std::uint32_t Turns::pass() noexcept {
    std::uint32_t next;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        next = advanceLocked();
    }
    moved_.signal();
    return next;
}

void Turns::abandon(std::uint32_t ticket) noexcept {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (serving_.load() != ticket) {
            abandoned_.push_back(ticket);
            return;
        }
        advanceLocked();
    }
    moved_.signal();
}

void Turns::reset() noexcept {
    new (&mutex_) std::mutex();  // a forked child: whoever held it does not exist there
    next_ = 0;
    abandoned_.clear();
    serving_.store(0);
    moved_.reset();
}

}  // namespace quorvel::sync
