// Where random bytes come from: the OS-seeded CryptoProvider, or a scripted source in a test.
// Code that only draws bytes (the login's challenges, a frame's padding) takes this interface,
// so that it links without the operating system's random source.
#pragma once

#include <cstddef>

namespace dravolin::crypto {

class RandomSource {
  public:
    RandomSource() = default;
    virtual ~RandomSource() = default;
    RandomSource(const RandomSource&) = delete;
    RandomSource& operator=(const RandomSource&) = delete;

    // Writes `count` random bytes into `buffer` and returns true; false (the buffer zeroed) when
    // the source fails, which callers must treat as fatal for the operation.
    virtual bool fill(void* buffer, std::size_t count) = 0;
};

} // namespace dravolin::crypto
