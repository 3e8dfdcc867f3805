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
        const auto spinUntil = std::chrono::steady_clock::now() + kSpin;
        for (;;) {
            if (stop_.load()) {
                return false;
            }
            if (wake_.exchange(false)) {
                return !stop_.load();
            }
            if (std::chrono::steady_clock::now() >= spinUntil) {
                break;
            }
            std::this_thread::yield();
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
    std::mutex lock_;
    std::condition_variable cv_;
    std::atomic<bool> wake_{false};
    std::atomic<bool> stop_{false};
    std::atomic<int> sleepers_{0};
    bool exited_ = false;
};

} // namespace dravolin
