// Explicit byte-order loads and stores, and wiping of secrets.
// Internal to the crypto library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dravolin::crypto::detail {

inline std::uint32_t load32le(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

inline void store32le(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void store64le(std::uint8_t* p, std::uint64_t v) {
    store32le(p, static_cast<std::uint32_t>(v));
    store32le(p + 4, static_cast<std::uint32_t>(v >> 32));
}

constexpr std::uint32_t rotl32(std::uint32_t v, unsigned n) {
    return (v << n) | (v >> ((32 - n) & 31));
}

// Clears memory in a way the optimiser may not drop as a dead store.
void secureWipe(void* p, std::size_t size);

} // namespace dravolin::crypto::detail
