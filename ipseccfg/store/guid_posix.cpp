#include <sys/random.h>

#include <cerrno>

#include "guid.h"

namespace ipseccfg {

bool GuidFromReference(std::string_view reference, Guid& guid) noexcept {
    if (reference.size() < kGuidTextLength)
        return false;
    return ParseBracedGuid(reference.substr(reference.size() - kGuidTextLength), guid);
}

bool CreateGuid(Guid& guid) noexcept {
    std::uint8_t raw[16];
    std::size_t got = 0;
    while (got < sizeof raw) {
        const ssize_t n = getrandom(raw + got, sizeof raw - got, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    // Random (version 4, variant 1) GUID, as the platform makes them.
    raw[7] = static_cast<std::uint8_t>((raw[7] & 0x0F) | 0x40);
    raw[8] = static_cast<std::uint8_t>((raw[8] & 0x3F) | 0x80);
    Guid g;
    g.data1 = static_cast<std::uint32_t>(raw[0]) | static_cast<std::uint32_t>(raw[1]) << 8 |
              static_cast<std::uint32_t>(raw[2]) << 16 | static_cast<std::uint32_t>(raw[3]) << 24;
    g.data2 = static_cast<std::uint16_t>(raw[4] | raw[5] << 8);
    g.data3 = static_cast<std::uint16_t>(raw[6] | raw[7] << 8);
    for (int i = 0; i < 8; ++i)
        g.data4[i] = raw[8 + i];
    guid = g;
    return true;
}

} // namespace ipseccfg
