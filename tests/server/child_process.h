// Runs a program with pipes on its standard input and output, for tests of
// the server program itself. Every wait is bounded; a child still running
// when the object goes is killed.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
  public:
    ChildProcess();
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool start(const std::string& program, const std::vector<std::string>& args);
    // One line of standard output without its line end; false when none
    // arrives within the time or the output ends.
    bool readLine(std::string& line, unsigned timeoutMs);
    void closeInput();
    // Asks the child to stop: SIGTERM on POSIX; on Windows it is terminated.
    void requestStop();
    // The exit code, or -1 when the child has not ended within the time.
    int wait(unsigned timeoutMs);

  private:
    struct Impl;
    Impl* impl_;
};

// A program in the same folder as the running test program ("name" without
// any platform suffix).
std::string siblingProgram(const std::string& name);

} // namespace testsupport
