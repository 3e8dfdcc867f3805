// One command-line run of the configurator, whichever program runs it: the
// window program stays silent and ends with an exit code, its console twin
// prints results to standard output and messages to standard error.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "../ops/policy_store_ops.h"
#include "command_line.h"

namespace ipseccfg {

// Where a run speaks. Text is UTF-8.
class ProgramOutput {
  public:
    virtual ~ProgramOutput() = default;
    // Results asked for: the usage, what "show" found.
    virtual void Print(std::string_view text) = 0;
    // One message line (without its line end).
    virtual void Message(std::string_view line) = 0;
};

// The window program: no window and no message box, only the exit code.
class SilentOutput final : public ProgramOutput {
  public:
    void Print(std::string_view) override {}
    void Message(std::string_view) override {}
};

// What a run does to the store and the agent; tests put their own in.
struct ProgramServices {
    AddressResolver resolve;
    std::function<ApplyOutcome(const CommandLineSettings&)> apply;
    std::function<ConfigurationStatus()> readStatus;
    std::function<RemoveResult()> remove;
};

// The store operations with the platform's address resolution.
ProgramServices StoreServices(AddressResolver resolve);

// Runs a non-empty lower-cased command line and returns the exit code.
int RunProgramCommand(std::u16string_view loweredLine, const ProgramServices& services,
                      ProgramOutput& output);

// "show" as text lines and as one JSON object (each ending in a line end).
std::string FormatStatusText(const ConfigurationStatus& status);
std::string FormatStatusJson(const ConfigurationStatus& status);
std::string UsageText();

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view text);

} // namespace ipseccfg
