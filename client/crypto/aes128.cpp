// AES-128 (FIPS-197): key expansion and the portable table-driven engine.
//
// The state is kept as four column words, each loaded little-endian (byte 0
// of the column in the low bits), so no byte swapping is needed on x86. The
// tables combine SubBytes and MixColumns (section 5.1.3) for encryption and
// InvSubBytes and InvMixColumns for the equivalent inverse cipher (section
// 5.3.5); they are computed at compile time from the field arithmetic of
// section 4.
#include "aes128.h"

#include "aes128_impl.h"
#include "byte_order.h"

#include <array>
#include <cstring>

namespace dravolin::crypto {
namespace {

using detail::load32le;
using detail::store32le;

// Section 4.2: multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr std::uint8_t xtime(std::uint8_t v) {
    return static_cast<std::uint8_t>((v << 1) ^ ((v & 0x80) ? 0x1b : 0));
}
constexpr std::uint8_t gmul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t r = 0;
    while (b != 0) {
        if (b & 1)
            r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

// Section 5.1.1: multiplicative inverse, then the affine transformation.
// The inverse comes from powers of the generator 3: inv(3^i) = 3^(255-i).
constexpr std::array<std::uint8_t, 256> makeSbox() {
    std::array<std::uint8_t, 256> exp{}, log{};
    std::uint8_t p = 1;
    for (int i = 0; i < 255; ++i) {
        exp[static_cast<std::size_t>(i)] = p;
        log[p] = static_cast<std::uint8_t>(i);
        p = static_cast<std::uint8_t>(p ^ xtime(p)); // p * 3
    }
    std::array<std::uint8_t, 256> s{};
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t inv =
            x == 0 ? 0
                   : exp[static_cast<std::size_t>((255 - log[static_cast<std::size_t>(x)]) % 255)];
        std::uint8_t b = inv, r = 0x63;
        for (int i = 0; i < 5; ++i) {
            r ^= b;
            b = static_cast<std::uint8_t>((b << 1) | (b >> 7));
        }
        s[static_cast<std::size_t>(x)] = r;
    }
    return s;
}

constexpr std::array<std::uint8_t, 256> kSbox = makeSbox();

constexpr std::array<std::uint8_t, 256> makeInvSbox() {
    std::array<std::uint8_t, 256> s{};
    for (int x = 0; x < 256; ++x)
        s[kSbox[static_cast<std::size_t>(x)]] = static_cast<std::uint8_t>(x);
    return s;
}

constexpr std::array<std::uint8_t, 256> kInvSbox = makeInvSbox();

constexpr std::uint32_t column(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    return std::uint32_t{b0} | std::uint32_t{b1} << 8 | std::uint32_t{b2} << 16 |
           std::uint32_t{b3} << 24;
}

// te[k][x]: the MixColumns column of S[x] placed in row k, rotated into place.
using Tables = std::array<std::array<std::uint32_t, 256>, 4>;

constexpr Tables makeTe() {
    Tables t{};
    for (int x = 0; x < 256; ++x) {
        std::uint8_t s = kSbox[static_cast<std::size_t>(x)];
        std::uint32_t w = column(gmul(s, 2), s, s, gmul(s, 3));
        for (int k = 0; k < 4; ++k)
            t[static_cast<std::size_t>(k)][static_cast<std::size_t>(x)] =
                detail::rotl32(w, static_cast<unsigned>(8 * k));
    }
    return t;
}

constexpr Tables makeTd() {
    Tables t{};
    for (int x = 0; x < 256; ++x) {
        std::uint8_t s = kInvSbox[static_cast<std::size_t>(x)];
        std::uint32_t w = column(gmul(s, 14), gmul(s, 9), gmul(s, 13), gmul(s, 11));
        for (int k = 0; k < 4; ++k)
            t[static_cast<std::size_t>(k)][static_cast<std::size_t>(x)] =
                detail::rotl32(w, static_cast<unsigned>(8 * k));
    }
    return t;
}

alignas(64) constexpr Tables kTe = makeTe();
alignas(64) constexpr Tables kTd = makeTd();

inline std::uint32_t b0(std::uint32_t w) {
    return w & 0xff;
}
inline std::uint32_t b1(std::uint32_t w) {
    return (w >> 8) & 0xff;
}
inline std::uint32_t b2(std::uint32_t w) {
    return (w >> 16) & 0xff;
}
inline std::uint32_t b3(std::uint32_t w) {
    return w >> 24;
}

// Section 5.1: one block with a schedule of 11 round keys.
void portableEncrypt(const std::uint8_t* keys, const std::uint8_t* in, std::uint8_t* out,
                     const std::uint8_t* mask) {
    std::uint32_t s0 = load32le(in), s1 = load32le(in + 4), s2 = load32le(in + 8),
                  s3 = load32le(in + 12);
    if (mask) {
        s0 ^= load32le(mask);
        s1 ^= load32le(mask + 4);
        s2 ^= load32le(mask + 8);
        s3 ^= load32le(mask + 12);
    }
    s0 ^= load32le(keys);
    s1 ^= load32le(keys + 4);
    s2 ^= load32le(keys + 8);
    s3 ^= load32le(keys + 12);
    const auto& t0 = kTe[0];
    const auto& t1 = kTe[1];
    const auto& t2 = kTe[2];
    const auto& t3 = kTe[3];
    for (std::size_t r = 1; r < kAes128Rounds; ++r) {
        const std::uint8_t* k = keys + 16 * r;
        // ShiftRows: row i of output column c comes from input column c + i.
        std::uint32_t u0 = t0[b0(s0)] ^ t1[b1(s1)] ^ t2[b2(s2)] ^ t3[b3(s3)] ^ load32le(k);
        std::uint32_t u1 = t0[b0(s1)] ^ t1[b1(s2)] ^ t2[b2(s3)] ^ t3[b3(s0)] ^ load32le(k + 4);
        std::uint32_t u2 = t0[b0(s2)] ^ t1[b1(s3)] ^ t2[b2(s0)] ^ t3[b3(s1)] ^ load32le(k + 8);
        std::uint32_t u3 = t0[b0(s3)] ^ t1[b1(s0)] ^ t2[b2(s1)] ^ t3[b3(s2)] ^ load32le(k + 12);
        s0 = u0;
        s1 = u1;
        s2 = u2;
        s3 = u3;
    }
    // Final round: no MixColumns.
    const std::uint8_t* k = keys + 16 * kAes128Rounds;
    auto last = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        return column(kSbox[b0(a)], kSbox[b1(b)], kSbox[b2(c)], kSbox[b3(d)]);
    };
    store32le(out, last(s0, s1, s2, s3) ^ load32le(k));
    store32le(out + 4, last(s1, s2, s3, s0) ^ load32le(k + 4));
    store32le(out + 8, last(s2, s3, s0, s1) ^ load32le(k + 8));
    store32le(out + 12, last(s3, s0, s1, s2) ^ load32le(k + 12));
}

// Section 5.3.5: the equivalent inverse cipher with the decryption schedule.
void portableDecrypt(const std::uint8_t* keys, const std::uint8_t* in, std::uint8_t* out,
                     const std::uint8_t* mask) {
    std::uint32_t s0 = load32le(in) ^ load32le(keys), s1 = load32le(in + 4) ^ load32le(keys + 4),
                  s2 = load32le(in + 8) ^ load32le(keys + 8),
                  s3 = load32le(in + 12) ^ load32le(keys + 12);
    const auto& t0 = kTd[0];
    const auto& t1 = kTd[1];
    const auto& t2 = kTd[2];
    const auto& t3 = kTd[3];
    for (std::size_t r = 1; r < kAes128Rounds; ++r) {
        const std::uint8_t* k = keys + 16 * r;
        // InvShiftRows: row i of output column c comes from input column c - i.
        std::uint32_t u0 = t0[b0(s0)] ^ t1[b1(s3)] ^ t2[b2(s2)] ^ t3[b3(s1)] ^ load32le(k);
        std::uint32_t u1 = t0[b0(s1)] ^ t1[b1(s0)] ^ t2[b2(s3)] ^ t3[b3(s2)] ^ load32le(k + 4);
        std::uint32_t u2 = t0[b0(s2)] ^ t1[b1(s1)] ^ t2[b2(s0)] ^ t3[b3(s3)] ^ load32le(k + 8);
        std::uint32_t u3 = t0[b0(s3)] ^ t1[b1(s2)] ^ t2[b2(s1)] ^ t3[b3(s0)] ^ load32le(k + 12);
        s0 = u0;
        s1 = u1;
        s2 = u2;
        s3 = u3;
    }
    const std::uint8_t* k = keys + 16 * kAes128Rounds;
    auto last = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        return column(kInvSbox[b0(a)], kInvSbox[b1(b)], kInvSbox[b2(c)], kInvSbox[b3(d)]);
    };
    std::uint32_t o0 = last(s0, s3, s2, s1) ^ load32le(k);
    std::uint32_t o1 = last(s1, s0, s3, s2) ^ load32le(k + 4);
    std::uint32_t o2 = last(s2, s1, s0, s3) ^ load32le(k + 8);
    std::uint32_t o3 = last(s3, s2, s1, s0) ^ load32le(k + 12);
    if (mask) {
        o0 ^= load32le(mask);
        o1 ^= load32le(mask + 4);
        o2 ^= load32le(mask + 8);
        o3 ^= load32le(mask + 12);
    }
    store32le(out, o0);
    store32le(out + 4, o1);
    store32le(out + 8, o2);
    store32le(out + 12, o3);
}

// InvMixColumns of one column word, through the tables: Td[k][InvS[S[x]]]
// is InvMixColumns applied to x in row k.
std::uint32_t invMixColumn(std::uint32_t w) {
    return kTd[0][kSbox[b0(w)]] ^ kTd[1][kSbox[b1(w)]] ^ kTd[2][kSbox[b2(w)]] ^
           kTd[3][kSbox[b3(w)]];
}

bool hardwareAvailable() {
    static const bool available = detail::aesniSupported();
    return available;
}

} // namespace

bool aesHardwareAvailable() {
    return hardwareAvailable();
}

Aes128::~Aes128() {
    clear();
}

void Aes128::clear() {
    detail::secureWipe(encKeys_, sizeof encKeys_);
    detail::secureWipe(decKeys_, sizeof decKeys_);
}

void Aes128::setKey(const std::uint8_t key[kAes128KeySize], AesEngine engine) {
    // Section 5.2, KeyExpansion with Nk = 4: w[i] = w[i-4] ^ temp, where
    // temp = SubWord(RotWord(w[i-1])) ^ Rcon[i/4] when i is a multiple of 4.
    // In little-endian column words RotWord is a right rotation by 8.
    std::uint32_t w[4 * (kAes128Rounds + 1)];
    for (int i = 0; i < 4; ++i)
        w[i] = load32le(key + 4 * i);
    std::uint8_t rcon = 1;
    for (std::size_t i = 4; i < 4 * (kAes128Rounds + 1); ++i) {
        std::uint32_t temp = w[i - 1];
        if (i % 4 == 0) {
            temp =
                column(kSbox[b1(temp)], kSbox[b2(temp)], kSbox[b3(temp)], kSbox[b0(temp)]) ^ rcon;
            rcon = xtime(rcon);
        }
        w[i] = w[i - 4] ^ temp;
    }
    for (std::size_t i = 0; i < 4 * (kAes128Rounds + 1); ++i)
        store32le(encKeys_ + 4 * i, w[i]);

    // Section 5.3.5: round keys in reverse order, InvMixColumns applied to
    // all but the first and last.
    for (std::size_t r = 0; r <= kAes128Rounds; ++r) {
        const std::uint32_t* src = w + 4 * (kAes128Rounds - r);
        for (std::size_t j = 0; j < 4; ++j) {
            std::uint32_t v = src[j];
            if (r != 0 && r != kAes128Rounds)
                v = invMixColumn(v);
            store32le(decKeys_ + 16 * r + 4 * j, v);
        }
    }
    detail::secureWipe(w, sizeof w);

    engine_ = (engine != AesEngine::Portable && hardwareAvailable()) ? AesEngine::Hardware
                                                                     : AesEngine::Portable;
}

void Aes128::encryptBlock(const std::uint8_t in[kAesBlockSize],
                          std::uint8_t out[kAesBlockSize]) const {
    encryptBlocksMasked(in, out, 1, nullptr);
}

void Aes128::decryptBlock(const std::uint8_t in[kAesBlockSize],
                          std::uint8_t out[kAesBlockSize]) const {
    decryptBlocksMasked(in, out, 1, nullptr);
}

void Aes128::encryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) const {
    encryptBlocksMasked(in, out, blocks, nullptr);
}

void Aes128::decryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) const {
    decryptBlocksMasked(in, out, blocks, nullptr);
}

void Aes128::encryptBlocksMasked(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                                 const std::uint8_t mask[kAesBlockSize]) const {
    if (engine_ == AesEngine::Hardware) {
        detail::aesniEncryptBlocks(encKeys_, in, out, blocks, mask);
        return;
    }
    for (std::size_t i = 0; i < blocks; ++i)
        portableEncrypt(encKeys_, in + 16 * i, out + 16 * i, mask);
}

void Aes128::decryptBlocksMasked(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                                 const std::uint8_t mask[kAesBlockSize]) const {
    if (engine_ == AesEngine::Hardware) {
        detail::aesniDecryptBlocks(decKeys_, in, out, blocks, mask);
        return;
    }
    for (std::size_t i = 0; i < blocks; ++i)
        portableDecrypt(decKeys_, in + 16 * i, out + 16 * i, mask);
}

} // namespace dravolin::crypto
