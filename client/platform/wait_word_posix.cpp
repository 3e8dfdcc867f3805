#include "wait_word.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

namespace dravolin::os {

namespace {
static_assert(sizeof(std::atomic<std::int32_t>) == sizeof(std::int32_t) &&
                  std::atomic<std::int32_t>::is_always_lock_free,
              "the futex works on the atomic's own word");

std::int32_t* futexWord(std::atomic<std::int32_t>& word) {
    return reinterpret_cast<std::int32_t*>(&word);
}
} // namespace

void waitWord(std::atomic<std::int32_t>& word, std::int32_t expected) {
    // EAGAIN (the word changed), EINTR and a wake all return to the caller, which looks again.
    ::syscall(SYS_futex, futexWord(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void wakeWord(std::atomic<std::int32_t>& word) {
    ::syscall(SYS_futex, futexWord(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

} // namespace dravolin::os
