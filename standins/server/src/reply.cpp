#include "reply.h"

#include <cstdio>

namespace dravolin::testserver {

namespace {

void appendClean(std::string& out, std::string_view text) {
    for (char c : text)
        out.push_back(c == '\r' || c == '\n' || c == '\0' ? ' ' : c);
}

} // namespace

std::string formatRecord(std::string_view name, std::string_view value) {
    std::string line;
    line.reserve(name.size() + value.size() + 5);
    for (char c : name)
        line.push_back(c == '=' || c == '\r' || c == '\n' || c == '\0' ? '_' : c);
    line += "=\"";
    appendClean(line, value);
    line += "\"\r\n";
    return line;
}

std::string formatBodyLine(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 3);
    appendClean(line, text);
    if (line.empty())
        line.push_back(' ');
    line += "\r\n";
    return line;
}

std::string formatHead(const Reply& reply) {
    char code[16];
    int code3 = reply.status;
    if (code3 < 0 || code3 > 999)
        code3 = status::ServerFailure;
    std::snprintf(code, sizeof code, "%03d", code3);
    std::string head = code;
    if (!reply.text.empty()) {
        head.push_back(' ');
        appendClean(head, reply.text);
    }
    head += "\r\n";
    for (const auto& [name, value] : reply.records)
        head += formatRecord(name, value);
    head += "\r\n";
    return head;
}

std::string formatTail(const Reply& reply) {
    std::string tail;
    for (const auto& line : reply.bodyLines)
        tail += formatBodyLine(line);
    tail += "\r\n";
    return tail;
}

std::string formatReply(const Reply& reply) {
    return formatHead(reply) + formatTail(reply);
}

} // namespace dravolin::testserver
