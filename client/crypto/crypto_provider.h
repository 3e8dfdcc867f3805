// Random bytes for frame padding and login challenges.
//
// Each fill() seeds a fresh 16-word ISAAC generator from the operating
// system's cryptographic random source (getrandom on Linux, the system
// RNG on Windows) and emits its output. The OS seed matters: a predictable
// client challenge would let a fake server replay a proof it harvested.
// Seeds are drawn from a small per-thread reserve of OS random bytes, so that
// padding a frame does not cost a system call each time; every byte of the
// reserve is used once and wiped as it is taken.
#pragma once

#include "random_source.h"

#include <cstddef>

namespace dravolin::crypto {

class CryptoProvider : public RandomSource {
  public:
    CryptoProvider() = default;
    ~CryptoProvider() override;

    // Writes `count` random bytes into `buffer` and returns true. Returns
    // false (and zeroes the buffer) only when the operating system's random
    // source fails, which callers must treat as fatal for the operation.
    bool fill(void* buffer, std::size_t count) override;
};

// Fills `buffer` from the operating system's cryptographic random source;
// false when it fails. Implemented per platform.
bool osRandomBytes(void* buffer, std::size_t count);

// Changes whenever OS random bytes read earlier may have been duplicated into
// another process (a fork); 0 where that cannot happen. Implemented per
// platform.
unsigned osRandomGeneration();

} // namespace dravolin::crypto
