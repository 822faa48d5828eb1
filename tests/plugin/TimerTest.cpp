#include <ctime>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "plugin/Timer.h"

using namespace std::chrono_literals;
using crw::Timer;

namespace {

// Counts firings and lets a test wait for one without polling.
struct Counter {
    std::mutex m;
    std::condition_variable cv;
    int count = 0;
    std::chrono::steady_clock::time_point last;
    void fire()
    {
        std::lock_guard<std::mutex> lock(m);
        ++count;
        last = std::chrono::steady_clock::now();
        cv.notify_all();
    }
    bool waitFor(int n, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, timeout, [&] { return count >= n; });
    }
    int get()
    {
        std::lock_guard<std::mutex> lock(m);
        return count;
    }
};

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

} // namespace

TEST(Timer, FiresOnceAfterIntervalAndNotBefore)
{
    Counter c;
    Timer t(60, [&] { c.fire(); });
    const auto start = std::chrono::steady_clock::now();
    t.start();
    EXPECT_TRUE(t.isRunning());
    ASSERT_TRUE(c.waitFor(1, 2s));
    EXPECT_GE(c.last - start, 60ms);
    EXPECT_FALSE(t.isRunning());
    std::this_thread::sleep_for(120ms);
    EXPECT_EQ(c.get(), 1);
}

TEST(Timer, SecondStartWhileRunningDoesNotRestart)
{
    Counter c;
    Timer t(150, [&] { c.fire(); });
    t.start();
    const auto firstStart = t.startTime();
    std::this_thread::sleep_for(60ms);
    t.start();
    EXPECT_EQ(t.startTime(), firstStart);
    ASSERT_TRUE(c.waitFor(1, 2s));
    // Fired a full interval after the first start, not the second.
    EXPECT_LT(c.last - firstStart, 150ms + 100ms);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(c.get(), 1);
}

TEST(Timer, StoppedCountdownNeverFiresAndRestartCountsAnew)
{
    Counter c;
    Timer t(150, [&] { c.fire(); });
    t.start();
    std::this_thread::sleep_for(100ms);
    t.stop();
    EXPECT_FALSE(t.isRunning());
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(c.get(), 0);

    // Stop and restart within moments: the earlier countdown must not fire early.
    t.start();
    std::this_thread::sleep_for(100ms);
    t.stop();
    const auto restart = std::chrono::steady_clock::now();
    t.start();
    ASSERT_TRUE(c.waitFor(1, 2s));
    EXPECT_GE(c.last - restart, 150ms);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(c.get(), 1);
}

TEST(Timer, ActionMayRestartItsOwnTimer)
{
    Counter c;
    std::unique_ptr<Timer> t;
    t = std::make_unique<Timer>(20, [&] {
        c.fire();
        if (c.get() < 3) {
            t->start();
        }
    });
    t->start();
    ASSERT_TRUE(c.waitFor(3, 2s));
}

TEST(Timer, DestroyedWhileCountingDownNeverFires)
{
    auto fired = std::make_shared<std::atomic<int>>(0);
    {
        Timer t(50, [fired] { ++*fired; });
        t.start();
    }
    std::this_thread::sleep_for(120ms);
    EXPECT_EQ(fired->load(), 0);
}

TEST(Timer, WaitingUsesNoCpu)
{
    Counter c;
    Timer t(400, [&] { c.fire(); });
    const double before = threadCpuSeconds();
    t.start();
    ASSERT_TRUE(c.waitFor(1, 3s));
    const double used = threadCpuSeconds() - before;
    // A polling countdown burns the whole 400 ms; a blocked one a tiny fraction.
    EXPECT_LT(used, 0.05);
}

// An action that already left its wait but still waits for the guard must not
// run after a stop (or a stop and a new start) made under that guard.
TEST(Timer, StopUnderTheGuardIsFinalEvenOnceTheCountdownHasEnded)
{
    std::recursive_mutex guard;
    Counter c;
    Timer t(
        5, [&] { c.fire(); }, &guard);
    {
        std::unique_lock<std::recursive_mutex> held(guard);
        t.start();
        std::this_thread::sleep_for(60ms); // well past the interval: the countdown waits for the guard
        t.stop();
    }
    std::chrono::steady_clock::time_point restarted;
    {
        std::unique_lock<std::recursive_mutex> held(guard);
        t.start();
        std::this_thread::sleep_for(60ms);
        t.stop();
        // Taken before the new countdown starts: a slow machine may pause this thread after start() returns.
        restarted = std::chrono::steady_clock::now();
        t.start();
    }
    ASSERT_TRUE(c.waitFor(1, 2s));
    EXPECT_GE(c.last - restarted, 5ms);
    t.shutdown();
    EXPECT_EQ(c.get(), 1);
}
