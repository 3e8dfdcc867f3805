#include "system_error.h"

namespace dravolin {

std::string formatSystemMessage(const std::optional<std::string>& message) {
    if (!message) {
        return kUnknownSystemError;
    }
    std::string text = *message;
    // One left-to-right pass that re-examines the character before each removal has the same
    // result as repeating the replacement until no LF CR is left.
    std::string out;
    out.reserve(text.size() + 1);
    for (const char c : text) {
        if (c == '\r' && !out.empty() && out.back() == '\n') {
            continue;
        }
        out.push_back(c);
    }
    if (out.empty() || out.back() != '\n') {
        out.push_back('\n');
    }
    return out;
}

std::string systemErrorText(std::uint32_t code) {
    std::string text = formatSystemMessage(os::systemMessage(code));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

} // namespace dravolin
