// The synchronous caller's wait for its completion.
//
// It parks its one waiting thread on an atomic word (os::waitWord, a futex on Linux) that
// also carries the state: the thread that sets the event sees in the same atomic step whether
// the waiter sleeps, enters the kernel only then, and wakes the waiter itself. The condition
// variable this replaces cost the woken side one more system call (the mutex comes back from
// the wait marked contended, and unlocking it enters the kernel), on the path from one reply
// to the next request. The worker's wait for work (worker_signal.h) works the same way.
#pragma once

#include "wait_word.h"

#include <atomic>
#include <cstdint>

namespace dravolin {

// Auto-reset event for one waiting thread: the synchronous caller's wait for its completion.
class AutoResetEvent {
  public:
    void set() {
        if (state_.exchange(kSet) == kSleeping) {
            os::wakeWord(state_);
        }
    }

    // Waits until set, then resets. No time-out.
    void wait() {
        std::int32_t state = state_.load();
        for (;;) {
            if (state == kSet) {
                if (state_.compare_exchange_weak(state, kClear)) {
                    return;
                }
                continue;
            }
            // Announce the sleep in the word: a set() from here on sees it and wakes us.
            if (state == kClear && !state_.compare_exchange_weak(state, kSleeping)) {
                continue;
            }
            os::waitWord(state_, kSleeping);
            state = state_.load();
        }
    }

  private:
    static constexpr std::int32_t kClear = 0;
    static constexpr std::int32_t kSet = 1;
    static constexpr std::int32_t kSleeping = 2;
    std::atomic<std::int32_t> state_{kClear};
};

} // namespace dravolin
