// MD5 message digest (RFC 1321).
//
// The context lives wherever the caller puts it; nothing here allocates.
// finish() wipes the context, so a digest of secret material leaves no
// copy of that material behind.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dravolin::crypto {

inline constexpr std::size_t kMd5DigestSize = 16;
inline constexpr std::size_t kMd5BlockSize = 64;

class Md5 {
  public:
    Md5() { reset(); }
    ~Md5();
    Md5(const Md5&) = default;
    Md5& operator=(const Md5&) = default;

    // Starts a new message (RFC 1321 section 3.3).
    void reset();
    // Adds bytes to the message; any split of the message gives the same digest.
    void update(const void* data, std::size_t size);
    // Pads, writes the 16-byte digest and wipes the context (sections 3.4, 3.5).
    // The context must be reset() before it is used again.
    void finish(std::uint8_t digest[kMd5DigestSize]);

  private:
    std::uint32_t state_[4];
    std::uint64_t length_; // message length in bytes so far
    std::uint8_t buffer_[kMd5BlockSize];
};

// Digest of one contiguous message.
void md5(const void* data, std::size_t size, std::uint8_t digest[kMd5DigestSize]);

// Digest of the concatenation first || second (the login and channel digests
// are all of this form).
void md5(const void* first, std::size_t firstSize, const void* second, std::size_t secondSize,
         std::uint8_t digest[kMd5DigestSize]);

} // namespace dravolin::crypto
