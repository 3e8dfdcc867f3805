#include "md5.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <string>

namespace dravolin::crypto {
namespace {

using test::fromHex;
using test::patternBytes;
using test::toHex;

std::string digestHex(const void* data, std::size_t size) {
    std::uint8_t d[kMd5DigestSize];
    md5(data, size, d);
    return toHex(d, sizeof d);
}

std::string digestHex(const std::string& s) {
    return digestHex(s.data(), s.size());
}

TEST(Md5, Rfc1321TestSuite) {
    // RFC 1321, appendix A.5.
    EXPECT_EQ(digestHex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(digestHex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(digestHex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(digestHex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(digestHex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(digestHex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(digestHex("1234567890123456789012345678901234567890"
                        "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, LengthsAroundThePaddingBoundaries) {
    // 55 bytes still fit the length in the last block, 56 need another one;
    // reference digests from an independent implementation.
    const std::pair<std::size_t, const char*> cases[] = {
        {55, "52c0e574e1198de5fe3f8f11440dcb1b"},   {56, "46c9907fc908ee68b1e7b8e71286a518"},
        {57, "1c805dd236c35cab25fcb1bc73802c51"},   {63, "a62f6d59e837867693f042f5b8f5a236"},
        {64, "7160b8fb5e9e4023d549c3971fbaeead"},   {65, "70bd662e7aefbda85a0f7244167b7897"},
        {119, "e84905d4214f4d1ca56c2cdcc152b143"},  {120, "e3eb5a6c8669ea01a8c185b8abc8a5dc"},
        {127, "acce2474d6cc8302120d09c818d17ef7"},  {128, "10b2da1a82f16d99a81a7203fe9f02cb"},
        {1000, "10046f077f2082ac19676b8079f1cb1a"}, {100000, "59f08777fcd1aa2b8e0c8f892cfaae09"},
    };
    for (const auto& [size, expected] : cases) {
        const auto msg = patternBytes(size);
        EXPECT_EQ(digestHex(msg.data(), msg.size()), expected) << "length " << size;
    }
}

TEST(Md5, MillionAs) {
    const std::string msg(1000000, 'a');
    EXPECT_EQ(digestHex(msg), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, AnySplitOfTheMessageGivesTheSameDigest) {
    const auto msg = patternBytes(300); // several blocks and a partial one
    std::uint8_t oneShot[kMd5DigestSize];
    md5(msg.data(), msg.size(), oneShot);

    Md5 bytewise;
    for (std::uint8_t b : msg)
        bytewise.update(&b, 1);
    std::uint8_t d[kMd5DigestSize];
    bytewise.finish(d);
    EXPECT_EQ(toHex(d, 16), toHex(oneShot, 16)) << "byte at a time";

    for (std::size_t split = 0; split <= msg.size(); ++split) {
        Md5 ctx;
        ctx.update(msg.data(), split);
        ctx.update(msg.data() + split, msg.size() - split);
        ctx.finish(d);
        ASSERT_EQ(toHex(d, 16), toHex(oneShot, 16)) << "split at " << split;

        std::uint8_t two[kMd5DigestSize];
        md5(msg.data(), split, msg.data() + split, msg.size() - split, two);
        ASSERT_EQ(toHex(two, 16), toHex(oneShot, 16)) << "two-part digest split at " << split;
    }
}

TEST(Md5, ResetStartsANewMessageAndEmptyUpdatesChangeNothing) {
    Md5 ctx;
    ctx.update("garbage", 7);
    ctx.reset();
    ctx.update(nullptr, 0);
    ctx.update("abc", 3);
    ctx.update(nullptr, 0);
    std::uint8_t d[kMd5DigestSize];
    ctx.finish(d);
    EXPECT_EQ(toHex(d, 16), "900150983cd24fb0d6963f7d28e17f72");
}

} // namespace
} // namespace dravolin::crypto
