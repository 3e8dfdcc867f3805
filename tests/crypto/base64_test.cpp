#include "base64.h"

#include "guarded_buffer.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace dravolin::crypto {
namespace {

using test::toHex;

std::string encode(const std::string& s) {
    return base64Encode(s.data(), s.size());
}

std::optional<std::string> strictDecode(const std::string& text) {
    std::vector<std::uint8_t> out(text.size());
    auto n = base64Decode(text, out.data(), out.size());
    if (!n)
        return std::nullopt;
    return std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*n));
}

// Decodes with the given room into a buffer pre-filled with 0xAA, returning
// the count and the whole buffer, so writes beyond the count show up.
std::pair<std::size_t, std::vector<std::uint8_t>> lenient(std::string_view text, std::size_t room) {
    std::vector<std::uint8_t> out(room + 8, 0xAA);
    const std::size_t n = decodeBinaryValue(text, out.data(), room);
    return {n, out};
}

TEST(Base64, Rfc4648Section10Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, text] : vectors) {
        EXPECT_EQ(encode(plain), text);
        EXPECT_EQ(base64EncodedSize(plain.size()), text.size());
        EXPECT_EQ(strictDecode(text), plain) << text;
    }
}

TEST(Base64, WholeAlphabetAndAllByteValuesRoundTrip) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    const std::string text = encode(all);
    EXPECT_EQ(
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
        std::string::npos);
    EXPECT_EQ(strictDecode(text), all);
    EXPECT_EQ(encode("\xfb\xff"), "+/8=");
}

TEST(Base64, StrictDecoderRejectsNonCanonicalText) {
    for (const char* bad :
         {"Zg=", "Zg", "Z===", "Zg=a", "Zg==Zg==", "Zm9v!A==", "Zh==", "Zm9=", "====", "Zm 9v"})
        EXPECT_FALSE(strictDecode(bad).has_value()) << bad;
    std::uint8_t out[2];
    EXPECT_FALSE(base64Decode("Zm9v", out, sizeof out).has_value()) << "does not fit";
}

TEST(BinaryValue, EncodingCarriesThePrefix) {
    EXPECT_EQ(encodeBinaryValue("", 0), "0b");
    EXPECT_EQ(encodeBinaryValue("foobar", 6), "0bZm9vYmFy");
    const std::uint8_t sixteen[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const std::string v = encodeBinaryValue(sixteen, 16);
    EXPECT_EQ(v.size(), 26u);
    EXPECT_EQ(binaryValueSize(16), 26u);
    EXPECT_EQ(v, "0bAAECAwQFBgcICQoLDA0ODw==");
}

TEST(BinaryValue, DecoderRoundTripsEncodedValuesUpTo30Bytes) {
    for (std::size_t size = 0; size <= 30; ++size) {
        const auto bytes = test::patternBytes(size);
        const std::string text = encodeBinaryValue(bytes.data(), size);
        auto [n, out] = lenient(text, 32);
        ASSERT_EQ(n, size);
        EXPECT_EQ(toHex(out.data(), n), toHex(bytes.data(), size));
    }
}

TEST(BinaryValue, DecoderRules) {
    // Fewer than three characters: nothing, and nothing written.
    for (const char* t : {"", "0", "0b"}) {
        auto [n, out] = lenient(t, 32);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(out[0], 0xAA);
    }
    // The prefix is skipped unchecked.
    {
        auto [n, out] = lenient("xyZm9v", 32);
        EXPECT_EQ(n, 3u);
        EXPECT_EQ(std::string(out.begin(), out.begin() + 3), "foo");
    }
    // Every group writes three bytes; "=" counts as 0 and shortens the count.
    {
        auto [n, out] = lenient("0bZg==", 32);
        EXPECT_EQ(n, 1u);
        EXPECT_EQ(toHex(out.data(), 4), "660000aa");
    }
    {
        auto [n, out] = lenient("0bZm8=", 32);
        EXPECT_EQ(n, 2u);
        EXPECT_EQ(toHex(out.data(), 4), "666f00aa");
    }
    // Padding in the middle: the groups still land three bytes apart and
    // the count is the sum of what each group counts.
    {
        auto [n, out] = lenient("0bZg==Zm9v", 32);
        EXPECT_EQ(n, 4u);
        EXPECT_EQ(toHex(out.data(), 6), "660000666f6f");
    }
    // A third-character "=" counts one byte even when the fourth is data.
    {
        auto [n, out] = lenient("0bZg=v", 32);
        EXPECT_EQ(n, 1u);
    }
}

TEST(BinaryValue, RoomLimitsTheGroups) {
    // 33 bytes encode to 11 groups; room for 32 takes 10 of them.
    const auto bytes = test::patternBytes(33);
    const std::string text = encodeBinaryValue(bytes.data(), bytes.size());
    auto [n, out] = lenient(text, 32);
    EXPECT_EQ(n, 30u);
    EXPECT_EQ(toHex(out.data(), 30), toHex(bytes.data(), 30));
    EXPECT_EQ(out[30], 0xAA);
    EXPECT_EQ(out[31], 0xAA);

    // Room that is not a multiple of three.
    auto [m, out2] = lenient(text, 16);
    EXPECT_EQ(m, 15u);
    EXPECT_EQ(out2[15], 0xAA);

    // Room under three bytes: nothing at all.
    auto [k, out3] = lenient(text, 2);
    EXPECT_EQ(k, 0u);
    EXPECT_EQ(out3[0], 0xAA);
}

TEST(BinaryValue, ProofsOf15And17BytesAreTellable) {
    // The mutual check needs exactly 16 bytes: neighbours must not look alike.
    for (std::size_t size : {15u, 16u, 17u}) {
        const auto bytes = test::patternBytes(size);
        auto [n, out] = lenient(encodeBinaryValue(bytes.data(), size), 32);
        EXPECT_EQ(n, size);
    }
}

TEST(BinaryValue, MalformedTextIsDecodedWithoutFailing) {
    // A short final group reads as if padded with "=".
    EXPECT_EQ(lenient("0bZm9", 32).first, 2u);
    EXPECT_EQ(lenient("0bZm", 32).first, 1u);
    EXPECT_EQ(lenient("0bZ", 32).first, 1u);
    EXPECT_EQ(lenient("0bZm9vY", 32).first, 4u);
    // Characters outside the alphabet stand for 0.
    {
        auto [n, out] = lenient("0b!!!!", 32);
        EXPECT_EQ(n, 3u);
        EXPECT_EQ(toHex(out.data(), 3), "000000");
    }
    // Embedded NULs and high bytes are plain characters here.
    const std::string weird("0b\0\xff\x80=", 6);
    EXPECT_EQ(lenient(weird, 32).first, 2u);
}

TEST(Base64Guarded, DecodersNeverReadPastTheirInput) {
    // Each text sits right before an inaccessible page; a read past its end
    // would crash the test.
    const std::string source = encodeBinaryValue(test::patternBytes(40).data(), 40) + "=!Zm9";
    for (std::size_t len = 0; len <= source.size(); ++len) {
        test::GuardedBuffer in(len);
        ASSERT_TRUE(in.valid());
        std::memcpy(in.data(), source.data(), len);
        const std::string_view text(reinterpret_cast<const char*>(in.data()), len);

        std::uint8_t out[64];
        const std::size_t n = decodeBinaryValue(text, out, 32);
        EXPECT_LE(n, 32u);
        if (len >= 2) {
            std::vector<std::uint8_t> strictOut(64);
            (void)base64Decode(text.substr(2), strictOut.data(), strictOut.size());
        }
    }
}

TEST(Base64Guarded, DecodersNeverWritePastTheirRoom) {
    const std::string text = encodeBinaryValue(test::patternBytes(40).data(), 40);
    for (std::size_t room = 0; room <= 34; ++room) {
        test::GuardedBuffer out(room);
        ASSERT_TRUE(out.valid());
        EXPECT_LE(decodeBinaryValue(text, out.data(), room), room);
        (void)base64Decode(std::string_view(text).substr(2), out.data(), room);
    }
}

} // namespace
} // namespace dravolin::crypto
