#include "command.h"

namespace dravolin::testserver {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isOptionNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

// Reads a quoted or bare value starting at pos; leaves pos after it.
std::string readValue(std::string_view s, std::size_t& pos) {
    if (pos < s.size() && s[pos] == '"') {
        std::size_t close = s.find('"', pos + 1);
        if (close == std::string_view::npos) {
            std::string v(s.substr(pos + 1));
            pos = s.size();
            return v;
        }
        std::string v(s.substr(pos + 1, close - pos - 1));
        pos = close + 1;
        return v;
    }
    std::size_t start = pos;
    while (pos < s.size() && !isBlank(s[pos]))
        ++pos;
    return std::string(s.substr(start, pos - start));
}

} // namespace

const std::string* Command::option(std::string_view name) const {
    const std::string* found = nullptr;
    for (const auto& o : options)
        if (o.name == name)
            found = &o.value;
    return found;
}

std::string_view stripLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

Command parseCommand(std::string_view line) {
    Command cmd;
    std::string_view s = stripLineEnd(line);
    std::size_t pos = 0;
    while (pos < s.size() && isBlank(s[pos]))
        ++pos;
    std::size_t start = pos;
    while (pos < s.size() && !isBlank(s[pos]))
        ++pos;
    cmd.word = std::string(s.substr(start, pos - start));
    while (pos < s.size() && isBlank(s[pos]))
        ++pos;
    cmd.rest = std::string(s.substr(pos));

    while (pos < s.size()) {
        if (isBlank(s[pos])) {
            ++pos;
            continue;
        }
        if (s[pos] == '-') {
            std::size_t n = pos + 1;
            while (n < s.size() && isOptionNameChar(s[n]) && s[n] != ':')
                ++n;
            // "-name:" makes an option; anything else is a plain word.
            if (n > pos + 1 && n < s.size() && s[n] == ':') {
                CommandOption opt;
                opt.name = std::string(s.substr(pos + 1, n - pos - 1));
                pos = n + 1;
                opt.value = readValue(s, pos);
                cmd.options.push_back(std::move(opt));
                continue;
            }
        }
        cmd.words.push_back(readValue(s, pos));
    }
    return cmd;
}

} // namespace dravolin::testserver
