#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "quorvel/sync.hpp"

using namespace std::chrono_literals;
using quorvel::sync::Clock;
using quorvel::sync::Condition;
using quorvel::sync::FairMutex;
using quorvel::sync::Gate;
using quorvel::sync::Mutex;

namespace {

template <class Lock>
long hammer(Lock& lock, int threads, int rounds) {
    long counter = 0;  // a data race on it is what the sanitizer would report
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                lock.lock();
                ++counter;
                lock.unlock();
            }
        });
    for (auto& th : pool) th.join();
    return counter;
}

template <class Predicate>
void waitUntil(Condition& c, Predicate done) {
    for (;;) {
        c.acquire();
        const bool ok = done();
        c.release();
        if (ok) return;
        std::this_thread::sleep_for(1ms);
    }
}

}  // namespace

TEST(SyncMutex, ExcludesAndTimesOut) {
    Mutex m;
    EXPECT_EQ(hammer(m, 4, 20000), 80000);
    m.lock();
    std::thread([&] {
        EXPECT_FALSE(m.tryLock());
        const auto start = Clock::now();
        EXPECT_FALSE(m.lockUntil(Clock::now() + 20ms));
        EXPECT_GE(Clock::now() - start, 19ms);
    }).join();
    m.unlock();
    EXPECT_TRUE(m.tryLock());
    m.unlock();
}

TEST(SyncFairMutex, ServesInOrderAndLetsWaitersGiveUp) {
    FairMutex lock;
    EXPECT_EQ(hammer(lock, 4, 20000), 80000);

    lock.lock();
    std::vector<int> order;
    std::vector<std::thread> queued;
    for (int i = 0; i < 3; ++i) {
        queued.emplace_back([&, i] {
            lock.lock();
            order.push_back(i);
            lock.unlock();
        });
        std::this_thread::sleep_for(20ms);  // thread i queues before thread i + 1
    }
    std::thread([&] {  // gives up and leaves the queue: the lock must not pass to it
        const auto deadline = Clock::now() + 10ms;
        EXPECT_FALSE(lock.lockUntil(&deadline));
    }).join();
    lock.unlock();
    for (auto& th : queued) th.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));

    // Deadlines racing hand-overs: every round ends with the lock free.
    std::vector<std::thread> racers;
    for (int t = 0; t < 3; ++t)
        racers.emplace_back([&, t] {
            for (int i = 0; i < 3000; ++i) {
                const auto deadline = Clock::now() + std::chrono::microseconds((i + t) % 5);
                if (lock.lockUntil(&deadline)) lock.unlock();
            }
        });
    for (auto& th : racers) th.join();
    EXPECT_TRUE(lock.tryLock());
    lock.unlock();
}

TEST(SyncGate, OpensOnceForEveryone) {
    Gate gate;
    std::atomic<int> passed{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) waiters.emplace_back([&] { gate.wait(), ++passed; });
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(passed.load(), 0);
    gate.open();
    for (auto& th : waiters) th.join();
    EXPECT_EQ(passed.load(), 3);
}

TEST(SyncCondition, ReentrantLockAndTimedWait) {
    Condition c;
    c.acquire();
    EXPECT_TRUE(c.tryAcquire());
    EXPECT_TRUE(c.isOwned());
    std::thread([&] {
        EXPECT_FALSE(c.isOwned());
        EXPECT_FALSE(c.acquireUntil(Clock::now() + 5ms));
    }).join();
    // A timed-out wait returns false with the lock held again at the same depth.
    const auto deadline = Clock::now() + 20ms;
    EXPECT_FALSE(c.wait(&deadline));
    EXPECT_GE(Clock::now(), deadline);
    EXPECT_EQ(c.depth(), 2u);
    EXPECT_EQ(c.waiterCount(), 0u);
    // While waiting, every level of the lock is given up.
    bool entered = false;
    std::thread other([&] {
        c.acquire();
        entered = true;
        c.notify();
        c.release();
    });
    while (!entered) c.wait();
    c.release();
    c.release();
    EXPECT_FALSE(c.isOwned());
    other.join();
}

TEST(SyncCondition, NotifyWakesTheOldestWaitersFirst) {
    Condition c;
    std::vector<int> woken;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&, i] {
            c.acquire();
            c.wait();
            woken.push_back(i);
            c.release();
        });
        waitUntil(c, [&] { return c.waiterCount() == static_cast<std::size_t>(i) + 1; });
    }
    c.acquire();
    EXPECT_EQ(c.notify(2), 2u);
    c.release();
    waitUntil(c, [&] { return woken.size() == 2; });
    std::this_thread::sleep_for(20ms);  // and nobody else
    c.acquire();
    // The two oldest were woken; which of them takes the lock back first is up to them.
    std::sort(woken.begin(), woken.end());
    EXPECT_EQ(woken, (std::vector<int>{0, 1}));
    EXPECT_EQ(c.notifyAll(), 2u);
    c.release();
    for (auto& th : waiters) th.join();
}

TEST(SyncCondition, NotifyRacingTimeoutsAndWatchers) {
    // Waiters with tiny deadlines, watchers outside the queue, and a notifier that never
    // stops: every wait ends, and no notification lands on a waiter that has left.
    Condition c;
    std::atomic<bool> done{false};
    std::thread notifier([&] {
        while (!done.load()) {
            c.acquire();
            c.notify();
            c.release();
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                c.acquire();
                const auto deadline = Clock::now() + std::chrono::microseconds(i % 7);
                c.wait(&deadline);
                c.release();
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < 2000; ++i) {
            c.acquire();
            c.acquire();
            std::uint32_t depth = 0;
            const std::uint32_t seen = c.releaseForWatch(&depth);
            EXPECT_FALSE(c.isOwned());
            EXPECT_TRUE(c.watch(seen));
            if (!c.tryReacquire(depth)) c.reacquire(depth);
            EXPECT_EQ(c.depth(), 2u);
            c.release();
            c.release();
        }
    });
    for (auto& th : threads) th.join();
    done = true;
    notifier.join();
    c.acquire();
    EXPECT_EQ(c.waiterCount(), 0u);
    std::uint32_t depth = 0;
    const auto seen = c.releaseForWatch(&depth);
    const auto deadline = Clock::now() + 10ms;
    EXPECT_FALSE(c.watch(seen, &deadline));  // nobody notifies any more
}

// The engine's channel in miniature: one command slot, one result slot, one worker,
// senders taking turns; a stop request ends the worker.
namespace {
struct MiniChannel {
    Condition cond;
    FairMutex turn;
    long command = 0;  // 0 empty, -1 stop
    long result = 0;   // 0 empty

    void serve() {
        cond.acquire();
        for (;;) {
            while (command == 0) cond.wait();
            if (command == -1) break;
            result = command * 2;
            command = 0;
            cond.notifyAll();
        }
        cond.release();
    }

    long send(long value) {
        turn.lock();
        cond.acquire();
        command = value;
        cond.notifyAll();
        while (result == 0) cond.wait();
        const long answer = result;
        result = 0;
        cond.release();
        turn.unlock();
        return answer;
    }

    void stop() {
        turn.lock();
        cond.acquire();
        command = -1;
        cond.notifyAll();
        cond.release();
        turn.unlock();
    }
};
}  // namespace

TEST(Channel, RoundTripsReachTheirSenders) {
    MiniChannel ch;
    std::thread worker([&] { ch.serve(); });
    std::atomic<int> wrong{0};
    std::vector<std::thread> senders;
    for (long s = 1; s <= 4; ++s)
        senders.emplace_back([&, s] {
            for (long i = 1; i <= 3000; ++i)
                if (ch.send(s * 100000 + i) != (s * 100000 + i) * 2) ++wrong;
        });
    for (auto& th : senders) th.join();
    ch.stop();
    worker.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Channel, IdleWorkerSleeps) {
    // A waiter that nobody notifies parks: after its spin it uses no CPU time.
    MiniChannel ch;
    std::thread worker([&] { ch.serve(); });
    std::this_thread::sleep_for(50ms);
    const std::clock_t before = std::clock();
    std::this_thread::sleep_for(200ms);
    EXPECT_LT(double(std::clock() - before) / CLOCKS_PER_SEC, 0.02);
    ch.stop();
    worker.join();
}
