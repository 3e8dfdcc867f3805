// Reply text in the form the management clients parse: a status line, one
// name=value line per record, an empty line, optional body lines, and an
// empty end line. Every line ends in CR LF.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dravolin::testserver {

// Status codes this server answers with.
namespace status {
inline constexpr int Ok = 200;
inline constexpr int BadCommand = 100;    // unknown command or unusable arguments
inline constexpr int NotAllowed = 101;    // not logged in, read-only, wrong login step
inline constexpr int AuthFailed = 102;    // login or proof refused
inline constexpr int NotFound = 103;      // no such device, parameter, user
inline constexpr int Unsupported = 104;   // asked for something this server does not offer
inline constexpr int ServerFailure = 105; // the server could not do it
} // namespace status

struct Reply {
    int status = status::Ok;
    std::string text = "OK";
    std::vector<std::pair<std::string, std::string>> records;
    std::vector<std::string> bodyLines; // small bodies only; logs are streamed

    Reply() = default;
    Reply(int code, std::string message) : status(code), text(std::move(message)) {}
    Reply& add(std::string name, std::string value) {
        records.emplace_back(std::move(name), std::move(value));
        return *this;
    }
};

// Status line, record lines and the empty line that ends the headers.
std::string formatHead(const Reply& reply);
// Body lines and the end line.
std::string formatTail(const Reply& reply);
// The whole reply.
std::string formatReply(const Reply& reply);

// One record line. The value is always quoted, so leading or trailing blanks
// survive the reader's trimming; CR, LF and NUL inside it become blanks, since
// they would end or cut the line.
std::string formatRecord(std::string_view name, std::string_view value);

// A body line made safe: no CR, LF or NUL inside, never empty (an empty line
// would end the reply), CR LF appended.
std::string formatBodyLine(std::string_view text);

} // namespace dravolin::testserver
