#include "crypto_provider.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <vector>

namespace dravolin::crypto {
namespace {

TEST(CryptoProvider, FillsExactlyTheRequestedBytes) {
    // Counts around the 64-byte chunks of the generator; the sentinel after
    // the requested count must stay untouched.
    for (std::size_t count : {0u, 1u, 15u, 16u, 63u, 64u, 65u, 127u, 128u, 129u, 1000u}) {
        std::vector<std::uint8_t> buf(count + 16, 0xAA);
        auto provider = std::make_unique<CryptoProvider>();
        ASSERT_TRUE(provider->fill(buf.data(), count));
        for (std::size_t i = count; i < buf.size(); ++i)
            ASSERT_EQ(buf[i], 0xAA) << "count " << count << " wrote byte " << i;
        if (count >= 16) { // 2^-128 chance of a false alarm
            EXPECT_FALSE(
                std::all_of(buf.begin(), buf.begin() + 16, [](auto b) { return b == 0xAA; }));
        }
    }
}

TEST(CryptoProvider, SuccessiveFillsDiffer) {
    // Each fill is seeded afresh from the OS: no two 16-byte challenges repeat.
    std::set<std::vector<std::uint8_t>> seen;
    for (int i = 0; i < 200; ++i) {
        std::vector<std::uint8_t> challenge(16);
        CryptoProvider provider;
        ASSERT_TRUE(provider.fill(challenge.data(), challenge.size()));
        EXPECT_TRUE(seen.insert(challenge).second) << "repeat after " << i;
    }
}

TEST(CryptoProvider, LongFillsDoNotRepeatChunks) {
    // Chunks of 64 bytes come from successive generation steps.
    std::vector<std::uint8_t> buf(64 * 8);
    CryptoProvider provider;
    ASSERT_TRUE(provider.fill(buf.data(), buf.size()));
    std::set<std::vector<std::uint8_t>> chunks;
    for (std::size_t i = 0; i < buf.size(); i += 64)
        chunks.emplace(buf.begin() + static_cast<std::ptrdiff_t>(i),
                       buf.begin() + static_cast<std::ptrdiff_t>(i + 64));
    EXPECT_EQ(chunks.size(), 8u);
}

TEST(CryptoProvider, OsSourceDelivers) {
    std::vector<std::uint8_t> a(32, 0), b(32, 0);
    ASSERT_TRUE(osRandomBytes(a.data(), a.size()));
    ASSERT_TRUE(osRandomBytes(b.data(), b.size()));
    EXPECT_NE(a, b);
    EXPECT_TRUE(osRandomBytes(nullptr, 0));
}

} // namespace
} // namespace dravolin::crypto
