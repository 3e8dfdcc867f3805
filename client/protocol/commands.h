// Command lines of the management protocol.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dravolin::protocol {

enum class RequestKind : std::int32_t {
    Connect = 0,
    Greeting = 1,
    Login = 2,
    Logoff = 3,
    ListDevices = 4,
    ListPermissions = 5,
    Add = 6,
    Allow = 7,
    Remove = 8,
    GetLog = 9,
    Parameter = 10,
    Shutdown = 12,
    Statistics = 13,
    AuthMode = 14,
    AuthStart = 15,
    AuthCheck = 16,
    AuthOk = 17,
    Disconnect = 18,
    Control = 19,
};

// Longest formatted command line ("set", "get", "statistics", "control").
inline constexpr std::size_t kMaxFormattedLine = 4096;

// The kind that a request code of SendRequest queues; nullopt for an unknown code.
std::optional<RequestKind> kindForRequestCode(unsigned code);

struct CommandLine {
    enum class Problem { None, TooLong, MissingArgument, UnknownCode };
    bool valid = false; // false: nothing may be sent (over-long line, missing argument)
    std::string text;
    Problem problem = Problem::UnknownCode; // why it is not valid
};

// The line that request `code` sends for `argument` (null allowed). Unknown codes: invalid.
CommandLine buildCommandLine(unsigned code, const char* argument);

// "login[ user][ password]\n"
std::string plainLoginLine(std::string_view user, std::string_view password);

inline constexpr std::string_view kAuthModeLine = "get CtlAuthMode\n";
inline constexpr std::string_view kAuthStartLine = "auth start\n";
inline constexpr std::string_view kLogoffLine = "logoff\n";
inline constexpr std::string_view kGetLogLine = "getlog\n";

// The CHAP check line; encodedResponse and encodedChallenge carry their "0b" prefix, an empty
// encodedChallenge leaves the challenge option out.
std::string chapCheckLine(std::string_view chapName, std::string_view encodedResponse, bool encrypt,
                          std::string_view encodedChallenge);

// "auth ok[ -crypt:yes]\n"
std::string authOkLine(bool encrypt);

} // namespace dravolin::protocol
