// The encrypted channel's frame codec.
//
// Channel key K = MD5(server challenge || CHAP secret). A frame carrying L
// text bytes is n + 16 bytes long, n = 16 * (L / 16 + 1):
//   offset 0:  AES(D), D = MD5 of the n padded bytes
//   offset 16: the padded text (text, one NUL, n - L - 1 random bytes),
//              each 16-byte block XORed with D, then encrypted on its own.
// The frame has no length field. One send call carries exactly one frame,
// which peers may rely on; a receiver cannot rely on the reverse, since TCP
// cuts and merges sends at will: frame_reassembler.h finds the frames in the
// byte stream (a frame ends at the first block after its digest block that
// holds a NUL). decodeFrame() below decodes one frame known to be whole.
//
// Everything here is pure code over bytes: no I/O, no allocation except in
// the std::vector convenience overload.
#pragma once

#include "aes128.h"
#include "md5.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dravolin::crypto {

class RandomSource;

inline constexpr std::size_t kFrameDigestSize = 16;
// Text room of one received frame (the terminating NUL included), and the
// largest frame that can carry it.
inline constexpr std::size_t kFrameTextCapacity = 32768;
inline constexpr std::size_t kMaxFrameSize = kFrameTextCapacity + kFrameDigestSize;
// Most text bytes one received frame can deliver (the NUL needs one byte).
inline constexpr std::size_t kMaxFrameText = kFrameTextCapacity - 1;

// Frame size for a text of `textLength` bytes (always >= 32, a multiple of 16).
constexpr std::size_t frameSizeForText(std::size_t textLength) {
    return kFrameDigestSize + 16 * (textLength / 16 + 1);
}

// K = MD5(serverChallenge || secret).
void deriveChannelKey(const std::uint8_t* serverChallenge, std::size_t challengeSize,
                      const void* secret, std::size_t secretSize, std::uint8_t key[kAes128KeySize]);

// The AES schedules of one channel key. Copyable; wiped on destruction.
class ChannelCipher {
  public:
    ChannelCipher() = default;
    explicit ChannelCipher(const std::uint8_t key[kAes128KeySize],
                           AesEngine engine = AesEngine::Automatic)
        : aes_(key, engine) {}
    ChannelCipher(const std::uint8_t* serverChallenge, std::size_t challengeSize,
                  const void* secret, std::size_t secretSize,
                  AesEngine engine = AesEngine::Automatic);

    const Aes128& aes() const { return aes_; }

  private:
    Aes128 aes_;
};

// Encodes `textLength` bytes of text into `frame`, which must have room for
// frameSizeForText(textLength) bytes; the text may already sit at frame + 16
// (in-place encoding). Padding comes from `random`. Returns the frame size,
// or 0 when the room is too small or the random source failed (nothing
// usable is then in `frame`).
std::size_t encodeFrame(const ChannelCipher& cipher, const void* text, std::size_t textLength,
                        std::uint8_t* frame, std::size_t frameCapacity, RandomSource& random);

// Convenience: the frame as a new vector (empty on failure).
std::vector<std::uint8_t> encodeFrame(const ChannelCipher& cipher, const void* text,
                                      std::size_t textLength, RandomSource& random);

enum class FrameError {
    None,
    TooShort,         // fewer than 32 bytes
    NotBlockMultiple, // size not a multiple of 16
    DigestMismatch,   // D does not match the decrypted padded text
    TextTooLong,      // text and its NUL do not fit the caller's room
    NoFrameEnd,       // a stream: more than kMaxFrameSize bytes without a frame end
};

struct FrameDecodeResult {
    FrameError error = FrameError::None;
    std::size_t textLength = 0; // bytes before the terminating NUL
    bool ok() const { return error == FrameError::None; }
};

// Decodes one received frame. `frame` (frameSize bytes) is decrypted in place
// and is garbage afterwards. When the frame checks out, the text (everything
// after the digest block up to its first NUL, or all of it when it has no
// NUL) is copied with a terminating NUL into `text`, which has room for
// `textCapacity` bytes and may be `frame` itself. On rejection `text` is left
// untouched. Never reads or writes outside the given buffers.
FrameDecodeResult decodeFrame(const ChannelCipher& cipher, std::uint8_t* frame,
                              std::size_t frameSize, char* text, std::size_t textCapacity);

// Compares two 16-byte values in time independent of their contents (for
// proofs and digests received from a peer).
bool constantTimeEqual16(const std::uint8_t a[16], const std::uint8_t b[16]);

} // namespace dravolin::crypto
