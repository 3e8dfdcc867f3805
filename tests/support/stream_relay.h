// A loopback TCP relay that re-cuts both directions of every connection into seeded random
// pieces with random pauses between them, as a real network's segments and queues do. Put
// between the client and a server, it shows whether each side reassembles what it reads.
#pragma once

#include "peer_socket.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace testpeer {

struct StreamShape {
    std::uint32_t seed = 1;
    std::size_t maxPiece = 1448; // each piece 1..maxPiece bytes
    unsigned maxGapMs = 0;       // and 0..maxGapMs ms before it
};

class StreamRelay {
  public:
    // Forwards every connection made to port() to 127.0.0.1:`targetPort`.
    StreamRelay(std::uint16_t targetPort, StreamShape shape);
    ~StreamRelay();
    StreamRelay(const StreamRelay&) = delete;
    StreamRelay& operator=(const StreamRelay&) = delete;

    std::uint16_t port() const { return port_; }
    // The port to give the client library, which connects to this + 1.
    int servicePort() const { return static_cast<int>(port_) - 1; }
    // Pieces sent so far, both directions, all connections.
    std::uint64_t pieces() const { return pieces_.load(); }

  private:
    struct Session;
    void acceptLoop();
    void serve(Session& session, std::uint32_t seed);
    void pump(PeerSocket& from, PeerSocket& to, std::uint32_t seed, std::atomic<bool>& broken);

    const std::uint16_t target_;
    const StreamShape shape_;
    PeerSocket listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> pieces_{0};
    std::mutex lock_;
    std::list<std::unique_ptr<Session>> sessions_;
    std::thread acceptor_;
};

} // namespace testpeer
