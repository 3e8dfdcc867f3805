// Starts the stand-in management server as a child process pinned to one CPU,
// learns its port from the first line it prints, and stops it again.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace bench {

// The port in the server's first output line, e.g. "listening 127.0.0.1 5001
// (service port 5000)": the first blank-separated word that is a number from
// 1 to 65535 (an address such as 127.0.0.1 is not one).
std::optional<std::uint16_t> parsePortLine(std::string_view line);

class ServerProcess {
  public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Runs program with args; cpu >= 0 pins it (and every thread it starts)
    // to that CPU. Waits at most timeoutMs for the first output line.
    bool start(const std::string& program, const std::vector<std::string>& args, int cpu,
               int timeoutMs);
    // Asks the server to end, waits a bounded time, then kills it.
    void stop();
    // Moves every thread of the running server to the CPU; threads it starts
    // later follow.
    bool pin(int cpu);

    std::uint16_t port() const { return port_; }
    int pid() const { return pid_; }
    const std::string& firstLine() const { return firstLine_; }

  private:
    int pid_ = -1;
    int outFd_ = -1;
    int inFd_ = -1; // the child's standard input: it ends when we do
    std::uint16_t port_ = 0;
    std::string firstLine_;
    std::thread drain_;
    std::atomic<bool> stopDrain_{false};
};

// Pins the calling thread, and every thread it starts later, to the CPU.
bool pinCurrentThread(int cpu);

// Pins every thread of a process (0: this one) to the CPU.
bool pinProcess(int pid, int cpu);

} // namespace bench
