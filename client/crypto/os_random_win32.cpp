// OS random source on Windows: the system-preferred RNG of CNG.
#include "crypto_provider.h"

#include <windows.h>

#include <bcrypt.h>
#include <cstdint>

namespace dravolin::crypto {

// No fork on Windows: random bytes held by a process stay its own.
unsigned osRandomGeneration() {
    return 0;
}

bool osRandomBytes(void* buffer, std::size_t count) {
    auto out = static_cast<std::uint8_t*>(buffer);
    while (count != 0) {
        const ULONG take = count > 0x10000000u ? 0x10000000u : static_cast<ULONG>(count);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, take, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return false;
        out += take;
        count -= take;
    }
    return true;
}

} // namespace dravolin::crypto
