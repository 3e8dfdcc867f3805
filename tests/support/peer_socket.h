// Minimal loopback TCP for the test peer, with time limits on every wait.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace testpeer {

using Millis = std::chrono::milliseconds;

bool socketsStart();

class PeerSocket {
  public:
    PeerSocket() = default;
    explicit PeerSocket(std::intptr_t handle) : handle_(handle) {}
    ~PeerSocket();
    PeerSocket(PeerSocket&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
    PeerSocket& operator=(PeerSocket&& other) noexcept;
    PeerSocket(const PeerSocket&) = delete;
    PeerSocket& operator=(const PeerSocket&) = delete;

    // Listens on 127.0.0.1 at an ephemeral port with this accept queue; returns the port, 0 on
    // failure.
    std::uint16_t listenLoopback(int backlog = 16);
    // Accepts one connection; an invalid socket when `limit` passes first.
    PeerSocket accept(Millis limit);
    // Connects to 127.0.0.1 at `port` (no delay on small sends); false on failure.
    bool connectLoopback(std::uint16_t port);
    // True when a receive would not block (data, end of stream or error) within `limit`.
    bool readable(Millis limit);
    // Receives up to `capacity` bytes; -1 on error or time-out, 0 at end of stream.
    long receive(char* buffer, std::size_t capacity, Millis limit);
    // One send call for all of it; false on error.
    bool send(const char* data, std::size_t length);
    void shutdownSend();
    // Closes with a reset instead of an orderly end.
    void abort();
    void close();
    bool valid() const { return handle_ != -1; }

  private:
    std::intptr_t handle_ = -1;
};

} // namespace testpeer
