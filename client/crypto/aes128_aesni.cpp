// AES-NI kernels. This file alone is compiled with the AES instructions
// enabled; nothing here runs unless the processor reported support.
// Four blocks are kept in flight, which hides the latency of AESENC/AESDEC.
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

} // namespace

void aesniEncryptBlocks(const std::uint8_t* keys, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blocks, const std::uint8_t* mask) {
    __m128i k[11];
    for (int r = 0; r < 11; ++r)
        k[r] = load(keys + 16 * r);
    // (x ^ mask) ^ k0 == x ^ (mask ^ k0): the mask costs nothing per block.
    const __m128i first = mask ? _mm_xor_si128(k[0], load(mask)) : k[0];

    std::size_t i = 0;
    for (; i + 4 <= blocks; i += 4) {
        const std::uint8_t* p = in + 16 * i;
        __m128i b0 = _mm_xor_si128(load(p), first);
        __m128i b1 = _mm_xor_si128(load(p + 16), first);
        __m128i b2 = _mm_xor_si128(load(p + 32), first);
        __m128i b3 = _mm_xor_si128(load(p + 48), first);
        for (int r = 1; r < 10; ++r) {
            b0 = _mm_aesenc_si128(b0, k[r]);
            b1 = _mm_aesenc_si128(b1, k[r]);
            b2 = _mm_aesenc_si128(b2, k[r]);
            b3 = _mm_aesenc_si128(b3, k[r]);
        }
        std::uint8_t* q = out + 16 * i;
        store(q, _mm_aesenclast_si128(b0, k[10]));
        store(q + 16, _mm_aesenclast_si128(b1, k[10]));
        store(q + 32, _mm_aesenclast_si128(b2, k[10]));
        store(q + 48, _mm_aesenclast_si128(b3, k[10]));
    }
    for (; i < blocks; ++i) {
        __m128i b = _mm_xor_si128(load(in + 16 * i), first);
        for (int r = 1; r < 10; ++r)
            b = _mm_aesenc_si128(b, k[r]);
        store(out + 16 * i, _mm_aesenclast_si128(b, k[10]));
    }
}

void aesniDecryptBlocks(const std::uint8_t* keys, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blocks, const std::uint8_t* mask) {
    __m128i k[11];
    for (int r = 0; r < 11; ++r)
        k[r] = load(keys + 16 * r);
    // AESDECLAST XORs the last round key in; folding the mask into it makes
    // D(x) ^ mask free as well.
    const __m128i last = mask ? _mm_xor_si128(k[10], load(mask)) : k[10];

    std::size_t i = 0;
    for (; i + 4 <= blocks; i += 4) {
        const std::uint8_t* p = in + 16 * i;
        __m128i b0 = _mm_xor_si128(load(p), k[0]);
        __m128i b1 = _mm_xor_si128(load(p + 16), k[0]);
        __m128i b2 = _mm_xor_si128(load(p + 32), k[0]);
        __m128i b3 = _mm_xor_si128(load(p + 48), k[0]);
        for (int r = 1; r < 10; ++r) {
            b0 = _mm_aesdec_si128(b0, k[r]);
            b1 = _mm_aesdec_si128(b1, k[r]);
            b2 = _mm_aesdec_si128(b2, k[r]);
            b3 = _mm_aesdec_si128(b3, k[r]);
        }
        std::uint8_t* q = out + 16 * i;
        store(q, _mm_aesdeclast_si128(b0, last));
        store(q + 16, _mm_aesdeclast_si128(b1, last));
        store(q + 32, _mm_aesdeclast_si128(b2, last));
        store(q + 48, _mm_aesdeclast_si128(b3, last));
    }
    for (; i < blocks; ++i) {
        __m128i b = _mm_xor_si128(load(in + 16 * i), k[0]);
        for (int r = 1; r < 10; ++r)
            b = _mm_aesdec_si128(b, k[r]);
        store(out + 16 * i, _mm_aesdeclast_si128(b, last));
    }
}

} // namespace dravolin::crypto::detail
