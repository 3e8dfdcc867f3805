#include "commands.h"

namespace dravolin::protocol {

namespace {

// printf-style "%s" formatting as the service expects it: null prints "(null)".
CommandLine formatted(std::string_view prefix, const char* argument, std::string_view suffix) {
    const std::string_view arg = argument ? std::string_view(argument) : "(null)";
    CommandLine line;
    if (prefix.size() + arg.size() + suffix.size() > kMaxFormattedLine) {
        line.problem = CommandLine::Problem::TooLong;
        return line; // never truncate: a cut command would do something else
    }
    line.text.reserve(prefix.size() + arg.size() + suffix.size());
    line.text.append(prefix).append(arg).append(suffix);
    line.valid = true;
    line.problem = CommandLine::Problem::None;
    return line;
}

CommandLine joined(std::string_view prefix, std::string_view arg, std::string_view suffix) {
    CommandLine line;
    line.text.reserve(prefix.size() + arg.size() + suffix.size());
    line.text.append(prefix).append(arg).append(suffix);
    line.valid = true;
    line.problem = CommandLine::Problem::None;
    return line;
}

CommandLine required(std::string_view prefix, const char* argument) {
    if (!argument) {
        CommandLine missing;
        missing.problem = CommandLine::Problem::MissingArgument;
        return missing;
    }
    return joined(prefix, argument, "\n");
}

CommandLine fixed(std::string_view text) {
    return {true, std::string(text), CommandLine::Problem::None};
}

} // namespace

std::optional<RequestKind> kindForRequestCode(unsigned code) {
    switch (code) {
    case 0:
        return RequestKind::Logoff;
    case 1:
        return RequestKind::Add;
    case 2:
        return RequestKind::Remove;
    case 3:
        return RequestKind::Allow;
    case 4:
        return RequestKind::ListDevices;
    case 5:
        return RequestKind::ListPermissions;
    case 6:
        return RequestKind::Parameter;
    case 7:
        return RequestKind::Parameter;
    case 8:
        return RequestKind::GetLog;
    case 9:
        return RequestKind::Shutdown;
    case 10:
        return RequestKind::Statistics;
    case 11:
        return RequestKind::Control;
    default:
        return std::nullopt;
    }
}

CommandLine buildCommandLine(unsigned code, const char* argument) {
    switch (code) {
    case 0:
        return fixed(kLogoffLine);
    case 1:
        return required("add ", argument);
    case 2:
        return required("remove ", argument);
    case 3:
        return required("allow ", argument);
    case 4:
        return joined("list -what:\"devices\"", argument ? argument : "1", "\n");
    case 5:
        return joined("list -what:\"permissions\"", argument ? argument : "", "\n");
    case 6:
        return formatted("set ", argument, "\n");
    case 7:
        return formatted("get ", argument, "\n");
    case 8:
        return fixed(kGetLogLine);
    case 9:
        return fixed("shutdown\n");
    case 10:
        return formatted("statistics ", argument, "\n");
    case 11:
        return formatted("control ", argument, " \n");
    default:
        return {};
    }
}

std::string plainLoginLine(std::string_view user, std::string_view password) {
    std::string line = "login";
    if (!user.empty()) {
        line.append(" ").append(user);
    }
    if (!password.empty()) {
        line.append(" ").append(password);
    }
    line.append("\n");
    return line;
}

std::string chapCheckLine(std::string_view chapName, std::string_view encodedResponse, bool encrypt,
                          std::string_view encodedChallenge) {
    std::string line = "auth check -CHAP_N:\"";
    line.append(chapName).append("\"  -CHAP_R:\"").append(encodedResponse).append("\"");
    if (encrypt) {
        line.append(" -crypt:yes");
    }
    if (!encodedChallenge.empty()) {
        line.append(" -CHAP_C:\"").append(encodedChallenge).append("\"");
    }
    line.append("\n");
    return line;
}

std::string authOkLine(bool encrypt) {
    return encrypt ? "auth ok -crypt:yes\n" : "auth ok\n";
}

} // namespace dravolin::protocol
