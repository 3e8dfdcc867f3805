#include <windows.h>

#include "text_codepage.h"

namespace ipseccfg {

// Both directions use the active ANSI code page, so a key that survives the
// narrowing comes back unchanged.
std::string WideToAnsi(std::u16string_view text) {
    if (text.empty())
        return {};
    const auto* src = reinterpret_cast<const wchar_t*>(text.data());
    const int len = static_cast<int>(text.size());
    const int need = WideCharToMultiByte(CP_ACP, 0, src, len, nullptr, 0, nullptr, nullptr);
    if (need <= 0)
        return {};
    std::string out(static_cast<std::size_t>(need), '\0');
    const int got = WideCharToMultiByte(CP_ACP, 0, src, len, out.data(), need, nullptr, nullptr);
    out.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return out;
}

std::u16string AnsiToWide(std::string_view text) {
    if (text.empty())
        return {};
    const int len = static_cast<int>(text.size());
    const int need = MultiByteToWideChar(CP_ACP, 0, text.data(), len, nullptr, 0);
    if (need <= 0)
        return {};
    std::wstring out(static_cast<std::size_t>(need), L'\0');
    const int got = MultiByteToWideChar(CP_ACP, 0, text.data(), len, out.data(), need);
    out.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return std::u16string(reinterpret_cast<const char16_t*>(out.data()), out.size());
}

} // namespace ipseccfg
