// Base64 (RFC 4648 section 4 alphabet, "=" padding, no line breaks) and the
// protocol's binary values: "0b" followed by the Base64 text of the bytes.
//
// The decoders are pure functions over (pointer, length): they never read
// past the text they are given and never write past the room they are given,
// whatever the input. They are the entry points for fuzzing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dravolin::crypto {

// Characters of the Base64 text of `size` bytes (a multiple of 4).
constexpr std::size_t base64EncodedSize(std::size_t size) {
    return (size + 2) / 3 * 4;
}

// Writes base64EncodedSize(size) characters to out (no terminator) and
// returns that count.
std::size_t base64Encode(const void* data, std::size_t size, char* out);
std::string base64Encode(const void* data, std::size_t size);

// Strict RFC 4648 decoding: the length must be a multiple of 4, only the
// alphabet, "=" only as the final one or two characters. Returns the byte
// count, or nothing when the text is not canonical Base64 or does not fit.
std::optional<std::size_t> base64Decode(std::string_view text, std::uint8_t* out,
                                        std::size_t capacity);

// "0b" followed by the Base64 text of the bytes.
inline constexpr std::string_view kBinaryValuePrefix = "0b";
constexpr std::size_t binaryValueSize(std::size_t size) {
    return 2 + base64EncodedSize(size);
}
std::string encodeBinaryValue(const void* data, std::size_t size);

// Decodes a binary value received from the server, tolerantly, and returns
// the number of bytes it stands for. Never fails:
// - a text of fewer than 3 characters gives 0 and writes nothing;
// - the first two characters (the prefix) are skipped unchecked;
// - the rest is taken in groups of 4 characters, each writing 3 bytes; a
//   group counts 1 byte when its third character is "=", else 2 when its
//   fourth is "=", else 3; "=" and characters outside the alphabet stand
//   for 0;
// - a final group of 1 to 3 characters is read as if padded with "=";
// - decoding stops before a group when fewer than 3 bytes of room remain
//   (so room for 32 bytes takes at most 10 groups).
// The result is the sum of the counted bytes (never more than capacity).
std::size_t decodeBinaryValue(std::string_view text, std::uint8_t* out, std::size_t capacity);

} // namespace dravolin::crypto
