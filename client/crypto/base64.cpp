// Base64 with the RFC 4648 section 4 alphabet.
#include "base64.h"

#include <array>

namespace dravolin::crypto {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t kInvalid = 0xff;
constexpr std::uint8_t kPad = 0xfe;

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t)
        v = kInvalid;
    for (std::uint8_t i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(kAlphabet[i])] = i;
    t[static_cast<unsigned char>('=')] = kPad;
    return t;
}

constexpr std::array<std::uint8_t, 256> kDecode = makeDecodeTable();

inline std::uint8_t value(char c) {
    return kDecode[static_cast<unsigned char>(c)];
}

} // namespace

std::size_t base64Encode(const void* data, std::size_t size, char* out) {
    auto in = static_cast<const std::uint8_t*>(data);
    char* o = out;
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t v =
            std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    if (size - i == 1) {
        const std::uint32_t v = std::uint32_t{in[i]} << 16;
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    } else if (size - i == 2) {
        const std::uint32_t v = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8;
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = '=';
    }
    return static_cast<std::size_t>(o - out);
}

std::string base64Encode(const void* data, std::size_t size) {
    std::string s(base64EncodedSize(size), '\0');
    base64Encode(data, size, s.data());
    return s;
}

std::optional<std::size_t> base64Decode(std::string_view text, std::uint8_t* out,
                                        std::size_t capacity) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::size_t written = 0;
    for (std::size_t g = 0; g < text.size(); g += 4) {
        const bool lastGroup = g + 4 == text.size();
        std::uint8_t v[4];
        std::size_t pads = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            v[j] = value(text[g + j]);
            if (v[j] == kInvalid)
                return std::nullopt;
            if (v[j] == kPad) {
                // Padding only at the end of the last group, and at most two.
                if (!lastGroup || j < 2)
                    return std::nullopt;
                ++pads;
                v[j] = 0;
            } else if (pads != 0) {
                return std::nullopt; // data after padding
            }
        }
        const std::size_t count = 3 - pads;
        if (capacity - written < count)
            return std::nullopt;
        const std::uint32_t w =
            std::uint32_t{v[0]} << 18 | std::uint32_t{v[1]} << 12 | std::uint32_t{v[2]} << 6 | v[3];
        // Canonical form: the bits under the padding must be zero.
        if ((pads == 1 && (w & 0xff) != 0) || (pads == 2 && (w & 0xffff) != 0))
            return std::nullopt;
        out[written++] = static_cast<std::uint8_t>(w >> 16);
        if (count > 1)
            out[written++] = static_cast<std::uint8_t>(w >> 8);
        if (count > 2)
            out[written++] = static_cast<std::uint8_t>(w);
    }
    return written;
}

std::string encodeBinaryValue(const void* data, std::size_t size) {
    std::string s(binaryValueSize(size), '\0');
    s[0] = kBinaryValuePrefix[0];
    s[1] = kBinaryValuePrefix[1];
    base64Encode(data, size, s.data() + 2);
    return s;
}

std::size_t decodeBinaryValue(std::string_view text, std::uint8_t* out, std::size_t capacity) {
    if (text.size() < 3)
        return 0;
    std::size_t pos = 2; // the prefix, not checked
    std::size_t written = 0;
    std::size_t counted = 0;
    while (pos < text.size() && capacity - written >= 3) {
        // A short final group reads as if padded with "=".
        char c[4] = {'=', '=', '=', '='};
        for (std::size_t j = 0; j < 4 && pos + j < text.size(); ++j)
            c[j] = text[pos + j];
        pos += 4;

        std::uint32_t w = 0;
        for (char ch : c) {
            std::uint8_t v = value(ch);
            if (v >= 64) // "=" and anything outside the alphabet stand for 0
                v = 0;
            w = w << 6 | v;
        }
        out[written] = static_cast<std::uint8_t>(w >> 16);
        out[written + 1] = static_cast<std::uint8_t>(w >> 8);
        out[written + 2] = static_cast<std::uint8_t>(w);
        written += 3;
        counted += c[2] == '=' ? 1 : c[3] == '=' ? 2 : 3;
    }
    return counted;
}

} // namespace dravolin::crypto
