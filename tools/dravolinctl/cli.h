// Command-line model of dravolinctl: options, commands and the batch format.
// Pure code: no I/O, no library calls, so every rule is unit-testable.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dravolinctl {

// Process exit codes.
enum ExitCode : int {
    kExitOk = 0,
    kExitRefused = 1,    // the server answered with a failure status (a status line came)
    kExitConnection = 2, // could not connect or log in, timed out, or the connection broke
    kExitUsage = 64,     // bad command line or batch file
};

// Time limits in seconds; 0 waits forever.
inline constexpr int kDefaultConnectTimeout = 10;
inline constexpr int kDefaultTimeout = 60;
// Largest limit, so that it fits the library's milliseconds.
inline constexpr int kMaxTimeout = 2000000;

// TCP keep-alive in seconds (--keepalive IDLE[,INTERVAL[,COUNT]]; IDLE 0 turns it off).
struct KeepAliveOption {
    int idle = 60;
    int interval = 10;
    int count = 6;
};
// Largest keep-alive value in seconds (the system's own bound).
inline constexpr int kMaxKeepAlive = 32767;

// "IDLE[,INTERVAL[,COUNT]]": whole seconds (count: probes from 1 to 127); the parts left out
// keep their defaults. Empty when malformed.
std::optional<KeepAliveOption> parseKeepAlive(std::string_view text);

enum class ArgRule { None, Optional, Required };

struct CommandSpec {
    std::string_view name;
    unsigned code; // request code of DravolinClient_SendRequest
    ArgRule arg;
    std::string_view synopsis;
    std::string_view summary; // one line for the command list
    std::string_view help;
};

// Every command, in the order the help lists them.
const std::vector<CommandSpec>& commandTable();
const CommandSpec* findCommand(std::string_view name);

// One command to run.
struct Step {
    const CommandSpec* spec = nullptr;
    std::optional<std::string> arg;
    std::optional<std::string> dir; // getlog only
    std::string origin;             // "FILE:LINE" for batch lines, empty otherwise
};

struct Options {
    std::string host = "127.0.0.1";
    int port = 3260;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> chapName;
    std::optional<std::string> secret;
    std::optional<std::string> peerName;
    std::optional<std::string> peerSecret;
    bool encrypt = false;
    bool json = false;
    bool async = false;
    bool noProgress = false;
    std::optional<std::string> batchFile; // "-": standard input
    int connectTimeout = kDefaultConnectTimeout;
    int timeout = kDefaultTimeout;
    bool stopOnError = false;
    bool quiet = false;
    bool verbose = false;
    std::optional<KeepAliveOption> keepAlive; // unset: the library's default
    bool trace = false; // every line sent and received on standard error, with times
};

// What the options of a command line gather, before the rules that look at the whole line.
struct CommandLine {
    Options options;
    bool wantHelp = false;
    bool wantVersion = false;
    std::optional<std::string> dir; // --dir: getlog only
    std::vector<std::string> positional;
};

// One row of the option table. The parser and the option lines of --help are both made from
// this table, so they cannot disagree.
struct OptionSpec {
    std::string_view name;        // "--host", also written "--host=VALUE"
    std::string_view alias;       // a short spelling ("-h"), or empty; never "-h=VALUE"
    std::string_view placeholder; // the value in --help ("HOST"); empty: a flag without value
    std::string_view group;       // the heading --help lists the option under
    // The description, its lines broken with '\n'. Empty: --help lists the option on one line
    // with the options next to it that have none either.
    std::string_view help;
    // Stores the value (empty for a flag) under the option's name; returns a usage error, or
    // empty when the value is fine.
    std::string (*apply)(CommandLine& line, std::string_view name, const std::string& value);
};

// Every option, in the order --help lists them.
const std::vector<OptionSpec>& optionTable();
// The option spelled `spelling` (its name or its alias); null when there is none.
const OptionSpec* findOption(std::string_view spelling);

struct Invocation {
    enum class Mode { Run, Help, Version };
    Mode mode = Mode::Run;
    const CommandSpec* helpFor = nullptr; // Help for one command; null: general help
    Options options;
    std::vector<Step> steps; // empty when batchFile is set: the file is read later
};

struct ParseResult {
    bool ok = false;
    std::string error; // one line, without the program name
    Invocation invocation;
};

// args excludes the program name.
ParseResult parseCommandLine(const std::vector<std::string>& args);

struct BatchResult {
    bool ok = false;
    std::string error; // "FILE:LINE: what"
    std::vector<Step> steps;
};

// One command per line: COMMAND [ARG], where ARG is the rest of the line after the blanks
// that follow the command word. Blank lines and lines starting with '#' are skipped.
BatchResult parseBatch(std::string_view text, std::string_view fileName);

// The command line that the library sends for a step, as --verbose shows it (without its
// line end).
std::string wireLine(const Step& step);

// Text for a message: cut to `limit` characters with "..." when longer.
std::string cutForMessage(std::string_view text, std::size_t limit = 200);

// The argument handed to the library for a step: null only where the library gives null a
// meaning of its own (the default listing). A formatted command ("statistics %s") without an
// argument gets an empty text, so that no "(null)" goes on the wire.
const char* wireArgument(const Step& step);

std::string generalHelp();
std::string commandHelp(const CommandSpec& spec);

// Where the login secrets come from, in this order: the option, the environment variable, a
// prompt without echo when standard input is a terminal.
inline constexpr const char* kPasswordEnv = "DRAVOLIN_PASSWORD";
inline constexpr const char* kSecretEnv = "DRAVOLIN_SECRET";
inline constexpr const char* kPeerSecretEnv = "DRAVOLIN_PEER_SECRET";

} // namespace dravolinctl
