// The encrypted-channel frame decoder.
//  - arbitrary received bytes: the decoder stays inside the frame and the
//    text room (exact-size buffers), a rejected frame leaves the text
//    untouched, an accepted one yields a NUL-terminated text that fits;
//  - encode then decode gives the text back (up to its first NUL), the
//    frame has the size its text calls for, and a frame with any one bit
//    flipped, cut short or lengthened is rejected.
#include "harness.h"

#include "crypto/crypto_provider.h"
#include "crypto/frame_codec.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Padding from the input, so that every run is reproducible.
class ScriptedRandom : public dravolin::crypto::CryptoProvider {
  public:
    explicit ScriptedRandom(std::uint8_t seed) : state_(seed) {}
    bool fill(void* buffer, std::size_t count) override {
        auto* p = static_cast<std::uint8_t*>(buffer);
        for (std::size_t i = 0; i < count; ++i)
            p[i] = state_ = static_cast<std::uint8_t>(state_ * 73 + 41);
        return true;
    }

  private:
    std::uint8_t state_;
};

} // namespace

int FuzzFrame(const std::uint8_t* data, std::size_t size) {
    using namespace dravolin::crypto;
    dravolin::fuzz::InputReader in(data, size);
    const std::uint8_t mode = in.byte();
    std::uint8_t key[kAes128KeySize];
    for (auto& b : key)
        b = in.byte();
    // Both engines must agree; the portable one also runs where AES-NI is.
    const ChannelCipher cipher(key, (mode & 2) ? AesEngine::Portable : AesEngine::Automatic);
    const std::size_t room = (mode & 4) ? kFrameTextCapacity : 1 + in.u16() % kFrameTextCapacity;

    if ((mode & 1) == 0) {
        const std::string_view rest = in.rest();
        auto frame = std::make_unique<std::uint8_t[]>(rest.size());
        std::copy(rest.begin(), rest.end(), frame.get());
        auto text = std::make_unique<char[]>(room);
        std::memset(text.get(), 0x5A, room);
        const FrameDecodeResult r = decodeFrame(cipher, frame.get(), rest.size(), text.get(), room);
        if (!r.ok()) {
            FUZZ_REQUIRE(
                std::all_of(text.get(), text.get() + room, [](char c) { return c == 0x5A; }));
            if (rest.size() < 32)
                FUZZ_REQUIRE(r.error == FrameError::TooShort);
        } else {
            FUZZ_REQUIRE(rest.size() >= 32 && rest.size() % 16 == 0);
            FUZZ_REQUIRE(r.textLength < room);
            FUZZ_REQUIRE(text[r.textLength] == '\0');
            FUZZ_REQUIRE(std::memchr(text.get(), 0, r.textLength) == nullptr);
        }
        return 0;
    }

    const std::uint8_t flip = in.byte();
    const std::uint16_t where = in.u16();
    const std::string_view plain = in.rest();
    ScriptedRandom random(flip);
    const std::vector<std::uint8_t> frame = encodeFrame(cipher, plain.data(), plain.size(), random);
    FUZZ_REQUIRE(frame.size() == frameSizeForText(plain.size()));

    const std::size_t expected = std::min(plain.find('\0'), plain.size());
    auto text = std::make_unique<char[]>(room);
    std::vector<std::uint8_t> work = frame;
    const FrameDecodeResult r = decodeFrame(cipher, work.data(), work.size(), text.get(), room);
    if (expected < room) {
        FUZZ_REQUIRE(r.ok());
        FUZZ_REQUIRE(r.textLength == expected);
        FUZZ_REQUIRE(std::memcmp(text.get(), plain.data(), expected) == 0);
    } else {
        FUZZ_REQUIRE(r.error == FrameError::TextTooLong);
    }

    // One flipped bit anywhere.
    work = frame;
    work[where % work.size()] ^= static_cast<std::uint8_t>(1u << (flip % 8));
    FUZZ_REQUIRE(!decodeFrame(cipher, work.data(), work.size(), text.get(), room).ok());

    // A frame split over two receives, or followed by part of the next one.
    work.assign(frame.begin(), frame.begin() + (where % frame.size()));
    FUZZ_REQUIRE(!decodeFrame(cipher, work.data(), work.size(), text.get(), room).ok());
    work = frame;
    work.insert(work.end(), frame.begin(), frame.begin() + 16 * (1 + flip % 2));
    FUZZ_REQUIRE(!decodeFrame(cipher, work.data(), work.size(), text.get(), room).ok());
    return 0;
}
