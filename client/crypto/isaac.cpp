// ISAAC (R. J. Jenkins, "ISAAC", Fast Software Encryption 1996, and his
// reference rand.c), generic over the state size 2^SizeLog words.
#include "isaac.h"

#include "byte_order.h"

namespace dravolin::crypto {
namespace {

constexpr std::uint32_t kGoldenRatio = 0x9e3779b9;

// The reference's mix() of eight words.
constexpr void mix(std::uint32_t (&v)[8]) {
    auto& [a, b, c, d, e, f, g, h] = v;
    // clang-format off
    a ^= b << 11; d += a; b += c;
    b ^= c >> 2;  e += b; c += d;
    c ^= d << 8;  f += c; d += e;
    d ^= e >> 16; g += d; e += f;
    e ^= f << 10; h += e; f += g;
    f ^= g >> 4;  a += f; g += h;
    g ^= h << 8;  b += g; h += a;
    h ^= a >> 9;  c += h; a += b;
    // clang-format on
}

// The initialisation first mixes the golden ratio four times; that depends
// on nothing, so it is done once, at compile time.
struct Words8 {
    std::uint32_t v[8];
};
constexpr Words8 makeMixedGoldenRatio() {
    Words8 w{};
    for (auto& x : w.v)
        x = kGoldenRatio;
    for (int i = 0; i < 4; ++i)
        mix(w.v);
    return w;
}
constexpr Words8 kMixedGoldenRatio = makeMixedGoldenRatio();

} // namespace

template <unsigned SizeLog> Isaac<SizeLog>::~Isaac() {
    clear();
}

template <unsigned SizeLog> void Isaac<SizeLog>::clear() {
    detail::secureWipe(results_, sizeof results_);
    detail::secureWipe(memory_, sizeof memory_);
    a_ = b_ = c_ = 0;
}

template <unsigned SizeLog> void Isaac<SizeLog>::generate() {
    static_assert(kWords >= 8, "the shift pattern runs in groups of four over half the state");
    constexpr std::size_t half = kWords / 2;
    std::uint32_t* mm = memory_;
    std::uint32_t a = a_;
    std::uint32_t b = b_ + (++c_);

    // One step for word i: the accumulator is mixed with a shift chosen by
    // i mod 4, added to the word half a state away, and the indirections
    // read the memory through bits 2.. and SizeLog+2.. of the values.
    auto step = [&](std::size_t i, std::uint32_t mixed) {
        const std::uint32_t x = mm[i];
        a = mixed + mm[(i + half) % kWords];
        const std::uint32_t y = mm[(x >> 2) & (kWords - 1)] + a + b;
        mm[i] = y;
        b = mm[(y >> (SizeLog + 2)) & (kWords - 1)] + x;
        results_[i] = b;
    };
    for (std::size_t i = 0; i < kWords; i += 4) {
        step(i, a ^ (a << 13));
        step(i + 1, a ^ (a >> 6));
        step(i + 2, a ^ (a << 2));
        step(i + 3, a ^ (a >> 16));
    }
    a_ = a;
    b_ = b;
}

template <unsigned SizeLog> void Isaac<SizeLog>::seed(const std::uint32_t seed[kWords]) {
    std::uint32_t v[8];
    for (std::size_t j = 0; j < 8; ++j)
        v[j] = kMixedGoldenRatio.v[j];
    a_ = b_ = c_ = 0;
    // First pass mixes the seed in, second pass spreads every word of the
    // first over the whole state.
    for (std::size_t i = 0; i < kWords; i += 8) {
        for (std::size_t j = 0; j < 8; ++j)
            v[j] += seed[i + j];
        mix(v);
        for (std::size_t j = 0; j < 8; ++j)
            memory_[i + j] = v[j];
    }
    for (std::size_t i = 0; i < kWords; i += 8) {
        for (std::size_t j = 0; j < 8; ++j)
            v[j] += memory_[i + j];
        mix(v);
        for (std::size_t j = 0; j < 8; ++j)
            memory_[i + j] = v[j];
    }
    detail::secureWipe(v, sizeof v);
    generate();
}

template class Isaac<4>;
template class Isaac<8>;

} // namespace dravolin::crypto
