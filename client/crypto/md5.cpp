// MD5 (RFC 1321). The rounds are written out in full: the block function is
// the hot loop of every encrypted frame, so it works on whole 64-byte blocks
// straight from the caller's buffer and keeps the 16 message words in
// registers or on the stack.
#include "md5.h"

#include "byte_order.h"

#include <cstring>

namespace dravolin::crypto {
namespace {

using detail::load32le;
using detail::rotl32;

// The auxiliary functions of section 3.4, in forms with short dependency
// chains on b (the value computed last).
#define DRAVOLIN_MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define DRAVOLIN_MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define DRAVOLIN_MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))

#define DRAVOLIN_MD5_STEP_F(a, b, c, d, k, s, t)                                                   \
    a += DRAVOLIN_MD5_F(b, c, d) + x[k] + (t);                                                     \
    a = rotl32(a, s) + (b)
// G(b,c,d) = (b & d) | (c & ~d); both halves are disjoint, so they can be
// added separately and the c-half computed before b is known.
#define DRAVOLIN_MD5_STEP_G(a, b, c, d, k, s, t)                                                   \
    a += x[k] + (t) + ((c) & ~(d));                                                                \
    a += (b) & (d);                                                                                \
    a = rotl32(a, s) + (b)
#define DRAVOLIN_MD5_STEP_H(a, b, c, d, k, s, t)                                                   \
    a += DRAVOLIN_MD5_H(b, c, d) + x[k] + (t);                                                     \
    a = rotl32(a, s) + (b)
#define DRAVOLIN_MD5_STEP_I(a, b, c, d, k, s, t)                                                   \
    a += DRAVOLIN_MD5_I(b, c, d) + x[k] + (t);                                                     \
    a = rotl32(a, s) + (b)

// Section 3.4: processes `blocks` consecutive 64-byte blocks.
void processBlocks(std::uint32_t state[4], const std::uint8_t* data, std::size_t blocks) {
    std::uint32_t a0 = state[0], b0 = state[1], c0 = state[2], d0 = state[3];
    std::uint32_t x[16];
    for (; blocks != 0; --blocks, data += kMd5BlockSize) {
        for (int i = 0; i < 16; ++i)
            x[i] = load32le(data + 4 * i);
        std::uint32_t a = a0, b = b0, c = c0, d = d0;

        // Round 1.
        DRAVOLIN_MD5_STEP_F(a, b, c, d, 0, 7, 0xd76aa478);
        DRAVOLIN_MD5_STEP_F(d, a, b, c, 1, 12, 0xe8c7b756);
        DRAVOLIN_MD5_STEP_F(c, d, a, b, 2, 17, 0x242070db);
        DRAVOLIN_MD5_STEP_F(b, c, d, a, 3, 22, 0xc1bdceee);
        DRAVOLIN_MD5_STEP_F(a, b, c, d, 4, 7, 0xf57c0faf);
        DRAVOLIN_MD5_STEP_F(d, a, b, c, 5, 12, 0x4787c62a);
        DRAVOLIN_MD5_STEP_F(c, d, a, b, 6, 17, 0xa8304613);
        DRAVOLIN_MD5_STEP_F(b, c, d, a, 7, 22, 0xfd469501);
        DRAVOLIN_MD5_STEP_F(a, b, c, d, 8, 7, 0x698098d8);
        DRAVOLIN_MD5_STEP_F(d, a, b, c, 9, 12, 0x8b44f7af);
        DRAVOLIN_MD5_STEP_F(c, d, a, b, 10, 17, 0xffff5bb1);
        DRAVOLIN_MD5_STEP_F(b, c, d, a, 11, 22, 0x895cd7be);
        DRAVOLIN_MD5_STEP_F(a, b, c, d, 12, 7, 0x6b901122);
        DRAVOLIN_MD5_STEP_F(d, a, b, c, 13, 12, 0xfd987193);
        DRAVOLIN_MD5_STEP_F(c, d, a, b, 14, 17, 0xa679438e);
        DRAVOLIN_MD5_STEP_F(b, c, d, a, 15, 22, 0x49b40821);

        // Round 2.
        DRAVOLIN_MD5_STEP_G(a, b, c, d, 1, 5, 0xf61e2562);
        DRAVOLIN_MD5_STEP_G(d, a, b, c, 6, 9, 0xc040b340);
        DRAVOLIN_MD5_STEP_G(c, d, a, b, 11, 14, 0x265e5a51);
        DRAVOLIN_MD5_STEP_G(b, c, d, a, 0, 20, 0xe9b6c7aa);
        DRAVOLIN_MD5_STEP_G(a, b, c, d, 5, 5, 0xd62f105d);
        DRAVOLIN_MD5_STEP_G(d, a, b, c, 10, 9, 0x02441453);
        DRAVOLIN_MD5_STEP_G(c, d, a, b, 15, 14, 0xd8a1e681);
        DRAVOLIN_MD5_STEP_G(b, c, d, a, 4, 20, 0xe7d3fbc8);
        DRAVOLIN_MD5_STEP_G(a, b, c, d, 9, 5, 0x21e1cde6);
        DRAVOLIN_MD5_STEP_G(d, a, b, c, 14, 9, 0xc33707d6);
        DRAVOLIN_MD5_STEP_G(c, d, a, b, 3, 14, 0xf4d50d87);
        DRAVOLIN_MD5_STEP_G(b, c, d, a, 8, 20, 0x455a14ed);
        DRAVOLIN_MD5_STEP_G(a, b, c, d, 13, 5, 0xa9e3e905);
        DRAVOLIN_MD5_STEP_G(d, a, b, c, 2, 9, 0xfcefa3f8);
        DRAVOLIN_MD5_STEP_G(c, d, a, b, 7, 14, 0x676f02d9);
        DRAVOLIN_MD5_STEP_G(b, c, d, a, 12, 20, 0x8d2a4c8a);

        // Round 3.
        DRAVOLIN_MD5_STEP_H(a, b, c, d, 5, 4, 0xfffa3942);
        DRAVOLIN_MD5_STEP_H(d, a, b, c, 8, 11, 0x8771f681);
        DRAVOLIN_MD5_STEP_H(c, d, a, b, 11, 16, 0x6d9d6122);
        DRAVOLIN_MD5_STEP_H(b, c, d, a, 14, 23, 0xfde5380c);
        DRAVOLIN_MD5_STEP_H(a, b, c, d, 1, 4, 0xa4beea44);
        DRAVOLIN_MD5_STEP_H(d, a, b, c, 4, 11, 0x4bdecfa9);
        DRAVOLIN_MD5_STEP_H(c, d, a, b, 7, 16, 0xf6bb4b60);
        DRAVOLIN_MD5_STEP_H(b, c, d, a, 10, 23, 0xbebfbc70);
        DRAVOLIN_MD5_STEP_H(a, b, c, d, 13, 4, 0x289b7ec6);
        DRAVOLIN_MD5_STEP_H(d, a, b, c, 0, 11, 0xeaa127fa);
        DRAVOLIN_MD5_STEP_H(c, d, a, b, 3, 16, 0xd4ef3085);
        DRAVOLIN_MD5_STEP_H(b, c, d, a, 6, 23, 0x04881d05);
        DRAVOLIN_MD5_STEP_H(a, b, c, d, 9, 4, 0xd9d4d039);
        DRAVOLIN_MD5_STEP_H(d, a, b, c, 12, 11, 0xe6db99e5);
        DRAVOLIN_MD5_STEP_H(c, d, a, b, 15, 16, 0x1fa27cf8);
        DRAVOLIN_MD5_STEP_H(b, c, d, a, 2, 23, 0xc4ac5665);

        // Round 4.
        DRAVOLIN_MD5_STEP_I(a, b, c, d, 0, 6, 0xf4292244);
        DRAVOLIN_MD5_STEP_I(d, a, b, c, 7, 10, 0x432aff97);
        DRAVOLIN_MD5_STEP_I(c, d, a, b, 14, 15, 0xab9423a7);
        DRAVOLIN_MD5_STEP_I(b, c, d, a, 5, 21, 0xfc93a039);
        DRAVOLIN_MD5_STEP_I(a, b, c, d, 12, 6, 0x655b59c3);
        DRAVOLIN_MD5_STEP_I(d, a, b, c, 3, 10, 0x8f0ccc92);
        DRAVOLIN_MD5_STEP_I(c, d, a, b, 10, 15, 0xffeff47d);
        DRAVOLIN_MD5_STEP_I(b, c, d, a, 1, 21, 0x85845dd1);
        DRAVOLIN_MD5_STEP_I(a, b, c, d, 8, 6, 0x6fa87e4f);
        DRAVOLIN_MD5_STEP_I(d, a, b, c, 15, 10, 0xfe2ce6e0);
        DRAVOLIN_MD5_STEP_I(c, d, a, b, 6, 15, 0xa3014314);
        DRAVOLIN_MD5_STEP_I(b, c, d, a, 13, 21, 0x4e0811a1);
        DRAVOLIN_MD5_STEP_I(a, b, c, d, 4, 6, 0xf7537e82);
        DRAVOLIN_MD5_STEP_I(d, a, b, c, 11, 10, 0xbd3af235);
        DRAVOLIN_MD5_STEP_I(c, d, a, b, 2, 15, 0x2ad7d2bb);
        DRAVOLIN_MD5_STEP_I(b, c, d, a, 9, 21, 0xeb86d391);

        a0 += a;
        b0 += b;
        c0 += c;
        d0 += d;
    }
    state[0] = a0;
    state[1] = b0;
    state[2] = c0;
    state[3] = d0;
    // The message words may be secret (keys are digests of secrets).
    detail::secureWipe(x, sizeof x);
}

#undef DRAVOLIN_MD5_F
#undef DRAVOLIN_MD5_H
#undef DRAVOLIN_MD5_I
#undef DRAVOLIN_MD5_STEP_F
#undef DRAVOLIN_MD5_STEP_G
#undef DRAVOLIN_MD5_STEP_H
#undef DRAVOLIN_MD5_STEP_I

} // namespace

Md5::~Md5() {
    detail::secureWipe(this, sizeof *this);
}

void Md5::reset() {
    // Section 3.3.
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    length_ = 0;
}

void Md5::update(const void* data, std::size_t size) {
    if (size == 0)
        return;
    auto in = static_cast<const std::uint8_t*>(data);
    std::size_t used = static_cast<std::size_t>(length_ % kMd5BlockSize);
    length_ += size;

    if (used != 0) {
        std::size_t take = kMd5BlockSize - used;
        if (size < take) {
            std::memcpy(buffer_ + used, in, size);
            return;
        }
        std::memcpy(buffer_ + used, in, take);
        processBlocks(state_, buffer_, 1);
        in += take;
        size -= take;
    }
    // Whole blocks straight from the caller's memory.
    std::size_t blocks = size / kMd5BlockSize;
    if (blocks != 0) {
        processBlocks(state_, in, blocks);
        in += blocks * kMd5BlockSize;
        size -= blocks * kMd5BlockSize;
    }
    if (size != 0)
        std::memcpy(buffer_, in, size);
}

void Md5::finish(std::uint8_t digest[kMd5DigestSize]) {
    // Sections 3.1 and 3.2: a 1 bit, zeros to 56 mod 64, the bit length.
    std::size_t used = static_cast<std::size_t>(length_ % kMd5BlockSize);
    const std::uint64_t bits = length_ << 3;
    buffer_[used++] = 0x80;
    if (used > kMd5BlockSize - 8) {
        std::memset(buffer_ + used, 0, kMd5BlockSize - used);
        processBlocks(state_, buffer_, 1);
        used = 0;
    }
    std::memset(buffer_ + used, 0, kMd5BlockSize - 8 - used);
    detail::store64le(buffer_ + kMd5BlockSize - 8, bits);
    processBlocks(state_, buffer_, 1);
    // Section 3.5: A, B, C, D, low-order byte first.
    for (int i = 0; i < 4; ++i)
        detail::store32le(digest + 4 * i, state_[i]);
    detail::secureWipe(this, sizeof *this);
}

void md5(const void* data, std::size_t size, std::uint8_t digest[kMd5DigestSize]) {
    Md5 ctx;
    ctx.update(data, size);
    ctx.finish(digest);
}

void md5(const void* first, std::size_t firstSize, const void* second, std::size_t secondSize,
         std::uint8_t digest[kMd5DigestSize]) {
    Md5 ctx;
    ctx.update(first, firstSize);
    ctx.update(second, secondSize);
    ctx.finish(digest);
}

} // namespace dravolin::crypto
