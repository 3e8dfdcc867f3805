// The two waits of the library: a synchronous caller's completion event and a worker's
// wait for work. A lost wake-up here hangs a caller forever, so every test runs its waiting
// side under a guard that fails the test instead of hanging it.
#include "completion_event.h"
#include "worker_signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using dravolin::AutoResetEvent;
using dravolin::WorkerSignal;
using namespace std::chrono_literals;

namespace {

// Generous: only a hang ever gets near it.
constexpr auto kHangGuard = 60s;

template <typename F> bool finishes(std::future<F>& f) {
    return f.wait_for(kHangGuard) == std::future_status::ready;
}

} // namespace

TEST(WorkerSignalTest, WakeBeforeWaitIsNotLost) {
    WorkerSignal s;
    s.wake();
    auto waited = std::async(std::launch::async, [&] { return s.wait(); });
    ASSERT_TRUE(finishes(waited));
    EXPECT_TRUE(waited.get());
}

TEST(WorkerSignalTest, StopWinsOverPendingWorkAndStaysSet) {
    WorkerSignal s;
    s.wake();
    s.stop();
    EXPECT_FALSE(s.wait());
    EXPECT_FALSE(s.wait()) << "a stopped worker never waits again";
}

TEST(WorkerSignalTest, SeveralWakesBeforeOneWaitAreOneRound) {
    WorkerSignal s;
    s.wake();
    s.wake();
    s.wake();
    EXPECT_TRUE(s.wait());
    // The next wait has nothing pending: it blocks until stopped.
    auto second = std::async(std::launch::async, [&] { return s.wait(); });
    std::this_thread::sleep_for(20ms);
    s.stop();
    ASSERT_TRUE(finishes(second));
    EXPECT_FALSE(second.get());
}

TEST(WorkerSignalTest, BlockedWorkerIsWokenAndStopped) {
    WorkerSignal s;
    auto first = std::async(std::launch::async, [&] { return s.wait(); });
    // Long enough for the worker to stop checking and block.
    std::this_thread::sleep_for(20ms);
    s.wake();
    ASSERT_TRUE(finishes(first));
    EXPECT_TRUE(first.get());
    auto second = std::async(std::launch::async, [&] { return s.wait(); });
    std::this_thread::sleep_for(20ms);
    s.stop();
    ASSERT_TRUE(finishes(second));
    EXPECT_FALSE(second.get());
}

TEST(WorkerSignalTest, NoWakeUpIsLostBetweenProducersAndOneWorker) {
    // Producers add work under a lock and wake, as the connection's starters do; the worker
    // drains everything after each wait. Pauses now and then let the worker block, so both
    // the spinning and the blocking path meet concurrent wakes.
    constexpr int kProducers = 4;
    constexpr int kItems = 5000;
    WorkerSignal s;
    std::mutex lock;
    int queued = 0;
    int drained = 0;
    auto worker = std::async(std::launch::async, [&] {
        while (s.wait()) {
            std::lock_guard guard(lock);
            drained += queued;
            queued = 0;
        }
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kItems; ++i) {
                {
                    std::lock_guard guard(lock);
                    ++queued;
                }
                s.wake();
                if ((i + p) % 1000 == 0)
                    std::this_thread::sleep_for(1ms);
            }
        });
    for (auto& t : producers)
        t.join();
    // Every item must be drained without any further wake.
    bool allDrained = false;
    for (auto until = std::chrono::steady_clock::now() + kHangGuard;
         !allDrained && std::chrono::steady_clock::now() < until;) {
        {
            std::lock_guard guard(lock);
            allDrained = drained == kProducers * kItems;
        }
        if (!allDrained)
            std::this_thread::sleep_for(1ms);
    }
    s.stop();
    ASSERT_TRUE(finishes(worker));
    EXPECT_TRUE(allDrained);
    EXPECT_EQ(drained, kProducers * kItems);
}

TEST(WorkerSignalTest, WakesAroundTheMomentTheWorkerBlocksAreNotLost) {
    // A wake that lands while the worker goes from checking to blocking is the one a careless
    // implementation loses. The caller waits a little longer each round (0 to 200 us, busy,
    // so as not to depend on the sleep granularity) before it wakes the worker.
    constexpr int kRounds = 4000;
    WorkerSignal work;
    AutoResetEvent done;
    auto worker = std::async(std::launch::async, [&] {
        while (work.wait())
            done.set();
    });
    auto caller = std::async(std::launch::async, [&] {
        for (int i = 0; i < kRounds; ++i) {
            const auto until =
                std::chrono::steady_clock::now() + std::chrono::microseconds((i % 41) * 5);
            while (std::chrono::steady_clock::now() < until) {
            }
            work.wake();
            done.wait();
        }
    });
    const bool callerFinished = finishes(caller);
    work.stop();
    if (!callerFinished)
        done.set();
    ASSERT_TRUE(finishes(worker));
    EXPECT_TRUE(callerFinished) << "a wake-up was lost";
}

TEST(AutoResetEventTest, SetBeforeWaitIsKeptAndResetByOneWait) {
    AutoResetEvent e;
    e.set();
    e.wait(); // returns at once: the set was kept
    std::atomic<bool> returned{false};
    auto second = std::async(std::launch::async, [&] {
        e.wait();
        returned = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(returned.load()) << "one set wakes one wait only";
    e.set();
    ASSERT_TRUE(finishes(second));
    EXPECT_TRUE(returned.load());
}

TEST(HandOffTest, CallerAndWorkerPingPongWithoutLosingARound) {
    // The synchronous request path: the caller wakes the worker and waits for completion;
    // the worker waits for work and signals completion. 20,000 rounds, with pauses on both
    // sides now and then so that each wait is met both spinning and blocked.
    constexpr int kRounds = 20000;
    WorkerSignal work;
    AutoResetEvent done;
    std::atomic<int> served{0};
    auto worker = std::async(std::launch::async, [&] {
        while (work.wait()) {
            const int n = served.fetch_add(1) + 1;
            if (n % 2000 == 0)
                std::this_thread::sleep_for(1ms);
            done.set();
        }
    });
    auto caller = std::async(std::launch::async, [&] {
        for (int i = 0; i < kRounds; ++i) {
            if (i % 2000 == 1000)
                std::this_thread::sleep_for(1ms);
            work.wake();
            done.wait();
        }
    });
    const bool callerFinished = finishes(caller);
    work.stop();
    if (!callerFinished)
        done.set(); // let a stuck caller go before failing
    ASSERT_TRUE(finishes(worker));
    ASSERT_TRUE(callerFinished) << "a wake-up was lost after " << served.load() << " rounds";
    EXPECT_EQ(served.load(), kRounds);
}
