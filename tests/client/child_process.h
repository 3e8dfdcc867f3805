// A child program with pipes to its standard input and output, for starting the stand-in
// server from tests.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace testpeer {

class ChildProcess {
  public:
    // Starts `program` with `arguments`; check running().
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    // Closes its standard input and waits for it (bounded), then makes sure it is gone.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool running() const;
    // One line of its standard output without the LF; empty on end or after `limit`.
    std::string readLine(std::chrono::milliseconds limit);
    // Closes its standard input and waits up to `limit` for it to end; its exit code or -1.
    int finish(std::chrono::milliseconds limit);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace testpeer
