// Object identities of the policy store.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace ipseccfg {

struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};

    friend bool operator==(const Guid&, const Guid&) = default;
};

// Length of the braced text form, braces included.
inline constexpr std::size_t kGuidTextLength = 38;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal.
std::string FormatGuid(const Guid& guid);

// Strict parser of exactly the 38-character braced form (either case of
// hexadecimal digits). Pure; reads only `text`.
bool ParseBracedGuid(std::string_view text, Guid& guid) noexcept;

// The GUID in the last 38 characters of a key name or reference. Fails for
// shorter text and for text whose tail is no braced GUID.
bool GuidFromReference(std::string_view reference, Guid& guid) noexcept;

// A new random GUID from the platform.
bool CreateGuid(Guid& guid) noexcept;

} // namespace ipseccfg
