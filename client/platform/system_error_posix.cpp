#include "system_error.h"

#include <cerrno>
#include <climits>
#include <cstring>

namespace dravolin::os {

std::optional<std::string> systemMessage(std::uint32_t code) {
    if (code == 0 || code > INT_MAX) {
        return std::nullopt;
    }
    char buffer[512];
    errno = 0;
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    if (!text || std::strncmp(text, "Unknown error", 13) == 0) {
        return std::nullopt;
    }
    return std::string(text);
}

} // namespace dravolin::os
