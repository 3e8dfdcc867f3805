// AES-NI kernels. This file alone is compiled with the AES instructions
// enabled; nothing here runs unless the processor reported support.
// Round keys and data are loaded unaligned: the 32-bit Windows heap and stack
// give no 16-byte alignment.
#include "aes128_impl.h"

#include <wmmintrin.h>

namespace dravolin::crypto::detail {
namespace {

inline __m128i load(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void store(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Eight blocks in flight cover the latency of AESENC/AESDEC on current
// cores; the tail goes one block at a time.
template <bool Encrypt>
inline void run(const __m128i (&k)[11], __m128i first, __m128i last, const std::uint8_t* in,
                std::uint8_t* out, std::size_t blocks) {
    auto round = [](__m128i b, __m128i key) {
        return Encrypt ? _mm_aesenc_si128(b, key) : _mm_aesdec_si128(b, key);
    };
    auto final = [](__m128i b, __m128i key) {
        return Encrypt ? _mm_aesenclast_si128(b, key) : _mm_aesdeclast_si128(b, key);
    };
    std::size_t i = 0;
    for (; i + 8 <= blocks; i += 8) {
        // Written out: the compiler keeps eight named values in registers,
        // where an array would live on the stack.
        const std::uint8_t* p = in + 16 * i;
        __m128i b0 = _mm_xor_si128(load(p), first);
        __m128i b1 = _mm_xor_si128(load(p + 16), first);
        __m128i b2 = _mm_xor_si128(load(p + 32), first);
        __m128i b3 = _mm_xor_si128(load(p + 48), first);
        __m128i b4 = _mm_xor_si128(load(p + 64), first);
        __m128i b5 = _mm_xor_si128(load(p + 80), first);
        __m128i b6 = _mm_xor_si128(load(p + 96), first);
        __m128i b7 = _mm_xor_si128(load(p + 112), first);
        for (int r = 1; r < 10; ++r) {
            const __m128i key = k[r];
            b0 = round(b0, key);
            b1 = round(b1, key);
            b2 = round(b2, key);
            b3 = round(b3, key);
            b4 = round(b4, key);
            b5 = round(b5, key);
            b6 = round(b6, key);
            b7 = round(b7, key);
        }
        std::uint8_t* q = out + 16 * i;
        store(q, final(b0, last));
        store(q + 16, final(b1, last));
        store(q + 32, final(b2, last));
        store(q + 48, final(b3, last));
        store(q + 64, final(b4, last));
        store(q + 80, final(b5, last));
        store(q + 96, final(b6, last));
        store(q + 112, final(b7, last));
    }
    for (; i < blocks; ++i) {
        __m128i b = _mm_xor_si128(load(in + 16 * i), first);
        for (int r = 1; r < 10; ++r)
            b = round(b, k[r]);
        store(out + 16 * i, final(b, last));
    }
}

} // namespace

void aesniEncryptBlocks(const std::uint8_t* keys, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blocks, const std::uint8_t* mask) {
    __m128i k[11];
    for (int r = 0; r < 11; ++r)
        k[r] = load(keys + 16 * r);
    // (x ^ mask) ^ k0 == x ^ (mask ^ k0): the mask costs nothing per block.
    const __m128i first = mask ? _mm_xor_si128(k[0], load(mask)) : k[0];
    run<true>(k, first, k[10], in, out, blocks);
}

void aesniDecryptBlocks(const std::uint8_t* keys, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blocks, const std::uint8_t* mask) {
    __m128i k[11];
    for (int r = 0; r < 11; ++r)
        k[r] = load(keys + 16 * r);
    // AESDECLAST XORs the last round key in; folding the mask into it makes
    // D(x) ^ mask free as well.
    const __m128i last = mask ? _mm_xor_si128(k[10], load(mask)) : k[10];
    run<false>(k, k[0], last, in, out, blocks);
}

} // namespace dravolin::crypto::detail
