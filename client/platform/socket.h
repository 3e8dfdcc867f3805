// Blocking TCP socket of one connection, behind one interface for every OS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace dravolin::net {

class ConnectRace;
namespace sys {
struct Address;
}

// Starts the OS socket layer (Windows Sockets 2.0 exactly); false when not available.
bool startup();
void cleanup();

// The error code for "timed out" (10060 on Windows), reported for a connect or a receive that
// ran out of its time.
int timedOutError();

// No time limit: the call blocks until the OS ends it.
constexpr int kNoTimeout = -1;

// What open() returns when the host name resolves to no address (no system code says it on
// every OS); connectReport() then holds the resolver's text.
constexpr int kHostNotFound = -2;

// TCP keep-alive of a connection: probes after `idleMs` without traffic, then every
// `intervalMs`; after `count` unanswered probes the system ends the connection. An `idleMs`
// of 0 turns keep-alive off. The same total also bounds how long sent data may stay
// unacknowledged, where the system offers that.
struct KeepAlive {
    int idleMs = 60000;
    int intervalMs = 10000;
    int count = 6;
    bool operator==(const KeepAlive&) const = default;
};

// The error that send and receive report when the system ended the connection because the
// peer stopped answering (keep-alive probes or sent data went unanswered), told apart from a
// receive limit of the caller's that ran out.
constexpr int kPeerStoppedAnswering = -4;

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

    // Resolves `host` (a name, an IPv4 or IPv6 address, the latter also in brackets) to all
    // its addresses and connects to one of them on `port`: every address in the resolver's
    // order, the next one when the previous failed or after the stagger (connect_race.h); the
    // first to connect wins. Returns 0 when connected, kHostNotFound, timedOutError() when
    // `timeoutMs` (0 or more) ran out first, or the system's code of the failure: that of the
    // last address tried when none took the connection, or that of a connect that interrupt()
    // ended. connectReport() names every address and what became of it. kNoTimeout keeps the
    // OS's own limit for each attempt. The socket is blocking afterwards.
    int open(const std::string& host, std::uint16_t port, int timeoutMs = kNoTimeout,
             const KeepAlive& keepAlive = KeepAlive{});

    // Changes the keep-alive of the open socket (no effect without one); 0 or the error code.
    int setKeepAlive(const KeepAlive& keepAlive);

    // What the last open() found: the resolver's text when no address was found, else one
    // "address: outcome" per address tried.
    const std::string& connectReport() const { return report_; }
    // What the last open() found, one "address: outcome" per address (empty when the name
    // resolved to none).
    const std::vector<std::string>& connectAttempts() const { return attempts_; }
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
    bool isInterrupted() const;
    int race(ConnectRace& race, const std::vector<sys::Address>& addresses, int timeoutMs,
             const KeepAlive& keepAlive);
    int keepWinner(std::intptr_t handle, const KeepAlive& keepAlive);

    mutable std::mutex lock_; // orders close() against interrupt() from other threads
    std::intptr_t handle_ = -1;
    bool interrupted_ = false;          // no socket may be opened any more
    std::string report_;                // see connectReport()
    std::vector<std::string> attempts_; // see connectAttempts()
};

} // namespace dravolin::net
