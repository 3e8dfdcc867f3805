// Base64 and the "0b" binary values of the login exchange.
//  - strict decoding accepts only canonical text: whatever it accepts
//    encodes back to the same text, and encoded bytes decode back;
//  - the tolerant decoder of server values never reports more bytes than
//    its room, never writes outside it (exact-size buffers let the
//    sanitizers see it), and gives back any value encoded from at most as
//    many whole groups as fit.
#include "harness.h"

#include "crypto/base64.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

int FuzzBase64(const std::uint8_t* data, std::size_t size) {
    using namespace dravolin::crypto;
    dravolin::fuzz::InputReader in(data, size);
    const std::size_t capacity = in.byte() % 48;
    const std::string text(in.rest());

    // Tolerant decoder over arbitrary text, into exactly `capacity` bytes.
    {
        auto out = std::make_unique<std::uint8_t[]>(capacity);
        const std::size_t n = decodeBinaryValue(text, out.get(), capacity);
        FUZZ_REQUIRE(n <= capacity);
        if (text.size() < 3)
            FUZZ_REQUIRE(n == 0);
    }

    // Strict decoder over arbitrary text.
    {
        std::vector<std::uint8_t> out(text.size());
        const auto n = base64Decode(text, out.data(), out.size());
        if (n) {
            FUZZ_REQUIRE(*n <= out.size());
            FUZZ_REQUIRE(base64Encode(out.data(), *n) == text);
        }
        // Too little room is a refusal, never an overflow.
        if (n && *n > 0) {
            std::vector<std::uint8_t> small(*n - 1);
            FUZZ_REQUIRE(!base64Decode(text, small.data(), small.size()));
        }
    }

    // Round trips of the input taken as bytes.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::string encoded = base64Encode(bytes, text.size());
    FUZZ_REQUIRE(encoded.size() == base64EncodedSize(text.size()));
    std::vector<std::uint8_t> back(text.size());
    const auto n = base64Decode(encoded, back.data(), back.size());
    FUZZ_REQUIRE(n && *n == text.size());
    FUZZ_REQUIRE(text.empty() || std::memcmp(back.data(), bytes, text.size()) == 0);

    const std::string value = encodeBinaryValue(bytes, text.size());
    FUZZ_REQUIRE(value.size() == binaryValueSize(text.size()));
    FUZZ_REQUIRE(value.compare(0, 2, "0b") == 0);
    // Each group of four characters writes three bytes, so the value fits
    // when all its groups do.
    const std::size_t groups = (text.size() + 2) / 3;
    if (groups * 3 <= capacity) {
        auto out = std::make_unique<std::uint8_t[]>(capacity);
        FUZZ_REQUIRE(decodeBinaryValue(value, out.get(), capacity) == text.size());
        FUZZ_REQUIRE(text.empty() || std::memcmp(out.get(), bytes, text.size()) == 0);
    }
    return 0;
}
