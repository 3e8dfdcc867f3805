#include "guid.h"

#include <cstdio>

namespace ipseccfg {

std::string FormatGuid(const Guid& g) {
    char text[kGuidTextLength + 1];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.data1), static_cast<unsigned>(g.data2),
                  static_cast<unsigned>(g.data3), g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                  g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
    return std::string(text, kGuidTextLength);
}

namespace {

int HexValue(char c) noexcept {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Reads `digits` hex digits at `pos`; false on any non-digit.
bool ReadHex(std::string_view text, std::size_t pos, std::size_t digits,
             std::uint32_t& value) noexcept {
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int v = HexValue(text[pos + i]);
        if (v < 0)
            return false;
        value = (value << 4) | static_cast<std::uint32_t>(v);
    }
    return true;
}

} // namespace

bool ParseBracedGuid(std::string_view text, Guid& guid) noexcept {
    if (text.size() != kGuidTextLength)
        return false;
    if (text[0] != '{' || text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-' ||
        text[37] != '}')
        return false;
    Guid g;
    std::uint32_t v = 0;
    if (!ReadHex(text, 1, 8, v))
        return false;
    g.data1 = v;
    if (!ReadHex(text, 10, 4, v))
        return false;
    g.data2 = static_cast<std::uint16_t>(v);
    if (!ReadHex(text, 15, 4, v))
        return false;
    g.data3 = static_cast<std::uint16_t>(v);
    static constexpr std::size_t kData4Pos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (std::size_t i = 0; i < 8; ++i) {
        if (!ReadHex(text, kData4Pos[i], 2, v))
            return false;
        g.data4[i] = static_cast<std::uint8_t>(v);
    }
    guid = g;
    return true;
}

} // namespace ipseccfg
