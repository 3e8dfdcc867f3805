#include "crypto_provider.h"

#include "byte_order.h"
#include "isaac.h"

#include <cstdint>
#include <cstring>

namespace dravolin::crypto {
namespace {

// Per-thread reserve of OS random bytes: no locking, and trivially
// destructible, so nothing runs at thread exit (the library may be unloaded
// before its threads end).
struct SeedReserve {
    std::uint8_t bytes[4096];
    std::size_t used; // bytes[used..] are still unused
    unsigned generation;
    bool filled;
};

thread_local SeedReserve reserve;

bool takeSeed(void* out, std::size_t count) {
    SeedReserve& r = reserve;
    const unsigned generation = osRandomGeneration();
    if (!r.filled || r.generation != generation || sizeof r.bytes - r.used < count) {
        if (!osRandomBytes(r.bytes, sizeof r.bytes)) {
            detail::secureWipe(r.bytes, sizeof r.bytes);
            r.filled = false;
            return false;
        }
        r.used = 0;
        r.generation = generation;
        r.filled = true;
    }
    std::memcpy(out, r.bytes + r.used, count);
    detail::secureWipe(r.bytes + r.used, count);
    r.used += count;
    return true;
}

} // namespace

CryptoProvider::~CryptoProvider() = default;

bool CryptoProvider::fill(void* buffer, std::size_t count) {
    auto out = static_cast<std::uint8_t*>(buffer);
    if (count == 0)
        return true;

    // The whole 16-word seed comes from the OS: a single seed word would
    // leave only 2^32 possible outputs.
    std::uint32_t seed[Isaac16::kWords];
    if (!takeSeed(seed, sizeof seed)) {
        std::memset(out, 0, count);
        return false;
    }
    Isaac16 generator;
    generator.seed(seed);
    detail::secureWipe(seed, sizeof seed);

    // Emit the generator's results, 64 bytes per step. The results, not the
    // internal memory: the memory is the state the next outputs derive from.
    for (;;) {
        std::uint8_t chunk[4 * Isaac16::kWords];
        for (std::size_t i = 0; i < Isaac16::kWords; ++i)
            detail::store32le(chunk + 4 * i, generator.results()[i]);
        const std::size_t take = count < sizeof chunk ? count : sizeof chunk;
        std::memcpy(out, chunk, take);
        detail::secureWipe(chunk, sizeof chunk);
        out += take;
        count -= take;
        if (count == 0)
            break;
        generator.generate();
    }
    return true;
}

} // namespace dravolin::crypto
