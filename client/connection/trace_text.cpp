#include "trace_text.h"

namespace dravolin {

namespace {

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    return line;
}

// Replaces the quoted value after every `option` (e.g. `-CHAP_R:"`) up to its closing quote
// (or the end of the line).
std::string redactQuoted(std::string_view line, std::string_view option) {
    std::string out;
    out.reserve(line.size());
    for (;;) {
        const std::size_t at = line.find(option);
        if (at == std::string_view::npos) {
            out.append(line);
            return out;
        }
        out.append(line.substr(0, at + option.size()));
        out.append(kRedacted);
        line.remove_prefix(at + option.size());
        const std::size_t quote = line.find('"');
        line.remove_prefix(quote == std::string_view::npos ? line.size() : quote);
    }
}

} // namespace

std::string traceOfSent(protocol::RequestKind kind, std::string_view line) {
    line = withoutLineEnd(line);
    switch (kind) {
    case protocol::RequestKind::Login: {
        // "login[ user][ password]": the first word after "login" may be the user name; all
        // after it is the password. A single word cannot be told apart: it goes too.
        constexpr std::string_view kWord = "login";
        if (line.substr(0, kWord.size()) != kWord || line.size() <= kWord.size() + 1) {
            return std::string(line);
        }
        const std::string_view rest = line.substr(kWord.size() + 1);
        const std::size_t blank = rest.find(' ');
        std::string out(kWord);
        out += ' ';
        if (blank != std::string_view::npos) {
            out.append(rest.substr(0, blank + 1));
        }
        out.append(kRedacted);
        return out;
    }
    case protocol::RequestKind::AuthCheck:
        return redactQuoted(line, "-CHAP_R:\"");
    default:
        return std::string(line);
    }
}

std::string traceOfReceived(std::string_view line) {
    line = withoutLineEnd(line);
    // The server's CHAP response record, quoted or not.
    constexpr std::string_view kResponse = "CHAP_R=";
    if (line.substr(0, kResponse.size()) != kResponse) {
        return std::string(line);
    }
    const bool quoted = line.size() > kResponse.size() && line[kResponse.size()] == '"';
    std::string out(kResponse);
    out.append(quoted ? "\"" : "").append(kRedacted).append(quoted ? "\"" : "");
    return out;
}

} // namespace dravolin
