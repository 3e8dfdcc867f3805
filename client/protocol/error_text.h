// Text of a system error as the library reports it.
#pragma once

#include <optional>
#include <string>

namespace dravolin::protocol {

inline constexpr const char* kUnknownSystemError = "An unknown system error occurred.\n";

// Normalises a system message: every LF CR becomes LF, and the text ends in exactly the LF it
// has or one appended. Without a message, the fallback text.
std::string formatSystemMessage(const std::optional<std::string>& message);

} // namespace dravolin::protocol
