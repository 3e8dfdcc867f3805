// A child program with pipes on its standard input and output, for tests that start the
// stand-in server (or another program) and read what it prints. Every wait is bounded; a
// child still running when the object goes is killed.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
  public:
    ChildProcess();
    // Starts `program` with `arguments` at once; check running().
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    // Closes its standard input and waits for it (up to 10 s), then makes sure it is gone.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False when the program cannot be started.
    bool start(const std::string& program, const std::vector<std::string>& arguments);
    // Started and not yet seen to end.
    bool running() const;
    // One line of its standard output without the line end (LF or CR LF); false when none
    // arrives within `limit` or the output ends.
    bool readLine(std::string& line, std::chrono::milliseconds limit);
    void closeInput();
    // Asks it to stop: SIGTERM on POSIX; on Windows it is terminated (exit code 1).
    void requestStop();
    // Waits up to `limit` for it to end: its exit code (128 + the signal when a signal ended
    // it), or -1 when it has not ended (or never started).
    int wait(std::chrono::milliseconds limit);
    // closeInput(), then wait(limit).
    int finish(std::chrono::milliseconds limit);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A program in the same folder as the running test program ("name" without any platform
// suffix).
std::string siblingProgram(const std::string& name);

} // namespace testsupport
