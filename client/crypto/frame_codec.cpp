#include "frame_codec.h"

#include "byte_order.h"
#include "random_source.h"

#include <cstdint>
#include <cstring>

namespace dravolin::crypto {

void deriveChannelKey(const std::uint8_t* serverChallenge, std::size_t challengeSize,
                      const void* secret, std::size_t secretSize,
                      std::uint8_t key[kAes128KeySize]) {
    md5(serverChallenge, challengeSize, secret, secretSize, key);
}

ChannelCipher::ChannelCipher(const std::uint8_t* serverChallenge, std::size_t challengeSize,
                             const void* secret, std::size_t secretSize, AesEngine engine) {
    std::uint8_t key[kAes128KeySize];
    deriveChannelKey(serverChallenge, challengeSize, secret, secretSize, key);
    aes_.setKey(key, engine);
    detail::secureWipe(key, sizeof key);
}

std::size_t encodeFrame(const ChannelCipher& cipher, const void* text, std::size_t textLength,
                        std::uint8_t* frame, std::size_t frameCapacity, RandomSource& random) {
    // Guard the size arithmetic against absurd lengths before using it.
    if (textLength > (SIZE_MAX - 2 * kFrameDigestSize) ||
        frameCapacity < frameSizeForText(textLength))
        return 0;
    const std::size_t padded = 16 * (textLength / 16 + 1);
    std::uint8_t* body = frame + kFrameDigestSize;
    if (textLength != 0 && text != body)
        std::memmove(body, text, textLength);
    // Text, one NUL, random bytes to the end of the last block.
    if (!random.fill(body + textLength, padded - textLength))
        return 0;
    body[textLength] = 0;

    std::uint8_t digest[kFrameDigestSize];
    md5(body, padded, digest);
    cipher.aes().encryptBlock(digest, frame);
    cipher.aes().encryptBlocksMasked(body, body, padded / 16, digest);
    detail::secureWipe(digest, sizeof digest);
    return padded + kFrameDigestSize;
}

std::vector<std::uint8_t> encodeFrame(const ChannelCipher& cipher, const void* text,
                                      std::size_t textLength, RandomSource& random) {
    std::vector<std::uint8_t> frame(frameSizeForText(textLength));
    if (encodeFrame(cipher, text, textLength, frame.data(), frame.size(), random) == 0)
        frame.clear();
    return frame;
}

FrameDecodeResult decodeFrame(const ChannelCipher& cipher, std::uint8_t* frame,
                              std::size_t frameSize, char* text, std::size_t textCapacity) {
    FrameDecodeResult result;
    if (frameSize < 2 * kFrameDigestSize) {
        result.error = FrameError::TooShort;
        return result;
    }
    if (frameSize % 16 != 0) {
        result.error = FrameError::NotBlockMultiple;
        return result;
    }
    std::uint8_t digest[kFrameDigestSize];
    cipher.aes().decryptBlock(frame, digest);
    std::uint8_t* body = frame + kFrameDigestSize;
    const std::size_t bodySize = frameSize - kFrameDigestSize;
    cipher.aes().decryptBlocksMasked(body, body, bodySize / 16, digest);

    std::uint8_t actual[kFrameDigestSize];
    md5(body, bodySize, actual);
    const bool match = constantTimeEqual16(actual, digest);
    detail::secureWipe(digest, sizeof digest);
    if (!match) {
        result.error = FrameError::DigestMismatch;
        return result;
    }

    // The text ends at its NUL; a foreign sender might leave it out, and then
    // the whole body is text (it still has to fit with a terminator).
    const void* nul = std::memchr(body, 0, bodySize);
    const std::size_t length =
        nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - body) : bodySize;
    if (textCapacity == 0 || length > textCapacity - 1) {
        result.error = FrameError::TextTooLong;
        return result;
    }
    std::memmove(text, body, length);
    text[length] = '\0';
    result.textLength = length;
    return result;
}

bool constantTimeEqual16(const std::uint8_t a[16], const std::uint8_t b[16]) {
    // Accumulate every difference; no early exit, no data-dependent branch.
    volatile std::uint8_t diff = 0;
    for (int i = 0; i < 16; ++i)
        diff = static_cast<std::uint8_t>(diff | (a[i] ^ b[i]));
    return diff == 0;
}

} // namespace dravolin::crypto
