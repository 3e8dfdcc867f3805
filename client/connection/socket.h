// Blocking TCP socket of one connection, behind one interface for every OS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace dravolin::net {

// Starts the OS socket layer (Windows Sockets 2.0 exactly); false when not available.
bool startup();
void cleanup();

// The error code for "timed out" (10060 on Windows), reported for a connect or a receive that
// ran out of its time.
int timedOutError();

// No time limit: the call blocks until the OS ends it.
constexpr int kNoTimeout = -1;

// What open() returns when the host name resolves to no IPv4 address (no system code says it
// on every OS).
constexpr int kHostNotFound = -2;

// One send / receive call at a time on a connected byte stream: the socket, or a stand-in
// for it in tests.
class Stream {
  public:
    virtual ~Stream() = default;
    // The byte count, or -1 with `error` set.
    virtual long send(const char* data, std::size_t length, int& error) = 0;
    // With a `timeoutMs` of 0 or more, a receive that sees no byte, no end of stream and no
    // error for that long returns -1 with timedOutError().
    virtual long receive(char* buffer, std::size_t capacity, int& error,
                         int timeoutMs = kNoTimeout) = 0;
};

class Socket : public Stream {
  public:
    Socket() = default;
    ~Socket() override;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Creates an IPv4 stream socket and connects it to `host` (dotted address first, else the
    // first address the name resolves to) on `port`. Returns 0, the error code when the
    // socket could not be created, or kHostNotFound. A failed connect is not reported here:
    // it shows on the
    // first send or receive. With a `timeoutMs` of 0 or more, the name lookup is followed by a
    // connect that gives up after that many milliseconds (timedOutError() then shows on the
    // first send or receive); kNoTimeout keeps the OS's own limit. The socket is blocking
    // afterwards either way.
    int open(const std::string& host, std::uint16_t port, int timeoutMs = kNoTimeout);

    long send(const char* data, std::size_t length, int& error) override;
    // interrupt() ends a receive's wait at once.
    long receive(char* buffer, std::size_t capacity, int& error,
                 int timeoutMs = kNoTimeout) override;

    // Shuts the sending direction down; 0 or the error code.
    int shutdownSend();

    // Wakes a receive blocked on another thread (shuts both directions down) and keeps any
    // later open() from succeeding; may be called from any thread.
    void interrupt();

    // Closes the socket; only the thread that does the I/O calls this.
    void close();

  private:
    mutable std::mutex lock_; // orders close() against interrupt() from other threads
    std::intptr_t handle_ = -1;
    bool interrupted_ = false; // no socket may be opened any more
    int pendingError_ = 0;     // connect failure, reported by the next send or receive
};

} // namespace dravolin::net
