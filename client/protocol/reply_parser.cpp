#include "reply_parser.h"

namespace dravolin::protocol {

int parseStatusLine(std::string_view line) {
    if (line.size() <= 3) {
        return kStatusClientFailure;
    }
    // Only the first three characters count; white space and a sign may lead.
    std::string_view code = line.substr(0, 3);
    std::size_t i = 0;
    while (i < code.size() && (code[i] == ' ' || code[i] == '\t' || code[i] == '\r' ||
                               code[i] == '\n' || code[i] == '\v' || code[i] == '\f')) {
        ++i;
    }
    bool negative = false;
    if (i < code.size() && (code[i] == '+' || code[i] == '-')) {
        negative = code[i] == '-';
        ++i;
    }
    int value = 0;
    while (i < code.size() && code[i] >= '0' && code[i] <= '9') {
        value = value * 10 + (code[i] - '0');
        ++i;
    }
    if (negative) {
        value = -value;
    }
    if (value < 100 || (value > 105 && value != kStatusOk)) {
        return kStatusClientFailure;
    }
    return value;
}

std::string_view statusLineText(std::string_view line) {
    if (line.size() <= 3) {
        return {};
    }
    return trim(line.substr(3));
}

std::string_view trim(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::string_view unquote(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

bool parseHeaderLine(std::string_view line, Record& record) {
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) {
        return false;
    }
    record.name = trim(line.substr(0, eq));
    record.value = unquote(trim(line.substr(eq + 1)));
    return true;
}

ReplyParser::Event ReplyParser::consumeLine(std::string_view line) {
    switch (state_) {
    case ParseState::StatusLine:
        status = parseStatusLine(line);
        statusText = statusLineText(line);
        state_ = ParseState::Headers;
        return Event::Status;
    case ParseState::Headers: {
        if (line == "\r\n") {
            state_ = ParseState::Body;
            return Event::HeadersEnd;
        }
        Record record;
        if (parseHeaderLine(line, record)) {
            records.add(record.name, record.value);
        }
        return Event::Header;
    }
    case ParseState::Body:
        if (line == "\r\n" || line == "\r\r\n") {
            state_ = ParseState::Complete;
            return Event::End;
        }
        return Event::Body;
    case ParseState::Complete:
        break;
    }
    return Event::Invalid;
}

} // namespace dravolin::protocol
