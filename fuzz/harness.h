// Shared helpers of the fuzz harnesses. Each harness is a plain function over
// bytes so that the same code runs under libFuzzer and in the corpus replay
// test of the ordinary builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace dravolin::fuzz {

using Harness = int (*)(const std::uint8_t* data, std::size_t size);

// A property that must hold for every input. Aborting is what both libFuzzer
// (which saves the input) and the replay test (which then fails) need.
[[noreturn]] inline void PropertyFailed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz property violated: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    std::abort();
}

// Consumes the input from the front: the first bytes steer the harness, the
// rest is the data under test.
class InputReader {
  public:
    InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t remaining() const { return size_ - pos_; }
    bool empty() const { return pos_ == size_; }

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    std::uint16_t u16() {
        std::uint16_t lo = byte();
        return static_cast<std::uint16_t>(lo | (byte() << 8));
    }

    // Up to n bytes (fewer when the input ends).
    std::string_view bytes(std::size_t n) {
        if (n > remaining())
            n = remaining();
        std::string_view v(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return v;
    }

    std::string_view rest() { return bytes(remaining()); }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

} // namespace dravolin::fuzz

#define FUZZ_REQUIRE(cond)                                                                         \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::dravolin::fuzz::PropertyFailed(#cond, __FILE__, __LINE__);                           \
    } while (0)
