#include "frame_codec.h"
#include "frame_reassembler.h"

#include "crypto_provider.h"
#include "guarded_buffer.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace dravolin::crypto {
namespace {

using test::toHex;

// Padding from a counter, so frames are reproducible.
class CountingProvider : public CryptoProvider {
  public:
    bool fill(void* buffer, std::size_t count) override {
        auto p = static_cast<std::uint8_t*>(buffer);
        for (std::size_t i = 0; i < count; ++i)
            p[i] = next_++;
        return true;
    }

  private:
    std::uint8_t next_ = 0x41;
};

class FailingProvider : public CryptoProvider {
  public:
    bool fill(void*, std::size_t) override { return false; }
};

const std::uint8_t kChallenge[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe,
                                     0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
const char kSecret[] = "peer-secret-12";

ChannelCipher testCipher(AesEngine engine = AesEngine::Automatic) {
    return ChannelCipher(kChallenge, sizeof kChallenge, kSecret, std::strlen(kSecret), engine);
}

std::vector<std::uint8_t> encode(const ChannelCipher& c, const std::string& text) {
    CryptoProvider random;
    return encodeFrame(c, text.data(), text.size(), random);
}

// Decodes a copy of the frame.
FrameDecodeResult decodeCopy(const ChannelCipher& c, std::vector<std::uint8_t> frame,
                             std::string* text = nullptr) {
    std::vector<char> out(kFrameTextCapacity);
    auto r = decodeFrame(c, frame.data(), frame.size(), out.data(), out.size());
    if (r.ok() && text)
        text->assign(out.data(), r.textLength);
    return r;
}

TEST(ChannelKey, IsDigestOfChallengeThenSecret) {
    std::uint8_t key[16], expected[16], reversed[16];
    deriveChannelKey(kChallenge, sizeof kChallenge, kSecret, std::strlen(kSecret), key);
    std::string concat(reinterpret_cast<const char*>(kChallenge), sizeof kChallenge);
    concat += kSecret;
    md5(concat.data(), concat.size(), expected);
    EXPECT_EQ(toHex(key, 16), toHex(expected, 16));
    // The login response is the other order; the two must never coincide.
    md5(kSecret, std::strlen(kSecret), kChallenge, sizeof kChallenge, reversed);
    EXPECT_NE(toHex(key, 16), toHex(reversed, 16));
}

TEST(FrameLayout, SizesFollowThePadding) {
    const auto c = testCipher();
    EXPECT_EQ(encode(c, "").size(), 32u);
    EXPECT_EQ(encode(c, std::string(15, 'x')).size(), 32u);
    EXPECT_EQ(encode(c, std::string(16, 'x')).size(), 48u);
    EXPECT_EQ(encode(c, std::string(17, 'x')).size(), 48u);
    EXPECT_EQ(encode(c, std::string(31, 'x')).size(), 48u);
    EXPECT_EQ(encode(c, std::string(32, 'x')).size(), 64u);
}

TEST(FrameLayout, BytesAreTheEncryptedDigestThenMaskedBlocks) {
    // Rebuild a frame by hand from MD5 and single-block AES and compare.
    const auto c = testCipher();
    const std::string text = "list -what:\"devices\"\n"; // 21 bytes -> 32 padded
    CountingProvider random;
    std::vector<std::uint8_t> frame(frameSizeForText(text.size()));
    ASSERT_EQ(encodeFrame(c, text.data(), text.size(), frame.data(), frame.size(), random), 48u);

    std::vector<std::uint8_t> padded(32);
    std::memcpy(padded.data(), text.data(), text.size());
    padded[21] = 0;
    for (std::size_t i = 22; i < 32; ++i)
        padded[i] = static_cast<std::uint8_t>(0x41 + (i - 21)); // byte 21 was the NUL's slot
    std::uint8_t d[16];
    md5(padded.data(), padded.size(), d);

    std::uint8_t block[16];
    c.aes().encryptBlock(d, block);
    EXPECT_EQ(toHex(frame.data(), 16), toHex(block, 16));
    for (std::size_t b = 0; b < 2; ++b) {
        std::uint8_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = padded[16 * b + i] ^ d[i];
        c.aes().encryptBlock(x, block);
        EXPECT_EQ(toHex(frame.data() + 16 + 16 * b, 16), toHex(block, 16)) << "block " << b;
    }
}

TEST(FrameLayout, EmptyTextIsOneBlockOfPaddingStartingWithNul) {
    const auto c = testCipher();
    auto frame = encode(c, "");
    ASSERT_EQ(frame.size(), 32u);
    std::uint8_t d[16], p[16];
    c.aes().decryptBlock(frame.data(), d);
    c.aes().decryptBlock(frame.data() + 16, p);
    for (int i = 0; i < 16; ++i)
        p[i] ^= d[i];
    EXPECT_EQ(p[0], 0);
    std::uint8_t check[16];
    md5(p, 16, check);
    EXPECT_EQ(toHex(check, 16), toHex(d, 16));
}

TEST(FrameLayout, SameTextTwiceGivesDifferentFrames) {
    const auto c = testCipher();
    const std::string text = "get CtlAuthMode\n";
    const auto a = encode(c, text), b = encode(c, text);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_NE(a, b);
    // Every block differs, since the digest masks every block.
    for (std::size_t i = 0; i < a.size(); i += 16)
        EXPECT_NE(toHex(a.data() + i, 16), toHex(b.data() + i, 16)) << "block at " << i;
}

TEST(FrameRoundTrip, TextsOfManyLengths) {
    const auto c = testCipher();
    for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 100u, 4095u, 4096u, 32766u, 32767u}) {
        std::string text(n, '\0');
        for (std::size_t i = 0; i < n; ++i)
            text[i] = static_cast<char>('a' + i % 26);
        std::string back;
        auto r = decodeCopy(c, encode(c, text), &back);
        ASSERT_TRUE(r.ok()) << n;
        EXPECT_EQ(back, text) << n;
    }
}

TEST(FrameRoundTrip, EnginesInteroperate) {
    if (!aesHardwareAvailable())
        GTEST_SKIP() << "no AES-NI on this processor";
    const auto hw = testCipher(AesEngine::Hardware);
    const auto sw = testCipher(AesEngine::Portable);
    const std::string text(1000, 'q');
    std::string back;
    ASSERT_TRUE(decodeCopy(sw, encode(hw, text), &back).ok());
    EXPECT_EQ(back, text);
    ASSERT_TRUE(decodeCopy(hw, encode(sw, text), &back).ok());
    EXPECT_EQ(back, text);
}

TEST(FrameRoundTrip, InPlaceEncodeAndDecode) {
    const auto c = testCipher();
    const std::string text = "auth ok -crypt:yes\n";
    std::vector<std::uint8_t> buf(frameSizeForText(text.size()));
    std::memcpy(buf.data() + 16, text.data(), text.size());
    CryptoProvider random;
    const std::size_t size =
        encodeFrame(c, buf.data() + 16, text.size(), buf.data(), buf.size(), random);
    ASSERT_EQ(size, 48u);
    // Decoding into the frame's own buffer.
    char* out = reinterpret_cast<char*>(buf.data());
    auto r = decodeFrame(c, buf.data(), size, out, buf.size());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(std::string(out, r.textLength), text);
    EXPECT_EQ(out[r.textLength], '\0');
}

TEST(FrameRejection, WrongSizes) {
    const auto c = testCipher();
    char out[64];
    std::vector<std::uint8_t> bytes(64, 0x5c);
    EXPECT_EQ(decodeFrame(c, bytes.data(), 0, out, sizeof out).error, FrameError::TooShort);
    EXPECT_EQ(decodeFrame(c, bytes.data(), 16, out, sizeof out).error, FrameError::TooShort);
    EXPECT_EQ(decodeFrame(c, bytes.data(), 31, out, sizeof out).error, FrameError::TooShort);
    EXPECT_EQ(decodeFrame(c, bytes.data(), 40, out, sizeof out).error,
              FrameError::NotBlockMultiple);
    EXPECT_EQ(decodeFrame(c, bytes.data(), 33, out, sizeof out).error,
              FrameError::NotBlockMultiple);
    // Random bytes of a valid size fail the digest check.
    EXPECT_EQ(decodeFrame(c, bytes.data(), 48, out, sizeof out).error, FrameError::DigestMismatch);
}

TEST(FrameRejection, EveryFlippedBitIsDetected) {
    const auto c = testCipher();
    const auto frame = encode(c, "set CtlLogLevel 3\n"); // 48 bytes
    for (std::size_t bit = 0; bit < frame.size() * 8; ++bit) {
        auto bad = frame;
        bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        char out[64];
        std::memset(out, 0x7e, sizeof out);
        auto r = decodeFrame(c, bad.data(), bad.size(), out, sizeof out);
        ASSERT_EQ(r.error, FrameError::DigestMismatch) << "bit " << bit;
        EXPECT_EQ(out[0], 0x7e) << "rejected frame wrote text";
    }
}

TEST(FrameRejection, SplitOrJoinedFramesAndWrongKey) {
    const auto c = testCipher();
    const auto a = encode(c, std::string(40, 'a')); // 64 bytes
    const auto b = encode(c, "second\n");
    // The first 32 bytes of a frame, as one receive might return them.
    std::vector<std::uint8_t> head(a.begin(), a.begin() + 32);
    EXPECT_EQ(decodeCopy(c, head).error, FrameError::DigestMismatch);
    std::vector<std::uint8_t> joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    EXPECT_EQ(decodeCopy(c, joined).error, FrameError::DigestMismatch);

    const std::uint8_t otherChallenge[16] = {1};
    const ChannelCipher other(otherChallenge, 16, kSecret, std::strlen(kSecret));
    EXPECT_EQ(decodeCopy(other, a).error, FrameError::DigestMismatch);
}

TEST(FrameRejection, TextMustFitWithItsTerminator) {
    // A foreign frame whose padded text has no NUL at all: the whole body is
    // text. 32768 such bytes cannot be delivered with a terminator into the
    // 32768-byte receive room.
    const auto c = testCipher();
    auto build = [&](std::size_t bodySize) {
        std::vector<std::uint8_t> frame(16 + bodySize, 'z');
        std::uint8_t d[16];
        md5(frame.data() + 16, bodySize, d);
        c.aes().encryptBlock(d, frame.data());
        c.aes().encryptBlocksMasked(frame.data() + 16, frame.data() + 16, bodySize / 16, d);
        return frame;
    };
    std::string back;
    auto r = decodeCopy(c, build(kFrameTextCapacity - 16), &back);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(back, std::string(kFrameTextCapacity - 16, 'z'));
    EXPECT_EQ(decodeCopy(c, build(kFrameTextCapacity)).error, FrameError::TextTooLong);

    // A sender may put up to 32767 text bytes in a frame; one more does not fit.
    EXPECT_TRUE(decodeCopy(c, encode(c, std::string(kMaxFrameText, 'y'))).ok());
    auto big = encode(c, std::string(kMaxFrameText + 1, 'y'));
    EXPECT_EQ(big.size(), kMaxFrameSize + 16);
    EXPECT_EQ(decodeCopy(c, big).error, FrameError::TextTooLong);

    // No room at all.
    auto small = encode(c, "x");
    char none[1];
    EXPECT_EQ(decodeFrame(c, small.data(), small.size(), none, 0).error, FrameError::TextTooLong);
}

TEST(FrameEncode, RefusesTooLittleRoomAndFailedRandomness) {
    const auto c = testCipher();
    std::vector<std::uint8_t> frame(32);
    CryptoProvider random;
    EXPECT_EQ(encodeFrame(c, "0123456789abcdef", 16, frame.data(), 47, random), 0u);
    FailingProvider failing;
    EXPECT_EQ(encodeFrame(c, "abc", 3, frame.data(), frame.size(), failing), 0u);
    EXPECT_TRUE(encodeFrame(c, "abc", 3, failing).empty());
}

TEST(FrameGuarded, DecoderStaysInsideItsBuffers) {
    // Frames and the text room end right before an inaccessible page.
    const auto c = testCipher();
    const auto good = encode(c, std::string(37, 'g')); // 64 bytes
    for (std::size_t size : {0u, 15u, 16u, 31u, 32u, 40u, 48u, 64u}) {
        test::GuardedBuffer frame(size);
        ASSERT_TRUE(frame.valid());
        std::memcpy(frame.data(), good.data(), std::min(size, good.size()));
        test::GuardedBuffer text(38); // exactly the text and its NUL
        auto r =
            decodeFrame(c, frame.data(), size, reinterpret_cast<char*>(text.data()), text.size());
        EXPECT_EQ(r.ok(), size == 64u) << size;
    }
    // Room one byte too small for the text's terminator.
    test::GuardedBuffer frame(good.size());
    std::memcpy(frame.data(), good.data(), good.size());
    test::GuardedBuffer text(37);
    EXPECT_EQ(
        decodeFrame(c, frame.data(), good.size(), reinterpret_cast<char*>(text.data()), 37).error,
        FrameError::TextTooLong);
}

TEST(FrameConcurrency, ThreadsShareOneCipher) {
    // The worker and the caller's threads may each hold frames of the same
    // connection key; random draws are per thread. Run under TSan too.
    const auto c = testCipher();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    std::vector<std::vector<std::uint8_t>> firstFrames(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const std::string text = "thread " + std::to_string(t) + "\n";
            for (int i = 0; i < 200; ++i) {
                auto frame = encode(c, text);
                if (i == 0)
                    firstFrames[static_cast<std::size_t>(t)] = frame;
                std::string back;
                if (!decodeCopy(c, frame, &back).ok() || back != text)
                    ++failures;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    // Padding drawn in different threads differs as well.
    for (std::size_t i = 1; i < firstFrames.size(); ++i)
        EXPECT_NE(toHex(firstFrames[0].data(), 16), toHex(firstFrames[i].data(), 16));
}

TEST(ConstantTimeEqual, ComparesAllSixteenBytes) {
    std::uint8_t a[16], b[16];
    for (int i = 0; i < 16; ++i)
        a[i] = b[i] = static_cast<std::uint8_t>(i * 17);
    EXPECT_TRUE(constantTimeEqual16(a, b));
    for (int i = 0; i < 16; ++i) {
        b[i] ^= 0x80;
        EXPECT_FALSE(constantTimeEqual16(a, b)) << i;
        b[i] ^= 0x80;
    }
}

// ---- Reassembly of frames from a byte stream ----

using Status = FrameReassembler::Status;

// What a stream gave: its texts in order, and how it ended.
struct StreamOutcome {
    std::vector<std::string> texts;
    Status last = Status::NeedMore;
    FrameError error = FrameError::None;
    bool partial = false;
};

// Feeds `stream` cut at `cuts` (ascending offsets), each piece from its own buffer ending at a
// guard page, and takes every text after each piece.
StreamOutcome reassemble(const ChannelCipher& c, const std::vector<std::uint8_t>& stream,
                         const std::vector<std::size_t>& cuts) {
    FrameReassembler r(c);
    StreamOutcome out;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size() && out.last != Status::Rejected; ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : stream.size();
        test::GuardedBuffer piece(to - from);
        if (to > from)
            std::memcpy(piece.data(), stream.data() + from, to - from);
        r.feed(piece.data(), to - from);
        while ((out.last = r.next()) == Status::Text)
            out.texts.emplace_back(r.text());
        from = to;
    }
    out.error = r.error();
    out.partial = r.holdsPartialFrame();
    return out;
}

std::vector<std::uint8_t> join(const ChannelCipher& c, const std::vector<std::string>& texts) {
    std::vector<std::uint8_t> stream;
    for (const auto& t : texts) {
        const auto f = encode(c, t);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    return stream;
}

std::string letters(std::size_t n, char first = 'a') {
    std::string s(n, ' ');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(first + i % 26);
    return s;
}

// A frame built by hand: `body` (whole blocks) masked and encrypted under the digest `d`.
std::vector<std::uint8_t> rawFrame(const ChannelCipher& c, std::vector<std::uint8_t> body,
                                   const std::uint8_t d[16]) {
    std::vector<std::uint8_t> frame(16 + body.size());
    c.aes().encryptBlock(d, frame.data());
    c.aes().encryptBlocksMasked(body.data(), frame.data() + 16, body.size() / 16, d);
    return frame;
}

const std::vector<std::string> kTexts = {"200 OK\r\n",         "",       letters(15), letters(16),
                                         letters(47) + "\r\n", "end\r\n"};

TEST(FrameStream, WholeFramesEachInItsOwnReceive) {
    const auto c = testCipher();
    FrameReassembler r(c);
    for (const auto& t : kTexts) {
        const auto f = encode(c, t);
        r.feed(f.data(), f.size());
        ASSERT_EQ(r.next(), Status::Text);
        EXPECT_EQ(r.text(), t);
        EXPECT_EQ(r.next(), Status::NeedMore);
        EXPECT_FALSE(r.holdsPartialFrame());
    }
}

TEST(FrameStream, CoalescedByteByByteAndSplitAtEveryOffsetGiveTheSameTexts) {
    const auto c = testCipher();
    const auto stream = join(c, kTexts);
    const auto whole = reassemble(c, stream, {});
    EXPECT_EQ(whole.texts, kTexts);
    EXPECT_EQ(whole.last, Status::NeedMore);
    EXPECT_FALSE(whole.partial);

    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < stream.size(); ++i)
        everyByte.push_back(i);
    EXPECT_EQ(reassemble(c, stream, everyByte).texts, kTexts);

    for (std::size_t at = 0; at <= stream.size(); ++at) {
        const auto split = reassemble(c, stream, {at});
        ASSERT_EQ(split.texts, kTexts) << "split at " << at;
        ASSERT_EQ(split.last, Status::NeedMore);
    }
}

TEST(FrameStream, LargeFramesSurviveSegmentSizedAndRandomCuts) {
    const auto c = testCipher();
    const std::vector<std::string> texts = {letters(kMaxFrameText), "x\r\n", letters(20000, 'A'),
                                            letters(kMaxFrameText - 16)};
    const auto stream = join(c, texts);
    std::vector<std::size_t> segments; // an Ethernet-sized link
    for (std::size_t at = 1448; at < stream.size(); at += 1448)
        segments.push_back(at);
    EXPECT_EQ(reassemble(c, stream, segments).texts, texts);

    std::mt19937 rng(11);
    for (int round = 0; round < 20; ++round) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0;;) {
            at += 1 + rng() % 5000;
            if (at >= stream.size())
                break;
            cuts.push_back(at);
        }
        ASSERT_EQ(reassemble(c, stream, cuts).texts, texts) << "round " << round;
    }
}

TEST(FrameStream, LargestFrameEndsExactlyAtTheLimit) {
    const auto c = testCipher();
    const auto frame = encode(c, letters(kMaxFrameText));
    ASSERT_EQ(frame.size(), kMaxFrameSize);
    const auto out = reassemble(c, frame, {kMaxFrameSize - 1});
    ASSERT_EQ(out.texts.size(), 1u);
    EXPECT_EQ(out.texts[0], letters(kMaxFrameText));
}

TEST(FrameStream, AnIncompleteFrameIsHeldAndNeedsMore) {
    const auto c = testCipher();
    const auto stream = join(c, {"first\r\n", letters(100)});
    const auto out = reassemble(c, std::vector<std::uint8_t>(stream.begin(), stream.end() - 1), {});
    EXPECT_EQ(out.texts, std::vector<std::string>{"first\r\n"});
    EXPECT_EQ(out.last, Status::NeedMore);
    EXPECT_TRUE(out.partial); // the caller's cue for its idle limit and for a closed stream
    // Less than one block, and exactly one block, are held as well.
    for (std::size_t n : {1u, 15u, 16u, 31u}) {
        EXPECT_TRUE(reassemble(c, std::vector<std::uint8_t>(stream.begin(), stream.begin() + n), {})
                        .partial)
            << n;
    }
}

TEST(FrameStreamRejection, DigestFailureAtAFramesEnd) {
    const auto c = testCipher();
    const auto stream = join(c, {"one\r\n", letters(60), "three\r\n"});
    // The second frame: digest block at 32, body blocks at 48, 64, 80 and its last at 96.
    for (std::size_t byte = 48; byte < 96; byte += 5) {
        auto bad = stream;
        bad[byte] ^= 0x20;
        for (const auto& cuts : std::vector<std::vector<std::size_t>>{{}, {byte}, {byte + 1}}) {
            const auto out = reassemble(c, bad, cuts);
            EXPECT_EQ(out.texts, std::vector<std::string>{"one\r\n"}) << byte;
            EXPECT_EQ(out.last, Status::Rejected) << byte;
            EXPECT_EQ(out.error, FrameError::DigestMismatch) << byte;
        }
    }
    // A damaged digest block or last block hides where the frame ends: nothing after the
    // damage is delivered, and the stream is rejected or left holding an unfinished frame
    // (which the idle limit and the peer's close then end).
    for (std::size_t byte : {32u, 40u, 47u, 96u, 111u}) {
        auto bad = stream;
        bad[byte] ^= 0x01;
        const auto out = reassemble(c, bad, {});
        EXPECT_EQ(out.texts, std::vector<std::string>{"one\r\n"}) << byte;
        EXPECT_TRUE(out.last == Status::Rejected || out.partial) << byte;
    }
    // Under a wrong key, or one byte out of step, no text comes out.
    const std::uint8_t otherChallenge[16] = {1};
    const ChannelCipher other(otherChallenge, 16, kSecret, std::strlen(kSecret));
    auto out = reassemble(other, stream, {});
    EXPECT_TRUE(out.texts.empty());
    EXPECT_TRUE(out.last == Status::Rejected || out.partial);
    auto frame = encode(c, "abc\r\n");
    auto shifted = frame;
    shifted.push_back(0x33);
    shifted.insert(shifted.end(), stream.begin(), stream.end());
    out = reassemble(c, shifted, {});
    EXPECT_EQ(out.texts, std::vector<std::string>{"abc\r\n"});
    EXPECT_TRUE(out.last == Status::Rejected || out.partial);
}

TEST(FrameStreamRejection, IsStickyUntilReset) {
    const auto c = testCipher();
    auto bad = encode(c, letters(40)); // three body blocks; the first one damaged
    bad[20] ^= 1;
    const auto good = encode(c, "good\r\n");
    FrameReassembler r(c);
    r.feed(bad.data(), bad.size());
    EXPECT_EQ(r.next(), Status::Rejected);
    r.feed(good.data(), good.size());
    EXPECT_EQ(r.next(), Status::Rejected);
    r.reset();
    EXPECT_EQ(r.error(), FrameError::None);
    r.feed(good.data(), good.size());
    ASSERT_EQ(r.next(), Status::Text);
    EXPECT_EQ(r.text(), "good\r\n");
}

TEST(FrameStreamRejection, MoreThanTheLargestFrameWithoutAnEnd) {
    // 2,049 blocks (32,784 bytes) none of which holds a NUL: one byte more cannot belong to
    // any frame.
    const auto c = testCipher();
    std::uint8_t d[16];
    md5("not the digest", 14, d);
    const auto endless = rawFrame(c, std::vector<std::uint8_t>(kMaxFrameSize - 16, 'q'), d);
    for (const auto& cuts : std::vector<std::vector<std::size_t>>{{}, {1000, 20000}}) {
        auto out = reassemble(c, endless, cuts);
        EXPECT_EQ(out.last, Status::NeedMore);
        EXPECT_TRUE(out.partial);
        auto more = endless;
        more.push_back(0);
        out = reassemble(c, more, cuts);
        EXPECT_EQ(out.last, Status::Rejected);
        EXPECT_EQ(out.error, FrameError::NoFrameEnd);
        out = reassemble(c, more, {kMaxFrameSize});
        EXPECT_EQ(out.error, FrameError::NoFrameEnd);
    }
}

TEST(FrameStream, AWholeReceiveIsOneFrameEvenWithNulsInItsText) {
    const auto c = testCipher();
    // A text with a NUL inside: the frame's first NUL block is not its last.
    std::string text = letters(40);
    text[3] = '\0';
    const auto frame = encode(c, text);
    auto out = reassemble(c, frame, {});
    ASSERT_EQ(out.texts.size(), 1u);
    EXPECT_EQ(out.texts[0], text.substr(0, 3)); // the text ends at its first NUL, as always
    EXPECT_EQ(out.last, Status::NeedMore);
    // Split, it cannot be told from a broken frame.
    EXPECT_EQ(reassemble(c, frame, {17}).error, FrameError::DigestMismatch);

    // A frame without any NUL: the whole body is text, if it fits.
    std::vector<std::uint8_t> body(64, 'z');
    std::uint8_t d[16];
    md5(body.data(), body.size(), d);
    out = reassemble(c, rawFrame(c, body, d), {});
    ASSERT_EQ(out.texts.size(), 1u);
    EXPECT_EQ(out.texts[0], std::string(64, 'z'));
    body.assign(kFrameTextCapacity, 'z');
    md5(body.data(), body.size(), d);
    EXPECT_EQ(reassemble(c, rawFrame(c, body, d), {}).error, FrameError::TextTooLong);
}

TEST(FrameStream, ResetDropsWhatIsHeld) {
    const auto c = testCipher();
    const auto stream = join(c, {"a\r\n", "b\r\n"});
    FrameReassembler r(c);
    r.feed(stream.data(), 40); // the first frame and 8 bytes of the second
    ASSERT_EQ(r.next(), Status::Text);
    EXPECT_EQ(r.next(), Status::NeedMore);
    EXPECT_TRUE(r.holdsPartialFrame());
    r.reset();
    EXPECT_FALSE(r.holdsPartialFrame());
    r.feed(stream.data() + 32, 32);
    ASSERT_EQ(r.next(), Status::Text);
    EXPECT_EQ(r.text(), "b\r\n");
}

TEST(FrameStream, ResetWipesTheDecryptedText) {
    const auto c = testCipher();
    const std::string secret = "login alice s3cret-password\n";
    const auto stream = join(c, {secret, "b\r\n"});
    FrameReassembler r(c);
    r.feed(stream.data(), stream.size() - 8); // the second frame held unfinished
    ASSERT_EQ(r.next(), Status::Text);
    const std::string_view text = r.text(); // points into the reassembler's own buffer
    ASSERT_EQ(text, secret);
    EXPECT_EQ(r.next(), Status::NeedMore);
    r.reset();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\0'), static_cast<long>(text.size()));
}

} // namespace
} // namespace dravolin::crypto
