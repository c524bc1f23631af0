// The order and the threads in which one connection's calls are carried out.
#include "server/call_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace kx_agent::test {
namespace {

using namespace std::chrono_literals;
using server::CallScheduler;

// Polls `done` for up to ten seconds (sanitized builds on a busy machine are slow to schedule).
template <class Predicate>
bool eventually(Predicate done) {
    for (const auto until = std::chrono::steady_clock::now() + 10s;
         !done() && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(5ms);
    return done();
}

// A call that blocks until it is let go, as a status-change wait does.
class Gate {
public:
    void open() { promise_.set_value(); }
    void pass() { future_.wait(); }

private:
    std::promise<void> promise_;
    std::shared_future<void> future_ = promise_.get_future().share();
};

TEST(CallScheduler, CallsOfOneLaneRunOneAtATimeInOrder) {
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> inside{0}, most_inside{0};
    {
        CallScheduler scheduler;
        for (int i = 0; i < 10; ++i) {
            scheduler.submit(7, [&, i] {
                most_inside = std::max(most_inside.load(), ++inside);
                std::this_thread::sleep_for(2ms);
                {
                    std::lock_guard lock(mutex);
                    order.push_back(i);
                }
                --inside;
            });
        }
        scheduler.wait_idle();
        // A run of calls on one lane is carried by one thread, not one per call.
        EXPECT_EQ(scheduler.threads(), 1u);
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(most_inside, 1);
}

TEST(CallScheduler, ABlockedLaneHoldsBackOnlyItsOwnCalls) {
    CallScheduler scheduler;
    Gate wait;
    std::atomic<bool> after_wait{false};
    std::atomic<int> others{0};
    scheduler.submit(1, [&] { wait.pass(); });
    scheduler.submit(1, [&] { after_wait = true; });
    for (int i = 0; i < 5; ++i) scheduler.submit(2, [&] { ++others; });
    scheduler.submit(std::nullopt, [&] { ++others; });
    // Calls without a lane run beside each other, even when both block.
    Gate first, second;
    scheduler.submit(std::nullopt, [&] {
        second.open();
        first.pass();
    });
    scheduler.submit(std::nullopt, [&] {
        first.open();
        second.pass();
    });
    EXPECT_TRUE(eventually([&] { return others == 6; }));
    EXPECT_FALSE(after_wait);
    wait.open();
    scheduler.wait_idle();
    EXPECT_TRUE(after_wait);
}

TEST(CallScheduler, ThreadsLeaveWhenTheConnectionIsIdle) {
    CallScheduler scheduler(20ms);
    EXPECT_EQ(scheduler.threads(), 0u);
    Gate gate;
    for (uint64_t lane = 0; lane < 4; ++lane) scheduler.submit(lane, [&] { gate.pass(); });
    EXPECT_TRUE(eventually([&] { return scheduler.threads() == 4; }));
    gate.open();
    scheduler.wait_idle();
    EXPECT_TRUE(eventually([&] { return scheduler.threads() == 0; }));
    // And come back when there is work again.
    std::atomic<bool> ran{false};
    scheduler.submit(9, [&] { ran = true; });
    scheduler.wait_idle();
    EXPECT_TRUE(ran);
}

TEST(CallScheduler, DroppingLeavesTheRunningCallsAndNamesTheirLanes) {
    CallScheduler scheduler;
    Gate gate;
    std::atomic<bool> started{false};
    std::atomic<int> ran_after{0};
    scheduler.submit(5, [&] {
        started = true;
        gate.pass();
    });
    scheduler.submit(5, [&] { ++ran_after; });
    ASSERT_TRUE(eventually([&] { return started.load(); }));
    EXPECT_EQ(scheduler.drop_waiting(), std::vector<uint64_t>{5});
    gate.open();
    scheduler.wait_idle();
    EXPECT_EQ(ran_after, 0);
    // The lane is free again afterwards.
    scheduler.submit(5, [&] { ++ran_after; });
    scheduler.wait_idle();
    EXPECT_EQ(ran_after, 1);
}

TEST(CallScheduler, DestroyingWaitsForRunningCallsAndDropsTheRest) {
    std::atomic<bool> finished{false};
    std::atomic<int> dropped_ran{0};
    Gate started;
    {
        CallScheduler scheduler;
        scheduler.submit(1, [&] {
            started.open();
            std::this_thread::sleep_for(50ms);
            finished = true;
        });
        for (int i = 0; i < 3; ++i) scheduler.submit(1, [&] { ++dropped_ran; });
        started.pass();
    }
    EXPECT_TRUE(finished);
    EXPECT_EQ(dropped_ran, 0);
}

}  // namespace
}  // namespace kx_agent::test
