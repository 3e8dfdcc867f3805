// OS random source on Linux: getrandom(2), blocking only until the kernel's
// pool is initialised at boot.
#include "crypto_provider.h"

#include <cerrno>
#include <cstdint>
#include <sys/random.h>

namespace dravolin::crypto {

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
