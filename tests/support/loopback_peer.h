// A scripted management service on loopback for the client's integration tests.
#pragma once

#include "frame_codec.h"
#include "peer_socket.h"
#include "reply_parser.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testpeer {

using dravolin::protocol::Record;

// A reply in the service's format: status line, header lines, empty line, body, end line.
std::string reply(int status, const std::vector<Record>& records = {}, std::string_view body = {});

inline const std::string kGreeting = "200 Service ready\r\n\r\n\r\n";

// One accepted connection, seen from the service.
class LoopbackPeer;

class PeerLink {
  public:
    PeerLink(PeerSocket socket, const std::atomic<bool>& stopping, LoopbackPeer& owner)
        : socket_(std::move(socket)), stopping_(stopping), owner_(owner) {}

    // Next command line without its LF (recorded by the peer); nullopt at end of stream, on error
    // or after `limit`.
    std::optional<std::string> readLine(Millis limit = Millis(10000));
    // Sends text in one send call (one frame once encryption is on).
    bool send(std::string_view text);
    // Sends raw bytes, bypassing encryption.
    bool sendRaw(std::string_view bytes);
    // Text in frames of at most `chunk` bytes each, one send call per frame.
    bool sendFramed(std::string_view text, std::size_t chunk);
    // Waits for the client to end the stream (or `limit`); true at end of stream.
    bool waitForEnd(Millis limit = Millis(10000));
    void switchOnEncryption(const std::vector<std::uint8_t>& serverChallenge,
                            std::string_view secret);
    PeerSocket& socket() { return socket_; }

  private:
    bool fill(Millis limit);
    PeerSocket socket_;
    const std::atomic<bool>& stopping_;
    LoopbackPeer& owner_;
    std::string pending_;
    bool encrypted_ = false;
    dravolin::crypto::ChannelCipher cipher_;
};

class LoopbackPeer {
  public:
    using Handler = std::function<void(PeerLink&)>;

    // Listens on an ephemeral loopback port; each connection runs `handler` on its own thread.
    explicit LoopbackPeer(Handler handler);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    // The port to give the client (it connects to this + 1).
    int servicePort() const { return static_cast<int>(port_) - 1; }
    // Every line received so far, all connections, in arrival order.
    std::vector<std::string> lines() const;
    void record(const std::string& line);
    int connections() const { return accepted_.load(); }

  private:
    Handler handler_;
    PeerSocket listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<std::thread> sessions_;
    mutable std::mutex linesLock_;
    std::vector<std::string> lines_;
};

// Serves a well-behaved session: greeting, then answers from `answer` for every line
// (recorded); a null answer closes the connection.
using Answer = std::function<std::optional<std::string>(const std::string&)>;
LoopbackPeer::Handler scripted(Answer answer);

} // namespace testpeer
