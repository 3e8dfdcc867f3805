#include "cli.h"

#include <algorithm>

#include "DravolinClient.h"

namespace dravolinctl {

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view trimBlanks(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

// A decimal number of at most `digits` digits and no sign, up to `max`.
std::optional<int> parseBounded(std::string_view text, std::size_t digits, int max) {
    if (text.empty() || text.size() > digits)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > max)
        return std::nullopt;
    return value;
}

// The library connects to port + 1, which must still be a port.
std::optional<int> parsePort(std::string_view text) {
    return parseBounded(text, 5, 65534);
}

// Whole seconds from 0 to kMaxTimeout.
std::optional<int> parseSeconds(std::string_view text) {
    return parseBounded(text, 7, kMaxTimeout);
}

} // namespace

std::optional<KeepAliveOption> parseKeepAlive(std::string_view text) {
    KeepAliveOption k;
    int* parts[] = {&k.idle, &k.interval, &k.count};
    const int most[] = {kMaxKeepAlive, kMaxKeepAlive, 127};
    std::size_t at = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t comma = text.find(',', at);
        const std::string_view part =
            text.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at);
        const auto value = parseBounded(part, 5, most[i]);
        if (!value || (i > 0 && *value == 0))
            return std::nullopt;
        *parts[i] = *value;
        if (comma == std::string_view::npos)
            return k;
        at = comma + 1;
    }
    return std::nullopt; // more than three parts
}

namespace {

std::string quoted(std::string_view s) {
    return "'" + cutForMessage(s, 80) + "'";
}

// Checks the argument rule of one command; empty when fine.
std::string checkArgument(const Step& step) {
    const auto& spec = *step.spec;
    if (spec.arg == ArgRule::None && step.arg)
        return quoted(spec.name) + " takes no argument";
    if (spec.arg == ArgRule::Required && !step.arg)
        return quoted(spec.name) + " needs an argument: " + std::string(spec.synopsis);
    return {};
}

} // namespace

const std::vector<CommandSpec>& commandTable() {
    static const std::vector<CommandSpec> table = {
        {"list-devices", DRAVOLIN_REQUEST_LIST_DEVICES, ArgRule::Optional, "list-devices [ARG]",
         "list the devices",
         "Lists the devices. ARG is appended to the listing command as it is (absent: the\n"
         "default detail); options of the listing begin with their own blank."},
        {"list-permissions", DRAVOLIN_REQUEST_LIST_PERMISSIONS, ArgRule::Optional,
         "list-permissions [ARG]", "list the permissions",
         "Lists the permissions. ARG is appended to the listing command as it is."},
        {"add", DRAVOLIN_REQUEST_ADD, ArgRule::Required, "add ARG", "add an entry",
         "Adds an entry; ARG in the service's syntax."},
        {"remove", DRAVOLIN_REQUEST_REMOVE, ArgRule::Required, "remove ARG", "remove an entry",
         "Removes an entry; ARG in the service's syntax."},
        {"allow", DRAVOLIN_REQUEST_ALLOW, ArgRule::Required, "allow ARG", "grant a permission",
         "Grants a permission; ARG in the service's syntax."},
        {"set", DRAVOLIN_REQUEST_SET_PARAMETER, ArgRule::Required, "set ARG",
         "set a service parameter", "Sets a service parameter, e.g. 'set NAME=VALUE'."},
        {"get", DRAVOLIN_REQUEST_GET_PARAMETER, ArgRule::Required, "get NAME",
         "read a service parameter", "Reads a service parameter."},
        {"statistics", DRAVOLIN_REQUEST_STATISTICS, ArgRule::Optional, "statistics [ARG]",
         "show the statistics",
         "Shows the service statistics; ARG selects what the service reports."},
        {"control", DRAVOLIN_REQUEST_CONTROL, ArgRule::Required, "control ARG",
         "send a control command", "Sends a control command to the service."},
        {"getlog", DRAVOLIN_REQUEST_GET_LOG, ArgRule::None, "getlog [--dir DIR]",
         "fetch the service log",
         "Fetches the service log into DIR (default: the current directory) under the name\n"
         "the server gives, shows a progress bar on a terminal and says where the file landed."},
        {"shutdown", DRAVOLIN_REQUEST_SHUTDOWN, ArgRule::None, "shutdown", "shut the service down",
         "Shuts the management service down."},
        {"logoff", DRAVOLIN_REQUEST_LOGOFF, ArgRule::None, "logoff", "log off",
         "Logs off; the connection stays open."},
    };
    return table;
}

const CommandSpec* findCommand(std::string_view name) {
    for (const auto& spec : commandTable())
        if (spec.name == name)
            return &spec;
    return nullptr;
}

ParseResult parseCommandLine(const std::vector<std::string>& args) {
    ParseResult result;
    Invocation& inv = result.invocation;
    Options& o = inv.options;
    bool wantHelp = false;
    bool wantVersion = false;
    bool helpCommand = false;
    std::optional<std::string> dir;
    std::vector<std::string> positional;

    auto fail = [&result](std::string message) {
        result.ok = false;
        result.error = std::move(message);
        return result;
    };

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            positional.insert(positional.end(), args.begin() + static_cast<long>(i) + 1,
                              args.end());
            break;
        }
        if (a == "-h") {
            wantHelp = true;
            continue;
        }
        if (a.size() < 2 || a[0] != '-') {
            positional.push_back(a);
            continue;
        }
        if (a[1] != '-')
            return fail("unknown option " + quoted(a) + " (see dravolinctl --help)");

        std::string name = a;
        std::optional<std::string> inlineValue;
        if (const auto eq = a.find('='); eq != std::string::npos) {
            name = a.substr(0, eq);
            inlineValue = a.substr(eq + 1);
        }
        auto value = [&](std::optional<std::string>& into) -> bool {
            if (inlineValue) {
                into = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            into = args[++i];
            return true;
        };
        auto flag = [&](bool& into) -> bool {
            if (inlineValue)
                return false;
            into = true;
            return true;
        };

        std::optional<std::string>* target = nullptr;
        bool* flagTarget = nullptr;
        std::optional<std::string> portText;
        std::optional<std::string> hostText;
        std::optional<std::string> connectTimeoutText;
        std::optional<std::string> timeoutText;
        std::optional<std::string> keepAliveText;
        if (name == "--host")
            target = &hostText;
        else if (name == "--port")
            target = &portText;
        else if (name == "--user")
            target = &o.user;
        else if (name == "--password")
            target = &o.password;
        else if (name == "--chap")
            target = &o.chapName;
        else if (name == "--secret")
            target = &o.secret;
        else if (name == "--peer")
            target = &o.peerName;
        else if (name == "--peer-secret")
            target = &o.peerSecret;
        else if (name == "--batch")
            target = &o.batchFile;
        else if (name == "--dir")
            target = &dir;
        else if (name == "--connect-timeout")
            target = &connectTimeoutText;
        else if (name == "--timeout")
            target = &timeoutText;
        else if (name == "--keepalive")
            target = &keepAliveText;
        else if (name == "--stop-on-error")
            flagTarget = &o.stopOnError;
        else if (name == "--quiet")
            flagTarget = &o.quiet;
        else if (name == "--verbose")
            flagTarget = &o.verbose;
        else if (name == "--trace")
            flagTarget = &o.trace;
        else if (name == "--encrypt")
            flagTarget = &o.encrypt;
        else if (name == "--json")
            flagTarget = &o.json;
        else if (name == "--async")
            flagTarget = &o.async;
        else if (name == "--no-progress")
            flagTarget = &o.noProgress;
        else if (name == "--help")
            flagTarget = &wantHelp;
        else if (name == "--version")
            flagTarget = &wantVersion;
        else
            return fail("unknown option " + quoted(name) + " (see dravolinctl --help)");

        if (flagTarget) {
            if (!flag(*flagTarget))
                return fail("option " + quoted(name) + " takes no value");
            continue;
        }
        if (!value(*target))
            return fail("option " + quoted(name) + " needs a value");
        if (hostText) {
            if (hostText->empty())
                return fail("option '--host' needs a host name or address");
            o.host = *hostText;
        }
        if (keepAliveText) {
            o.keepAlive = parseKeepAlive(*keepAliveText);
            if (!o.keepAlive)
                return fail("bad keep-alive " + quoted(*keepAliveText) +
                            ": expected IDLE[,INTERVAL[,COUNT]] in whole seconds up to " +
                            std::to_string(kMaxKeepAlive) +
                            " (IDLE 0: off; INTERVAL from 1, COUNT from 1 to 127)");
        }
        if (portText) {
            const auto port = parsePort(*portText);
            if (!port)
                return fail("bad port " + quoted(*portText) +
                            ": expected a number from 0 to 65534");
            o.port = *port;
        }
        for (auto [text, into] : {std::pair{&connectTimeoutText, &o.connectTimeout},
                                  std::pair{&timeoutText, &o.timeout}}) {
            if (!*text)
                continue;
            const auto seconds = parseSeconds(**text);
            if (!seconds)
                return fail("bad time-out " + quoted(**text) + " for " + quoted(name) +
                            ": expected whole seconds from 0 (no limit) to " +
                            std::to_string(kMaxTimeout));
            *into = *seconds;
        }
    }

    if (!positional.empty() && positional.front() == "help") {
        helpCommand = true;
        wantHelp = true;
        positional.erase(positional.begin());
    }

    const CommandSpec* spec = nullptr;
    if (!positional.empty()) {
        spec = findCommand(positional.front());
        if (!spec)
            return fail("unknown command " + quoted(positional.front()) +
                        " (see dravolinctl --help)");
    }

    if (wantHelp) {
        if (helpCommand && positional.size() > 1)
            return fail("'help' takes at most one command name");
        inv.mode = Invocation::Mode::Help;
        inv.helpFor = spec;
        result.ok = true;
        return result;
    }
    if (wantVersion) {
        inv.mode = Invocation::Mode::Version;
        result.ok = true;
        return result;
    }

    if (o.batchFile && spec)
        return fail("--batch and a command on the command line exclude each other");
    if (!o.batchFile && !spec)
        return fail("no command given (see dravolinctl --help)");
    if (o.user && o.chapName)
        return fail("--user (plain login) and --chap (CHAP login) exclude each other");
    if (o.password && !o.user)
        return fail("--password needs --user");
    if (o.secret && !o.chapName)
        return fail("--secret needs --chap");
    if (o.peerName && !o.chapName)
        return fail("--peer needs --chap");
    if (o.peerSecret && !o.peerName)
        return fail("--peer-secret needs --peer");
    if (o.encrypt && !o.chapName)
        return fail("--encrypt needs --chap");
    if (dir && (!spec || spec->name != "getlog"))
        return fail("--dir applies to getlog only");
    if (o.quiet && o.verbose)
        return fail("--quiet and --verbose exclude each other");
    if (o.stopOnError && !o.batchFile)
        return fail("--stop-on-error applies to --batch only");
    if (o.stopOnError && o.async)
        return fail("--stop-on-error and --async exclude each other (--async sends every command "
                    "at once)");
    if (o.batchFile && o.batchFile->empty())
        return fail("option '--batch' needs a file name, or - for standard input");

    if (spec) {
        Step step;
        step.spec = spec;
        if (positional.size() > 1) {
            std::string arg = positional[1];
            for (size_t k = 2; k < positional.size(); ++k)
                arg += " " + positional[k];
            step.arg = std::move(arg);
        }
        step.dir = dir;
        if (auto problem = checkArgument(step); !problem.empty())
            return fail(problem);
        inv.steps.push_back(std::move(step));
    }
    result.ok = true;
    return result;
}

BatchResult parseBatch(std::string_view text, std::string_view fileName) {
    BatchResult result;
    size_t lineNo = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        auto end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view raw = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;

        const std::string_view line = trimBlanks(raw);
        if (line.empty() || line.front() == '#')
            continue;
        const std::string where = std::string(fileName) + ":" + std::to_string(lineNo);
        const auto wordEnd = std::min(line.find_first_of(kBlanks), line.size());
        const std::string_view word = line.substr(0, wordEnd);
        const std::string_view rest = trimBlanks(line.substr(wordEnd));

        Step step;
        step.origin = where;
        step.spec = findCommand(word);
        if (!step.spec) {
            result.error = where + ": unknown command " + quoted(word);
            return result;
        }
        if (step.spec->name == "getlog" && !rest.empty()) {
            const std::string_view option = "--dir";
            if (rest.substr(0, option.size()) != option ||
                (rest.size() > option.size() &&
                 kBlanks.find(rest[option.size()]) == std::string_view::npos &&
                 rest[option.size()] != '=')) {
                result.error = where + ": 'getlog' takes only --dir DIR";
                return result;
            }
            std::string_view d = rest.substr(option.size());
            if (!d.empty() && d.front() == '=')
                d.remove_prefix(1);
            d = trimBlanks(d);
            if (d.empty()) {
                result.error = where + ": option '--dir' needs a value";
                return result;
            }
            step.dir = std::string(d);
        } else if (!rest.empty()) {
            step.arg = std::string(rest);
        }
        if (auto problem = checkArgument(step); !problem.empty()) {
            result.error = where + ": " + problem;
            return result;
        }
        result.steps.push_back(std::move(step));
    }
    if (result.steps.empty()) {
        result.error = std::string(fileName) + ": no commands in the batch file";
        return result;
    }
    result.ok = true;
    return result;
}

std::string cutForMessage(std::string_view text, std::size_t limit) {
    if (text.size() <= limit)
        return std::string(text);
    return std::string(text.substr(0, limit)) + "...";
}

std::string wireLine(const Step& step) {
    const char* arg = wireArgument(step);
    const std::string a = arg ? arg : "";
    switch (step.spec->code) {
    case DRAVOLIN_REQUEST_LOGOFF:
        return "logoff";
    case DRAVOLIN_REQUEST_ADD:
        return "add " + a;
    case DRAVOLIN_REQUEST_REMOVE:
        return "remove " + a;
    case DRAVOLIN_REQUEST_ALLOW:
        return "allow " + a;
    case DRAVOLIN_REQUEST_LIST_DEVICES:
        return "list -what:\"devices\"" + (arg ? a : std::string("1"));
    case DRAVOLIN_REQUEST_LIST_PERMISSIONS:
        return "list -what:\"permissions\"" + a;
    case DRAVOLIN_REQUEST_SET_PARAMETER:
        return "set " + a;
    case DRAVOLIN_REQUEST_GET_PARAMETER:
        return "get " + a;
    case DRAVOLIN_REQUEST_GET_LOG:
        return "getlog";
    case DRAVOLIN_REQUEST_SHUTDOWN:
        return "shutdown";
    case DRAVOLIN_REQUEST_STATISTICS:
        return "statistics " + a;
    case DRAVOLIN_REQUEST_CONTROL:
        return "control " + a + " ";
    default:
        return std::string(step.spec->name);
    }
}

const char* wireArgument(const Step& step) {
    if (step.arg)
        return step.arg->c_str();
    switch (step.spec->code) {
    case DRAVOLIN_REQUEST_LIST_DEVICES:     // null asks for the default detail
    case DRAVOLIN_REQUEST_LIST_PERMISSIONS: // null appends nothing
        return nullptr;
    default:
        return step.spec->arg == ArgRule::None ? nullptr : "";
    }
}

std::string generalHelp() {
    std::string s =
        "usage: dravolinctl [options] COMMAND [ARG]\n"
        "       dravolinctl [options] --batch FILE\n"
        "       dravolinctl help [COMMAND] | COMMAND --help\n"
        "\n"
        "Talks to the storage server's management service (on the service port + 1).\n"
        "\n"
        "Connection:\n"
        "  --host HOST          server name, IPv4 or IPv6 address, the latter also in brackets\n"
        "                       (default 127.0.0.1; every address of a name is tried)\n"
        "  --port PORT          service port (default 3260; the library connects to PORT+1)\n"
        "  --connect-timeout S  give up a connect (TCP connect and greeting) after S seconds\n"
        "                       (default 10; 0 waits forever)\n"
        "  --timeout S          give up a command when no reply byte came for S seconds\n"
        "                       (default 60; 0 waits forever)\n"
        "  --keepalive I[,N[,C]] TCP keep-alive: probe after I idle seconds, every N seconds,\n"
        "                       give up after C unanswered probes (default 60,10,6: a dead\n"
        "                       server is found within 2 minutes; 0 turns it off)\n"
        "Plain login:\n"
        "  --user NAME          log in as NAME\n"
        "  --password PW        password (better: $DRAVOLIN_PASSWORD or the prompt)\n"
        "CHAP login:\n"
        "  --chap NAME          CHAP name\n"
        "  --secret S           CHAP secret (better: $DRAVOLIN_SECRET or the prompt)\n"
        "  --peer NAME          name the server must prove (mutual authentication)\n"
        "  --peer-secret S      secret the server must prove (or $DRAVOLIN_PEER_SECRET)\n"
        "  --encrypt            switch to the encrypted channel after the login\n"
        "Running:\n"
        "  --batch FILE         run one command per line of FILE over one connection\n"
        "                       (FILE - reads the commands from standard input)\n"
        "  --stop-on-error      end a batch at its first failed command\n"
        "  --async              submit every command at once and wait for all replies\n"
        "  --json               print the replies as JSON\n"
        "  --no-progress        no progress bar for getlog\n"
        "  --quiet              no informational lines on standard error (\"log saved to\")\n"
        "  --verbose            show each command as sent (secrets masked) and each status\n"
        "  --trace              every line sent (>) and received (<) and each connection\n"
        "                       event (*) on standard error with its UTC time (secrets masked)\n"
        "  --help, --version\n"
        "\n"
        "Commands:\n";
    for (const auto& spec : commandTable()) {
        std::string line = "  " + std::string(spec.synopsis);
        line.resize(std::max<size_t>(line.size() + 1, 27), ' ');
        s += line + std::string(spec.summary) + "\n";
    }
    s += "\n"
         "Batch file: one COMMAND [ARG] per line, ARG being the rest of the line; blank\n"
         "lines and lines starting with '#' are skipped.\n"
         "Output: the reply records as name=value lines (or --json, with \"status\",\n"
         "\"text\", \"ok\" and \"reason\" per command); a reply that did not complete\n"
         "prints no records.\n"
         "Exit codes: 0 success; 1 the server refused (it answered with a status 100-105);\n"
         "2 connection, login, time-out, lost connection or another failure on this side;\n"
         "64 usage error (also a command line too long to send). In a batch, the code of\n"
         "the first command that failed.\n";
    return s;
}

std::string commandHelp(const CommandSpec& spec) {
    return "usage: dravolinctl [options] " + std::string(spec.synopsis) + "\n\n" +
           std::string(spec.help) +
           "\n\n"
           "Time limits: --connect-timeout S (default 10) for the connect and the greeting,\n"
           "--timeout S (default 60) for a reply that stops arriving; 0 waits forever.\n"
           "Exit codes: 0 success, 1 refused by the server, 2 connection, login or time-out,\n"
           "64 usage.\n";
}

} // namespace dravolinctl
