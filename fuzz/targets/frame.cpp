// The encrypted-channel frame decoder.
//  - arbitrary received bytes: the decoder stays inside the frame and the
//    text room (exact-size buffers), a rejected frame leaves the text
//    untouched, an accepted one yields a NUL-terminated text that fits;
//  - encode then decode gives the text back (up to its first NUL), the
//    frame has the size its text calls for, and a frame with any one bit
//    flipped, cut short or lengthened is rejected;
//  - a stream of frames (mode bit 8): the texts come out of the reassembler
//    the same whether each frame is its own receive, all of them arrive in
//    one, or the stream is cut into pieces of any size; the same holds for a
//    stream with one damaged byte, which never yields a text from the damage
//    on.
#include "harness.h"

#include "crypto/crypto_provider.h"
#include "crypto/frame_codec.h"
#include "crypto/frame_reassembler.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
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

struct StreamOutcome {
    std::vector<std::string> texts;
    dravolin::crypto::FrameReassembler::Status last{};
    dravolin::crypto::FrameError error{};
    bool partial = false;
    bool operator==(const StreamOutcome&) const = default;
};

// Feeds `stream` in pieces of the given sizes (the last piece takes the rest), each piece
// from a buffer of its exact size.
StreamOutcome Reassemble(const dravolin::crypto::ChannelCipher& cipher,
                         const std::vector<std::uint8_t>& stream,
                         const std::vector<std::size_t>& pieces) {
    using dravolin::crypto::FrameReassembler;
    FrameReassembler r(cipher);
    StreamOutcome out;
    out.last = FrameReassembler::Status::NeedMore;
    std::size_t from = 0;
    for (std::size_t i = 0; from < stream.size(); ++i) {
        const std::size_t n =
            i < pieces.size() ? std::min(pieces[i], stream.size() - from) : stream.size() - from;
        auto piece = std::make_unique<std::uint8_t[]>(n);
        std::copy(stream.begin() + static_cast<std::ptrdiff_t>(from),
                  stream.begin() + static_cast<std::ptrdiff_t>(from + n), piece.get());
        r.feed(piece.get(), n);
        while ((out.last = r.next()) == FrameReassembler::Status::Text)
            out.texts.emplace_back(r.text());
        from += n;
        if (out.last == FrameReassembler::Status::Rejected)
            break;
    }
    out.error = r.error();
    // How much of what follows a rejected frame was looked at depends on the pieces.
    out.partial = out.last != FrameReassembler::Status::Rejected && r.holdsPartialFrame();
    return out;
}

// Stream mode: the rest of the input is texts separated by newlines (NULs made '.', since a
// text with a NUL inside only survives as a receive of its own).
int FuzzFrameStream(const dravolin::crypto::ChannelCipher& cipher,
                    dravolin::fuzz::InputReader& in) {
    using namespace dravolin::crypto;
    const std::uint8_t seed = in.byte();
    const std::uint16_t damage = in.u16();
    const std::uint16_t maxPiece = static_cast<std::uint16_t>(1 + in.u16() % 4096);
    std::string rest(in.rest());
    std::replace(rest.begin(), rest.end(), '\0', '.');

    std::vector<std::string> texts;
    std::vector<std::uint8_t> stream;
    std::vector<std::size_t> frameSizes;
    ScriptedRandom random(seed);
    for (std::size_t at = 0; at <= rest.size();) {
        std::size_t end = std::min(rest.find('\n', at), rest.size());
        end = std::min(end, at + kMaxFrameText);
        texts.push_back(rest.substr(at, end - at));
        const auto frame = encodeFrame(cipher, texts.back().data(), texts.back().size(), random);
        stream.insert(stream.end(), frame.begin(), frame.end());
        frameSizes.push_back(frame.size());
        at = end + 1;
    }

    std::vector<std::size_t> cut;
    for (std::uint32_t state = seed, total = 0; total < stream.size();) {
        state = state * 1103515245u + 12345u;
        cut.push_back(1 + (state >> 8) % maxPiece);
        total += static_cast<std::uint32_t>(cut.back());
    }
    const StreamOutcome asSent = Reassemble(cipher, stream, frameSizes);
    FUZZ_REQUIRE(asSent.texts == texts);
    FUZZ_REQUIRE(asSent.last == FrameReassembler::Status::NeedMore && !asSent.partial);
    FUZZ_REQUIRE(Reassemble(cipher, stream, {}) == asSent);
    FUZZ_REQUIRE(Reassemble(cipher, stream, cut) == asSent);
    FUZZ_REQUIRE(Reassemble(cipher, stream, std::vector<std::size_t>(stream.size(), 1)) == asSent);

    // One damaged byte: the frames before it still come out, none from it on, and no cutting
    // changes that.
    std::vector<std::uint8_t> bad = stream;
    const std::size_t where = damage % bad.size();
    bad[where] ^= static_cast<std::uint8_t>(1u << (seed % 8));
    std::size_t intact = 0;
    for (std::size_t sum = 0; sum + frameSizes[intact] <= where; ++intact)
        sum += frameSizes[intact];
    const StreamOutcome damaged = Reassemble(cipher, bad, cut);
    FUZZ_REQUIRE(damaged.texts.size() == intact);
    FUZZ_REQUIRE(std::equal(damaged.texts.begin(), damaged.texts.end(), texts.begin()));
    FUZZ_REQUIRE(damaged.last == FrameReassembler::Status::Rejected || damaged.partial);
    FUZZ_REQUIRE(Reassemble(cipher, bad, {}) == damaged);
    return 0;
}

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
    if (mode & 8)
        return FuzzFrameStream(cipher, in);
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
