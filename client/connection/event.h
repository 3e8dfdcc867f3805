// Auto-reset event on a condition variable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

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
class WorkerSignal {
  public:
    void wake() {
        {
            std::lock_guard guard(lock_);
            wake_ = true;
        }
        cv_.notify_all();
    }
    void stop() {
        {
            std::lock_guard guard(lock_);
            stop_ = true;
        }
        cv_.notify_all();
    }
    // True for work, false once stopped; stop wins over pending work.
    bool wait() {
        std::unique_lock guard(lock_);
        cv_.wait(guard, [this] { return stop_ || wake_; });
        wake_ = false;
        return !stop_;
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
    std::mutex lock_;
    std::condition_variable cv_;
    bool wake_ = false;
    bool stop_ = false;
    bool exited_ = false;
};

} // namespace dravolin
