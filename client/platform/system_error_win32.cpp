#include "system_error.h"

#include <windows.h>

namespace dravolin::os {

std::optional<std::string> systemMessage(std::uint32_t code) {
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                         FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                     nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                     reinterpret_cast<char*>(&text), 0, nullptr);
    if (n == 0 || !text) {
        return std::nullopt;
    }
    std::string result(text, n);
    ::LocalFree(text);
    return result;
}

} // namespace dravolin::os
