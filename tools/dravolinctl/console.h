// What dravolinctl needs from the operating system, behind one interface so the program logic
// runs unchanged under tests with a scripted console.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace dravolinctl {

class Console {
  public:
    virtual ~Console() = default;
    virtual bool stdinIsTerminal() const = 0;
    virtual bool stderrIsTerminal() const = 0;
    // Columns of the terminal on stderr; 80 when unknown.
    virtual int terminalWidth() const = 0;
    // Prompts on stderr and reads one line from standard input without echo; nothing on end
    // of input.
    virtual std::optional<std::string> readSecret(const std::string& prompt) = 0;
    virtual std::optional<std::string> environment(const char* name) const = 0;
    // All of standard input (a batch given as "-"); nothing when it cannot be read.
    virtual std::optional<std::string> readAllInput() = 0;
};

// Restores whatever it changed about the terminal when it goes.
class EchoGuard {
  public:
    virtual ~EchoGuard() = default;
};

// The parts of the real console that are the same on every system.
class SystemConsole : public Console {
  public:
    std::optional<std::string> readSecret(const std::string& prompt) override;
    std::optional<std::string> environment(const char* name) const override;
    std::optional<std::string> readAllInput() override;

  protected:
    // Turns the echo of standard input off until the guard goes.
    virtual std::unique_ptr<EchoGuard> echoOff() = 0;
};

std::unique_ptr<Console> makeSystemConsole();

} // namespace dravolinctl
