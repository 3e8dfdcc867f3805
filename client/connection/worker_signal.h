// A connection worker's wait for work, and for the end.
//
// It parks its one waiting thread on an atomic word (os::waitWord, a futex on Linux) that
// also carries the state: the thread that wakes the worker sees in the same
// atomic step whether the waiter sleeps, enters the kernel only then, and wakes the waiter
// itself. The condition variables these replace cost each woken side one more system call
// (the mutex comes back from the wait marked contended, and unlocking it enters the kernel),
// on the path from one reply to the next request.
#pragma once

#include "wait_word.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace dravolin {

// What a worker thread waits for: work (auto-reset) or the end (stays set).
//
// The worker spins briefly (yielding) before it blocks: a synchronous caller usually hands
// over its next request within microseconds, and catching it without a futex sleep and wake
// saves most of the hand-off. wake() enters the kernel only when the worker really sleeps.
// A spin that finds no work means this connection's requests do not follow each other that
// closely (many connections served by a few threads): the worker then blocks at once for the
// next kSkipAfterMiss waits before it tries again, so such connections do not burn the CPU
// their callers and the other workers need.
class WorkerSignal {
  public:
    void wake() {
        if (work_.exchange(kPending) == kSleeping) {
            os::wakeWord(work_);
        }
    }
    void stop() {
        stop_.store(true);
        wake();
    }
    bool stopped() const { return stop_.load(); }
    // True for work, false once stopped; stop wins over pending work.
    bool wait() {
        if (stop_.load()) {
            return false;
        }
        if (takePending()) {
            return !stop_.load();
        }
        if (skipSpins_ > 0) {
            --skipSpins_;
        } else {
            const auto spinUntil = std::chrono::steady_clock::now() + kSpin;
            for (;;) {
                std::this_thread::yield();
                if (stop_.load()) {
                    return false;
                }
                if (takePending()) {
                    return !stop_.load();
                }
                if (std::chrono::steady_clock::now() >= spinUntil) {
                    skipSpins_ = kSkipAfterMiss;
                    break;
                }
            }
        }
        std::int32_t state = work_.load();
        for (;;) {
            if (stop_.load()) {
                return false;
            }
            if (state == kPending) {
                if (work_.compare_exchange_weak(state, kIdle)) {
                    return !stop_.load();
                }
                continue;
            }
            // Announce the sleep in the word: a wake() from here on sees it and wakes us.
            if (state == kIdle && !work_.compare_exchange_weak(state, kSleeping)) {
                continue;
            }
            os::waitWord(work_, kSleeping);
            state = work_.load();
        }
    }
    void markExited() {
        {
            std::lock_guard guard(lock_);
            exited_ = true;
        }
        cv_.notify_all();
    }
    // True once the worker has ended; false when `limit` passed first.
    bool waitExited(std::chrono::milliseconds limit) {
        std::unique_lock guard(lock_);
        return cv_.wait_for(guard, limit, [this] { return exited_; });
    }

  private:
    static constexpr std::chrono::microseconds kSpin{50};
    static constexpr int kSkipAfterMiss = 64;
    static constexpr std::int32_t kIdle = 0;
    static constexpr std::int32_t kPending = 1;
    static constexpr std::int32_t kSleeping = 2;

    bool takePending() {
        std::int32_t pending = kPending;
        return work_.compare_exchange_strong(pending, kIdle);
    }

    std::atomic<std::int32_t> work_{kIdle};
    std::atomic<bool> stop_{false};
    std::mutex lock_; // with cv_: the end of the worker
    std::condition_variable cv_;
    bool exited_ = false;
    int skipSpins_ = 0; // used by the waiting worker only
};

} // namespace dravolin
