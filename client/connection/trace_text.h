// What the wire trace shows of a line: the line without its end, with every secret replaced by
// "<redacted>" (the password of a plain login, the CHAP responses). Pure code.
#pragma once

#include "commands.h"

#include <string>
#include <string_view>

namespace dravolin {

inline constexpr std::string_view kRedacted = "<redacted>";

// A command line the client sends for a request of `kind`.
std::string traceOfSent(protocol::RequestKind kind, std::string_view line);

// A reply line the client received.
std::string traceOfReceived(std::string_view line);

// Splits received text into whole lines for the trace: `partial` holds the start of a line
// whose end has not come yet; `emit` gets each whole line (with its end).
template <typename Emit>
void splitTraceLines(std::string& partial, std::string_view text, Emit&& emit) {
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        if (lf == std::string_view::npos) {
            partial.append(text);
            return;
        }
        if (partial.empty()) {
            emit(text.substr(0, lf + 1));
        } else {
            partial.append(text.substr(0, lf + 1));
            emit(std::string_view(partial));
            partial.clear();
        }
        text.remove_prefix(lf + 1);
    }
}

} // namespace dravolin
