// Texts of system errors as the library reports them: the one home of the system's messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace dravolin {

namespace os {
// The system's message text for an error code (socket codes included); nullopt when the
// system has none.
std::optional<std::string> systemMessage(std::uint32_t code);
} // namespace os

inline constexpr const char* kUnknownSystemError = "An unknown system error occurred.\n";

// Normalises a system message: every LF CR becomes LF, and the text ends in exactly the LF it
// has or one appended. Without a message, the fallback text. Pure.
std::string formatSystemMessage(const std::optional<std::string>& message);

// The system's message for an error code (socket codes included) as one line, without its
// line end; a fixed text when the system has none.
std::string systemErrorText(std::uint32_t code);

} // namespace dravolin
