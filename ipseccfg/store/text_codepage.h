// Conversions between UTF-16 and the process's narrow (ANSI) code page.
// On Windows the active ANSI code page; elsewhere Latin-1 stands in for it.
#pragma once

#include <string>
#include <string_view>

namespace ipseccfg {

// Characters the code page cannot represent become '?'.
std::string WideToAnsi(std::u16string_view text);
std::u16string AnsiToWide(std::string_view text);

} // namespace ipseccfg
