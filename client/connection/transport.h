// The byte side of one connection: the only code that holds the socket and the frame
// reassembler. Connects with its limit, sends a command line (plain, or as one encrypted
// frame), and receives reply text (the bytes of one receive, or the text of one frame).
// Every call says what happened in its result.
#pragma once

#include "frame_codec.h"
#include "frame_reassembler.h"
#include "socket.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dravolin {

struct TransportResult {
    enum class Kind {
        Done,           // sent whole / connected / shut down
        Text,           // `text` holds reply text
        PeerClosed,     // the peer ended the stream
        FrameRejected,  // an encrypted frame failed its checks (`frameError`)
        TimedOut,       // the caller's own limit ran out
        SystemTimedOut, // the system's own time limit ended the call (`error`)
        SystemError,    // `error` holds the system's code
        HostNotFound,   // the host name resolved to no address (connectReport() says why)
        NotEncoded,     // no frame could be made (the random source failed)
    };
    Kind kind = Kind::Done;
    std::string_view text;
    int error = 0;
    crypto::FrameError frameError = crypto::FrameError::None;

    bool failed() const { return kind != Kind::Done && kind != Kind::Text; }
};

class Transport {
  public:
    Transport();
    // Over a given stream instead of a socket of its own (tests).
    explicit Transport(net::Stream& stream);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Opens the socket and connects within `limitMs` (net::kNoTimeout: the OS's limit); a
    // failure is told here, at once (connectReport() names every address tried).
    TransportResult connect(const std::string& host, std::uint16_t port, int limitMs,
                            const net::KeepAlive& keepAlive = net::KeepAlive{});
    // What the last connect found out about each address (net::Socket::connectReport()).
    const std::string& connectReport() const { return socket_.connectReport(); }
    const std::vector<std::string>& connectAttempts() const { return socket_.connectAttempts(); }
    // Changes the keep-alive of the open socket (any thread).
    void setKeepAlive(const net::KeepAlive& keepAlive) { socket_.setKeepAlive(keepAlive); }

    // Sends the whole text, in one call when the stream takes it.
    TransportResult send(std::string_view text);

    // The next piece of reply text: plain text lands in `room` (the caller's, so that an idle
    // connection holds no buffer of its own), a frame's text stays in the reassembler.
    // `limitMs` bounds the wait for the next byte; while part of a frame is held, the frame
    // idle limit applies when it is the shorter one.
    TransportResult receive(int limitMs, char* room, std::size_t roomSize);

    // Drops whatever was received beyond the reply just completed.
    void discardReceived();

    // From now on every command goes out as one encrypted frame and the replies come in frames.
    void encrypt(const std::vector<std::uint8_t>& serverChallenge, std::string_view secret);

    TransportResult shutdownSend();
    // Wakes a blocked call (any thread) and keeps the socket from being opened again.
    void interrupt();
    // Closes the socket under a blocked call that interrupt() did not wake (any thread).
    void abort();
    void close();

  private:
    TransportResult sendAll(const char* data, std::size_t size);
    TransportResult receiveFrameText(int limitMs);
    // What a failed call means (`got` 0: the peer ended the stream): the one place that
    // decides "timed out", which only a limit of the caller's (`ownLimit`) is.
    static TransportResult classify(long got, int error, bool ownLimit);

    net::Socket socket_;
    net::Stream& stream_;
    bool encrypted_ = false;
    crypto::ChannelCipher cipher_;
    // TCP may cut a frame over several receives or bring several in one.
    crypto::FrameReassembler frames_{cipher_};
    std::unique_ptr<char[]> input_; // one receive's bytes of the encrypted channel
};

} // namespace dravolin
