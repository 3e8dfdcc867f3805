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

namespace {

// Setters of the option table: each stores one option's value into the command line.

template <std::optional<std::string> Options::*Field>
std::string setText(CommandLine& line, std::string_view, const std::string& value) {
    line.options.*Field = value;
    return {};
}

template <bool Options::*Field>
std::string setFlag(CommandLine& line, std::string_view, const std::string&) {
    line.options.*Field = true;
    return {};
}

template <int Options::*Field>
std::string setSeconds(CommandLine& line, std::string_view name, const std::string& value) {
    const auto seconds = parseSeconds(value);
    if (!seconds)
        return "bad time-out " + quoted(value) + " for " + quoted(name) +
               ": expected whole seconds from 0 (no limit) to " + std::to_string(kMaxTimeout);
    line.options.*Field = *seconds;
    return {};
}

std::string setHost(CommandLine& line, std::string_view, const std::string& value) {
    if (value.empty())
        return "option '--host' needs a host name or address";
    line.options.host = value;
    return {};
}

std::string setPort(CommandLine& line, std::string_view, const std::string& value) {
    const auto port = parsePort(value);
    if (!port)
        return "bad port " + quoted(value) + ": expected a number from 0 to 65534";
    line.options.port = *port;
    return {};
}

std::string setKeepAlive(CommandLine& line, std::string_view, const std::string& value) {
    line.options.keepAlive = parseKeepAlive(value);
    if (!line.options.keepAlive)
        return "bad keep-alive " + quoted(value) +
               ": expected IDLE[,INTERVAL[,COUNT]] in whole seconds up to " +
               std::to_string(kMaxKeepAlive) +
               " (IDLE 0: off; INTERVAL from 1, COUNT from 1 to 127)";
    return {};
}

std::string setDir(CommandLine& line, std::string_view, const std::string& value) {
    line.dir = value;
    return {};
}

std::string setHelp(CommandLine& line, std::string_view, const std::string&) {
    line.wantHelp = true;
    return {};
}

std::string setVersion(CommandLine& line, std::string_view, const std::string&) {
    line.wantVersion = true;
    return {};
}

} // namespace

const std::vector<OptionSpec>& optionTable() {
    using O = Options;
    static const std::vector<OptionSpec> table = {
        {"--host", "", "HOST", "Connection",
         "server name, IPv4 or IPv6 address, the latter also in brackets\n"
         "(default 127.0.0.1; every address of a name is tried)",
         setHost},
        {"--port", "", "PORT", "Connection",
         "service port (default 3260; the library connects to PORT+1)", setPort},
        {"--connect-timeout", "", "S", "Connection",
         "give up a connect (TCP connect and greeting) after S seconds\n"
         "(default 10; 0 waits forever)",
         setSeconds<&O::connectTimeout>},
        {"--timeout", "", "S", "Connection",
         "give up a command when no reply byte came for S seconds\n"
         "(default 60; 0 waits forever)",
         setSeconds<&O::timeout>},
        {"--keepalive", "", "I[,N[,C]]", "Connection",
         "TCP keep-alive: probe after I idle seconds, every N seconds,\n"
         "give up after C unanswered probes (default 60,10,6: a dead\n"
         "server is found within 2 minutes; 0 turns it off)",
         setKeepAlive},
        {"--user", "", "NAME", "Plain login", "log in as NAME", setText<&O::user>},
        {"--password", "", "PW", "Plain login",
         "password (better: $DRAVOLIN_PASSWORD or the prompt)", setText<&O::password>},
        {"--chap", "", "NAME", "CHAP login", "CHAP name", setText<&O::chapName>},
        {"--secret", "", "S", "CHAP login", "CHAP secret (better: $DRAVOLIN_SECRET or the prompt)",
         setText<&O::secret>},
        {"--peer", "", "NAME", "CHAP login", "name the server must prove (mutual authentication)",
         setText<&O::peerName>},
        {"--peer-secret", "", "S", "CHAP login",
         "secret the server must prove (or $DRAVOLIN_PEER_SECRET)", setText<&O::peerSecret>},
        {"--encrypt", "", "", "CHAP login", "switch to the encrypted channel after the login",
         setFlag<&O::encrypt>},
        {"--batch", "", "FILE", "Running",
         "run one command per line of FILE over one connection\n"
         "(FILE - reads the commands from standard input)",
         setText<&O::batchFile>},
        {"--stop-on-error", "", "", "Running", "end a batch at its first failed command",
         setFlag<&O::stopOnError>},
        {"--async", "", "", "Running", "submit every command at once and wait for all replies",
         setFlag<&O::async>},
        {"--json", "", "", "Running", "print the replies as JSON", setFlag<&O::json>},
        {"--dir", "", "DIR", "Running",
         "getlog: save the log in DIR (default: the current directory)", setDir},
        {"--no-progress", "", "", "Running", "no progress bar for getlog", setFlag<&O::noProgress>},
        {"--quiet", "", "", "Running",
         "no informational lines on standard error (\"log saved to\")", setFlag<&O::quiet>},
        {"--verbose", "", "", "Running",
         "show each command as sent (secrets masked) and each status", setFlag<&O::verbose>},
        {"--trace", "", "", "Running",
         "every line sent (>) and received (<) and each connection\n"
         "event (*) on standard error with its UTC time (secrets masked)",
         setFlag<&O::trace>},
        {"--help", "-h", "", "Running", "", setHelp},
        {"--version", "", "", "Running", "", setVersion},
    };
    return table;
}

const OptionSpec* findOption(std::string_view spelling) {
    for (const auto& option : optionTable())
        if (option.name == spelling || (!option.alias.empty() && option.alias == spelling))
            return &option;
    return nullptr;
}

namespace {

// Reads the option at args[i], and its value, moving i past a value that is the next
// argument. Returns a usage error, or empty.
std::string readOption(const std::vector<std::string>& args, std::size_t& i, CommandLine& line) {
    const std::string& arg = args[i];
    // "--name=VALUE"; a short spelling is the whole argument.
    const auto eq = arg[1] == '-' ? arg.find('=') : std::string::npos;
    const std::string name = arg.substr(0, eq);
    const OptionSpec* option = findOption(name);
    if (!option)
        return "unknown option " + quoted(name) + " (see dravolinctl --help)";
    if (option->placeholder.empty()) {
        if (eq != std::string::npos)
            return "option " + quoted(name) + " takes no value";
        return option->apply(line, option->name, {});
    }
    if (eq != std::string::npos)
        return option->apply(line, option->name, arg.substr(eq + 1));
    if (i + 1 >= args.size())
        return "option " + quoted(name) + " needs a value";
    return option->apply(line, option->name, args[++i]);
}

// Sorts the arguments into options and words; "--" makes every later argument a word.
// Returns the first usage error, or empty.
std::string readArguments(const std::vector<std::string>& args, CommandLine& line) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            line.positional.insert(line.positional.end(), args.begin() + static_cast<long>(i) + 1,
                                   args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            line.positional.push_back(arg); // a word, also "-" alone
            continue;
        }
        if (auto problem = readOption(args, i, line); !problem.empty())
            return problem;
    }
    return {};
}

// The rules between the options and the command, in the order they are checked; returns the
// first one broken, or empty.
std::string checkCombination(const CommandLine& line, const CommandSpec* spec) {
    const Options& o = line.options;
    const struct {
        bool broken;
        const char* message;
    } rules[] = {
        {o.batchFile && spec, "--batch and a command on the command line exclude each other"},
        {!o.batchFile && !spec, "no command given (see dravolinctl --help)"},
        {o.user && o.chapName, "--user (plain login) and --chap (CHAP login) exclude each other"},
        {o.password && !o.user, "--password needs --user"},
        {o.secret && !o.chapName, "--secret needs --chap"},
        {o.peerName && !o.chapName, "--peer needs --chap"},
        {o.peerSecret && !o.peerName, "--peer-secret needs --peer"},
        {o.encrypt && !o.chapName, "--encrypt needs --chap"},
        {line.dir && (!spec || spec->name != "getlog"), "--dir applies to getlog only"},
        {o.quiet && o.verbose, "--quiet and --verbose exclude each other"},
        {o.stopOnError && !o.batchFile, "--stop-on-error applies to --batch only"},
        {o.stopOnError && o.async, "--stop-on-error and --async exclude each other (--async "
                                   "sends every command at once)"},
        {o.batchFile && o.batchFile->empty(),
         "option '--batch' needs a file name, or - for standard input"},
    };
    for (const auto& rule : rules)
        if (rule.broken)
            return rule.message;
    return {};
}

// The command word and its argument words as the one step to run; returns a usage error, or
// empty.
std::string addCommandStep(const CommandLine& line, const CommandSpec& spec, Invocation& inv) {
    Step step;
    step.spec = &spec;
    if (line.positional.size() > 1) {
        std::string arg = line.positional[1];
        for (std::size_t k = 2; k < line.positional.size(); ++k)
            arg += " " + line.positional[k];
        step.arg = std::move(arg);
    }
    step.dir = line.dir;
    if (auto problem = checkArgument(step); !problem.empty())
        return problem;
    inv.steps.push_back(std::move(step));
    return {};
}

// What the words and options ask for: help wins over an incomplete command line, then the
// version, then a run. Returns a usage error, or empty.
std::string decide(CommandLine& line, Invocation& inv) {
    const bool helpCommand = !line.positional.empty() && line.positional.front() == "help";
    if (helpCommand) {
        line.wantHelp = true;
        line.positional.erase(line.positional.begin());
    }
    const CommandSpec* spec = nullptr;
    if (!line.positional.empty()) {
        spec = findCommand(line.positional.front());
        if (!spec)
            return "unknown command " + quoted(line.positional.front()) +
                   " (see dravolinctl --help)";
    }
    if (line.wantHelp) {
        if (helpCommand && line.positional.size() > 1)
            return "'help' takes at most one command name";
        inv.mode = Invocation::Mode::Help;
        inv.helpFor = spec;
        return {};
    }
    if (line.wantVersion) {
        inv.mode = Invocation::Mode::Version;
        return {};
    }
    if (auto problem = checkCombination(line, spec); !problem.empty())
        return problem;
    return spec ? addCommandStep(line, *spec, inv) : std::string();
}

} // namespace

ParseResult parseCommandLine(const std::vector<std::string>& args) {
    ParseResult result;
    CommandLine line;
    result.error = readArguments(args, line);
    if (result.error.empty())
        result.error = decide(line, result.invocation);
    result.invocation.options = std::move(line.options);
    result.ok = result.error.empty();
    return result;
}

namespace {

// "--dir DIR" or "--dir=DIR", all that a getlog line of a batch may carry after the command
// word. Returns a usage error, or empty.
std::string readGetlogDirectory(std::string_view rest, Step& step) {
    const std::string_view option = "--dir";
    if (rest.substr(0, option.size()) != option ||
        (rest.size() > option.size() &&
         kBlanks.find(rest[option.size()]) == std::string_view::npos && rest[option.size()] != '='))
        return "'getlog' takes only --dir DIR";
    std::string_view dir = rest.substr(option.size());
    if (!dir.empty() && dir.front() == '=')
        dir.remove_prefix(1);
    dir = trimBlanks(dir);
    if (dir.empty())
        return "option '--dir' needs a value";
    step.dir = std::string(dir);
    return {};
}

// One command line of a batch, trimmed: COMMAND [ARG]. Returns a usage error, or empty.
std::string readBatchLine(std::string_view line, Step& step) {
    const auto wordEnd = std::min(line.find_first_of(kBlanks), line.size());
    const std::string_view word = line.substr(0, wordEnd);
    const std::string_view rest = trimBlanks(line.substr(wordEnd));
    step.spec = findCommand(word);
    if (!step.spec)
        return "unknown command " + quoted(word);
    if (step.spec->name == "getlog" && !rest.empty()) {
        if (auto problem = readGetlogDirectory(rest, step); !problem.empty())
            return problem;
    } else if (!rest.empty()) {
        step.arg = std::string(rest);
    }
    return checkArgument(step);
}

} // namespace

BatchResult parseBatch(std::string_view text, std::string_view fileName) {
    BatchResult result;
    std::size_t lineNo = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        auto end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = trimBlanks(text.substr(pos, end - pos));
        pos = end + 1;
        ++lineNo;
        if (line.empty() || line.front() == '#')
            continue;
        Step step;
        step.origin = std::string(fileName) + ":" + std::to_string(lineNo);
        if (auto problem = readBatchLine(line, step); !problem.empty()) {
            result.error = step.origin + ": " + problem;
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

namespace {

// Where the descriptions of the options begin in --help.
constexpr std::size_t kHelpColumn = 23;

// "-h, --help", "--host HOST".
std::string optionLabel(const OptionSpec& option) {
    std::string label = option.alias.empty() ? "" : std::string(option.alias) + ", ";
    label += option.name;
    if (!option.placeholder.empty())
        label += " " + std::string(option.placeholder);
    return label;
}

// The description from the help column, its later lines indented to it.
std::string describedOption(const OptionSpec& option) {
    std::string line = "  " + optionLabel(option);
    line.resize(std::max(line.size() + 1, kHelpColumn), ' ');
    for (char c : option.help)
        line += c == '\n' ? "\n" + std::string(kHelpColumn, ' ') : std::string(1, c);
    return line + "\n";
}

// The option table as --help lists it: each group under its heading, options without a
// description together on one line.
std::string optionHelp() {
    std::string s, undescribed;
    std::string_view group;
    auto endUndescribed = [&] {
        if (!undescribed.empty())
            s += "  " + undescribed + "\n";
        undescribed.clear();
    };
    for (const auto& option : optionTable()) {
        if (option.group != group) {
            endUndescribed();
            group = option.group;
            s += std::string(group) + ":\n";
        }
        if (option.help.empty()) {
            undescribed += (undescribed.empty() ? "" : ", ") + optionLabel(option);
            continue;
        }
        endUndescribed();
        s += describedOption(option);
    }
    endUndescribed();
    return s;
}

} // namespace

std::string generalHelp() {
    std::string s = "usage: dravolinctl [options] COMMAND [ARG]\n"
                    "       dravolinctl [options] --batch FILE\n"
                    "       dravolinctl help [COMMAND] | COMMAND --help\n"
                    "\n"
                    "Talks to the storage server's management service (on the service port + 1).\n"
                    "\n" +
                    optionHelp() +
                    "\n"
                    "Commands:\n";
    for (const auto& spec : commandTable()) {
        std::string line = "  " + std::string(spec.synopsis);
        line.resize(std::max<size_t>(line.size() + 1, 27), ' ');
        s += line + std::string(spec.summary) + "\n";
    }
    s += "\n"
         "After --, every word is COMMAND or ARG, also one that begins with '-'.\n"
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
