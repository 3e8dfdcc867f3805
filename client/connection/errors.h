// Texts of system errors as the connection code reports them.
#pragma once

#include <cstdint>
#include <string>

namespace dravolin {

// The system's message for an error code (socket codes included) as one line, without its
// line end; a fixed text when the system has none.
std::string systemErrorText(std::uint32_t code);

} // namespace dravolin
