// OS random source on Linux: getrandom(2), blocking only until the kernel's
// pool is initialised at boot.
#include "crypto_provider.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <pthread.h>
#include <sys/random.h>

namespace dravolin::crypto {
namespace {

std::atomic<unsigned> forkGeneration{0};

void afterForkInChild() {
    forkGeneration.fetch_add(1, std::memory_order_relaxed);
}

// A forked child must not reuse random bytes its parent already holds.
const bool forkHandlerInstalled = pthread_atfork(nullptr, nullptr, afterForkInChild) == 0;

} // namespace

unsigned osRandomGeneration() {
    // Without the handler, every call looks like a new generation: the
    // reserve is then refilled each time, which is slow but safe.
    if (!forkHandlerInstalled)
        return forkGeneration.fetch_add(1, std::memory_order_relaxed) + 1;
    return forkGeneration.load(std::memory_order_relaxed);
}

bool osRandomBytes(void* buffer, std::size_t count) {
    auto out = static_cast<std::uint8_t*>(buffer);
    while (count != 0) {
        const ssize_t got = getrandom(out, count, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        out += got;
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace dravolin::crypto
