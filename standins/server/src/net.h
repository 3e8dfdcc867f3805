// The few socket and process facilities the server needs, behind one
// interface; net_posix.cpp and net_win32.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace dravolin::testserver::net {

using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// Starts and ends the socket library (Windows Sockets); a no-op elsewhere.
class NetworkInit {
  public:
    NetworkInit();
    ~NetworkInit();
    NetworkInit(const NetworkInit&) = delete;
    NetworkInit& operator=(const NetworkInit&) = delete;
    bool ok() const { return ok_; }

  private:
    bool ok_ = false;
};

class Socket {
  public:
    Socket() = default;
    explicit Socket(Handle handle) : handle_(handle) {}
    ~Socket() { close(); }
    Socket(Socket&& other) noexcept : handle_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool valid() const { return handle_ != kInvalidHandle; }
    Handle handle() const { return handle_; }
    Handle release() {
        Handle h = handle_;
        handle_ = kInvalidHandle;
        return h;
    }

    // Sends every byte, looping over partial sends; false on error.
    bool sendAll(const void* data, std::size_t size);
    // One receive: the byte count, 0 when the peer closed, -1 on error.
    long receive(void* buffer, std::size_t capacity);
    void setNoDelay();
    // Makes receives give up after this long (tests only; 0 = never).
    void setReceiveTimeout(unsigned milliseconds);
    void shutdownSend();
    // Closes so that the peer sees a reset rather than an orderly end.
    void closeWithReset();
    void close();

  private:
    Handle handle_ = kInvalidHandle;
};

// Wakes a thread blocked on this socket in another thread. The caller keeps
// the socket from being closed meanwhile. Returns true when waking it took
// closing the handle (Windows: shutting a socket down does not end a blocked
// receive there); the owner must then release the handle, not close it.
bool interruptHandle(Handle handle);

class Listener {
  public:
    Listener() = default;
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Binds and listens; port 0 takes any free port.
    bool open(const std::string& address, std::uint16_t port, std::string& error);
    std::uint16_t port() const { return port_; }
    // The next connection; an invalid socket on failure.
    Socket accept();
    void close() { socket_.close(); }

  private:
    Socket socket_;
    std::uint16_t port_ = 0;
};

// A TCP connection to address:port (IPv4 text form); invalid on failure.
Socket connectTo(const std::string& address, std::uint16_t port);

// Calls onSignal from a helper thread (POSIX) or the console control thread
// (Windows) when the process is asked to stop (SIGINT, SIGTERM, Ctrl-C,
// console close). Create it before any other thread, so that POSIX threads
// inherit the blocked signal mask.
class StopSignals {
  public:
    explicit StopSignals(std::function<void()> onSignal);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    struct Impl;
    Impl* impl_;
};

// Standard output without newline translation, so the first line reads the
// same on every platform.
void useBinaryStdout();

// Asks the OS to end this thread's timed waits (and those of the threads it starts later) as
// close to their time as it can, so that a think time of 200 us is about 200 us (Linux adds up
// to 50 us by default). Best effort; Windows keeps its own timer resolution.
void preciseTimers();

} // namespace dravolin::testserver::net
