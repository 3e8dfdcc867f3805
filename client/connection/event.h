// Auto-reset event on a condition variable.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace dravolin {

class AutoResetEvent {
  public:
    void set() {
        {
            std::lock_guard guard(lock_);
            signalled_ = true;
        }
        cv_.notify_one();
    }

    // Waits until set, then resets. A short bounded spin before blocking can go here when
    // the hand-off cost matters; the wait itself has no time-out.
    void wait() {
        std::unique_lock guard(lock_);
        cv_.wait(guard, [this] { return signalled_; });
        signalled_ = false;
    }

  private:
    std::mutex lock_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

// What a worker thread waits for: work (auto-reset) or the end (stays set).
//
// The worker spins briefly (yielding) before it blocks: a synchronous caller usually hands
// over its next request within microseconds, and catching it without a futex sleep and wake
// saves most of the hand-off. wake() takes the lock only when the worker really sleeps.
// A spin that finds no work means this connection's requests do not follow each other that
// closely (many connections served by a few threads): the worker then blocks at once for the
// next kSkipAfterMiss waits before it tries again, so such connections do not burn the CPU
// their callers and the other workers need.
class WorkerSignal {
  public:
    void wake() {
        wake_.store(true);
        if (sleepers_.load() > 0) {
            std::lock_guard guard(lock_);
            cv_.notify_all();
        }
    }
    void stop() {
        stop_.store(true);
        std::lock_guard guard(lock_);
        cv_.notify_all();
    }
    // True for work, false once stopped; stop wins over pending work.
    bool wait() {
        if (stop_.load()) {
            return false;
        }
        if (wake_.exchange(false)) {
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
                if (wake_.exchange(false)) {
                    return !stop_.load();
                }
                if (std::chrono::steady_clock::now() >= spinUntil) {
                    skipSpins_ = kSkipAfterMiss;
                    break;
                }
            }
        }
        // Announce the sleep before the last look at the flags (both sequentially
        // consistent), so a wake() either sees the sleeper or is seen by it.
        sleepers_.fetch_add(1);
        {
            std::unique_lock guard(lock_);
            cv_.wait(guard, [this] { return stop_.load() || wake_.load(); });
        }
        sleepers_.fetch_sub(1);
        wake_.store(false);
        return !stop_.load();
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
    std::mutex lock_;
    std::condition_variable cv_;
    std::atomic<bool> wake_{false};
    std::atomic<bool> stop_{false};
    std::atomic<int> sleepers_{0};
    bool exited_ = false;
    int skipSpins_ = 0; // used by the waiting worker only
};

} // namespace dravolin
