#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "quorvel/sync.hpp"

using namespace std::chrono_literals;
using quorvel::sync::Clock;
using quorvel::sync::Event;
using quorvel::sync::Lock;
using quorvel::sync::Turns;

TEST(SyncLock, ExcludesReentersAndTimesOut) {
    Lock lock;
    long counter = 0;  // a data race on it is what ThreadSanitizer would report
    std::vector<std::thread> pool;
    for (int t = 0; t < 4; ++t)
        pool.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                lock.acquireUntil(nullptr);
                ++counter;
                lock.release();
            }
        });
    for (auto& th : pool) th.join();
    EXPECT_EQ(counter, 80000);

    ASSERT_TRUE(lock.tryAcquire());
    ASSERT_TRUE(lock.tryAcquire());  // re-entrant
    EXPECT_EQ(lock.depth(), 2u);
    std::thread([&] {
        EXPECT_FALSE(lock.owned());
        EXPECT_FALSE(lock.tryAcquire());
        const auto start = Clock::now();
        const auto deadline = start + 20ms;
        EXPECT_FALSE(lock.acquireUntil(&deadline));
        EXPECT_GE(Clock::now() - start, 19ms);
    }).join();
    EXPECT_EQ(lock.releaseAll(), 2u);  // gives up every level at once
    std::thread([&] {
        EXPECT_TRUE(lock.tryAcquire());
        lock.release();
    }).join();
}

TEST(SyncTurns, ServesInOrderAndSkipsWhoGaveUp) {
    Turns turns;
    const auto first = turns.draw(), second = turns.draw(), third = turns.draw(), fourth = turns.draw();
    EXPECT_TRUE(turns.isServing(first));
    turns.abandon(second);  // queued, gives up
    EXPECT_EQ(turns.pass(), third);
    turns.abandon(third);  // gives up just as its turn came: passed on
    EXPECT_TRUE(turns.isServing(fourth));

    // Threads that queue in a known order are served in that order.
    std::vector<int> order;
    std::vector<std::thread> pool;
    std::vector<std::uint32_t> tickets;
    for (int i = 0; i < 4; ++i) tickets.push_back(turns.draw());
    for (int i = 3; i >= 0; --i)
        pool.emplace_back([&, i] {
            turns.moved().waitFor([&] { return turns.isServing(tickets[i]); }, nullptr);
            order.push_back(i);  // only the holder of the turn writes
            turns.pass();
        });
    turns.pass();  // `fourth` is done
    for (auto& th : pool) th.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
}

TEST(SyncEvent, WakesSleepersAndTimesOut) {
    Event event;
    std::atomic<bool> flag{false};
    std::thread sleeper([&] { EXPECT_TRUE(event.waitFor([&] { return flag.load(); }, nullptr)); });
    std::this_thread::sleep_for(20ms);  // long past the spinning: it is parked
    flag = true;
    event.signal();
    sleeper.join();

    const auto deadline = Clock::now() + 10ms;
    EXPECT_FALSE(event.waitFor([] { return false; }, &deadline));
    EXPECT_GE(Clock::now(), deadline);
}
