// Command-line mode of the configurator: the switches -a, -p, -k and -u
// (also written with "/"), read from the already lower-cased text that
// follows the program name.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ipseccfg {

// What one command-line run applies. Address in host order (first octet in
// the most significant byte).
struct CommandLineSettings {
    std::uint32_t address = 0;
    std::uint32_t port = 3260;
    std::u16string key;
    bool deactivate = false;
};

// Turns address text into a host-order IPv4 address; false when it is
// neither a dotted literal nor a resolvable host name.
using AddressResolver = std::function<bool(const std::u16string& text, std::uint32_t& address)>;

// Process exit codes of a command-line run. "show" ends with 0 when the
// traffic is protected, 3 when not, and 2 when the store could not be read.
enum ExitCode : int {
    kExitSuccess = 0,
    kExitRejectedLine = 1,
    kExitApplyFailed = 2,
    kExitNotProtected = 3,
};

// What a whole (lower-cased) command line asks for. "show", "remove" and
// the help switches stand alone on the line (blanks after them allowed);
// anything else is read as switches.
enum class CommandKind { Switches, Show, ShowJson, Remove, Help };
CommandKind ClassifyCommandLine(std::u16string_view loweredLine);

// The part of a full process command line after the program name, the way the
// start-up code hands it to a GUI program: the name (quoted or not) and the
// blanks and tabs behind it are skipped, the rest is kept untouched.
std::u16string_view CommandLineTail(std::u16string_view fullCommandLine);

// Reads a number the way a C-style string-to-integer conversion does: leading
// white space and one sign accepted, reading stops at the first non-digit,
// no digits give 0. Values beyond the int range saturate.
std::int32_t ReadCStyleInteger(std::u16string_view text);

// Parses the switches. Tokens are separated by single blanks (code 32), so
// two blanks in a row or a trailing blank yield an empty token, which is
// rejected. Returns the settings to apply, or nothing when the line is
// rejected. Only the address switch calls the resolver.
std::optional<CommandLineSettings> ParseSwitches(std::u16string_view loweredLine,
                                                 const AddressResolver& resolve);

// The same parse, saying why a line was rejected: the address or the port
// switch's value, or a token that is no switch (`token` holds it as given,
// empty for two blanks in a row or a trailing blank).
enum class Rejection { None, InvalidAddress, InvalidPort, NotUnderstood };
struct SwitchParse {
    std::optional<CommandLineSettings> settings;
    Rejection rejection = Rejection::None;
    std::u16string token;
};
SwitchParse ParseSwitchesExplained(std::u16string_view loweredLine, const AddressResolver& resolve);

// One complete command-line run: parse, then apply. The exit code tells a
// rejected line (1) apart from an apply step that failed (2).
using ApplyFunction = std::function<bool(const CommandLineSettings&)>;
int RunCommandLine(std::u16string_view loweredLine, const AddressResolver& resolve,
                   const ApplyFunction& apply);

} // namespace ipseccfg
