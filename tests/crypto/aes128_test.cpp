#include "aes128.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace dravolin::crypto {

void PrintTo(AesEngine engine, std::ostream* os) {
    *os << (engine == AesEngine::Portable   ? "Portable"
            : engine == AesEngine::Hardware ? "Hardware"
                                            : "Automatic");
}

namespace {

using test::fromHex;
using test::toHex;

// Every test runs on both engines; the hardware one is skipped on machines
// without AES-NI.
class Aes128Engines : public ::testing::TestWithParam<AesEngine> {
  protected:
    void SetUp() override {
        if (GetParam() == AesEngine::Hardware && !aesHardwareAvailable())
            GTEST_SKIP() << "no AES-NI on this processor";
    }
    Aes128 make(const std::vector<std::uint8_t>& key) const {
        Aes128 aes(key.data(), GetParam());
        EXPECT_EQ(aes.engine(), GetParam());
        return aes;
    }
};

TEST_P(Aes128Engines, KnownAnswers) {
    struct Case {
        const char* key;
        const char* plain;
        const char* cipher;
    };
    const Case cases[] = {
        // FIPS-197 appendix C.1.
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"},
        // FIPS-197 appendix B.
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
         "3925841d02dc09fbdc118597196a0b32"},
    };
    for (const auto& c : cases) {
        const Aes128 aes = make(fromHex(c.key));
        const auto plain = fromHex(c.plain);
        std::uint8_t out[16];
        aes.encryptBlock(plain.data(), out);
        EXPECT_EQ(toHex(out, 16), c.cipher);
        std::uint8_t back[16];
        aes.decryptBlock(out, back);
        EXPECT_EQ(toHex(back, 16), c.plain);
    }
}

TEST_P(Aes128Engines, KeyExpansionOfAppendixA1) {
    // The cipher key of appendix B; round keys w[4r..4r+3] from appendix A.1.
    const Aes128 aes = make(fromHex("2b7e151628aed2a6abf7158809cf4f3c"));
    const char* expected[11] = {
        "2b7e151628aed2a6abf7158809cf4f3c", "a0fafe1788542cb123a339392a6c7605",
        "f2c295f27a96b9435935807a7359f67f", "3d80477d4716fe3e1e237e446d7a883b",
        "ef44a541a8525b7fb671253bdb0bad00", "d4d1c6f87c839d87caf2b8bc11f915bc",
        "6d88a37a110b3efddbf98641ca0093fd", "4e54f70e5f5fc9f384a64fb24ea6dc4f",
        "ead27321b58dbad2312bf5607f8d292f", "ac7766f319fadc2128d12941575c006e",
        "d014f9a8c9ee2589e13f0cc8b6630ca6",
    };
    for (std::size_t r = 0; r <= kAes128Rounds; ++r)
        EXPECT_EQ(toHex(aes.encryptionRoundKey(r), 16), expected[r]) << "round " << r;
}

TEST_P(Aes128Engines, BlocksAreIndependentAndWorkInPlace) {
    // ECB runs of every length up to a few times the 4-block stride, checked
    // block by block against the single-block call, in place and not.
    std::mt19937 rng(42);
    std::vector<std::uint8_t> key(16);
    for (auto& b : key)
        b = static_cast<std::uint8_t>(rng());
    const Aes128 aes = make(key);
    for (std::size_t blocks = 0; blocks <= 13; ++blocks) {
        std::vector<std::uint8_t> plain(16 * blocks);
        for (auto& b : plain)
            b = static_cast<std::uint8_t>(rng());
        std::vector<std::uint8_t> ecb(plain.size());
        aes.encryptBlocks(plain.data(), ecb.data(), blocks);
        for (std::size_t i = 0; i < blocks; ++i) {
            std::uint8_t one[16];
            aes.encryptBlock(plain.data() + 16 * i, one);
            ASSERT_EQ(toHex(one, 16), toHex(ecb.data() + 16 * i, 16)) << blocks << "/" << i;
        }
        std::vector<std::uint8_t> inPlace = plain;
        aes.encryptBlocks(inPlace.data(), inPlace.data(), blocks);
        EXPECT_EQ(inPlace, ecb);
        aes.decryptBlocks(inPlace.data(), inPlace.data(), blocks);
        EXPECT_EQ(inPlace, plain);
    }
}

TEST_P(Aes128Engines, MaskedRunsEqualXorThenCipher) {
    const Aes128 aes = make(fromHex("000102030405060708090a0b0c0d0e0f"));
    const auto mask = fromHex("0f1e2d3c4b5a69788796a5b4c3d2e1f0");
    std::vector<std::uint8_t> plain = test::patternBytes(16 * 9);
    std::vector<std::uint8_t> masked = plain;
    for (std::size_t i = 0; i < masked.size(); ++i)
        masked[i] ^= mask[i % 16];

    std::vector<std::uint8_t> expected(plain.size());
    aes.encryptBlocks(masked.data(), expected.data(), 9);
    std::vector<std::uint8_t> got = plain;
    aes.encryptBlocksMasked(got.data(), got.data(), 9, mask.data());
    EXPECT_EQ(got, expected);

    aes.decryptBlocksMasked(got.data(), got.data(), 9, mask.data());
    EXPECT_EQ(got, plain);
}

TEST_P(Aes128Engines, UnalignedBuffers) {
    const Aes128 aes = make(fromHex("000102030405060708090a0b0c0d0e0f"));
    const auto plain = fromHex("00112233445566778899aabbccddeeff");
    std::vector<std::uint8_t> buf(16 * 5 + 7);
    for (std::size_t offset = 1; offset < 8; offset += 3) {
        std::uint8_t* p = buf.data() + offset;
        for (int i = 0; i < 5; ++i)
            std::copy(plain.begin(), plain.end(), p + 16 * i);
        aes.encryptBlocks(p, p, 5);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(toHex(p + 16 * i, 16), "69c4e0d86a7b0430d8cdb78070b4c55a");
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Aes128Engines,
                         ::testing::Values(AesEngine::Portable, AesEngine::Hardware),
                         [](const auto& info) {
                             return info.param == AesEngine::Portable ? std::string("Portable")
                                                                      : std::string("Hardware");
                         });

TEST(Aes128, EnginesAgreeOnRandomKeysAndData) {
    if (!aesHardwareAvailable())
        GTEST_SKIP() << "no AES-NI on this processor";
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        std::uint8_t key[16];
        for (auto& b : key)
            b = static_cast<std::uint8_t>(rng());
        const Aes128 hw(key, AesEngine::Hardware);
        const Aes128 sw(key, AesEngine::Portable);
        std::vector<std::uint8_t> data(16 * 11);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        std::vector<std::uint8_t> a(data.size()), b(data.size());
        hw.encryptBlocks(data.data(), a.data(), 11);
        sw.encryptBlocks(data.data(), b.data(), 11);
        ASSERT_EQ(a, b);
        hw.decryptBlocks(data.data(), a.data(), 11);
        sw.decryptBlocks(data.data(), b.data(), 11);
        ASSERT_EQ(a, b);
    }
}

TEST(Aes128, AutomaticPicksHardwareExactlyWhenAvailable) {
    const auto key = fromHex("000102030405060708090a0b0c0d0e0f");
    const Aes128 aes(key.data());
    EXPECT_EQ(aes.engine(), aesHardwareAvailable() ? AesEngine::Hardware : AesEngine::Portable);
}

} // namespace
} // namespace dravolin::crypto
