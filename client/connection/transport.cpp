#include "transport.h"

#include "crypto_provider.h"

namespace dravolin {

using Kind = TransportResult::Kind;

namespace {

// How long a peer may stay silent while it owes the rest of a frame; the frame is rejected
// then. Without part of a frame held, a receive waits as long as the caller's limit.
constexpr int kFrameIdleLimitMs = 10000;

TransportResult resultOf(Kind kind, int error = 0) {
    TransportResult result;
    result.kind = kind;
    result.error = error;
    return result;
}

} // namespace

Transport::Transport() : stream_(socket_) {}

Transport::Transport(net::Stream& stream) : stream_(stream) {}

Transport::~Transport() = default;

TransportResult Transport::connect(const std::string& host, std::uint16_t port, int limitMs,
                                   const net::KeepAlive& keepAlive) {
    encrypted_ = false;
    frames_.reset();
    const int opened = socket_.open(host, port, limitMs, keepAlive);
    if (opened == 0) {
        return resultOf(Kind::Done);
    }
    if (opened == net::kHostNotFound) {
        return resultOf(Kind::HostNotFound);
    }
    return classify(-1, opened, limitMs != net::kNoTimeout);
}

TransportResult Transport::classify(long got, int error, bool ownLimit) {
    if (got == 0) {
        return resultOf(Kind::PeerClosed);
    }
    if (error == net::timedOutError()) {
        return resultOf(ownLimit ? Kind::TimedOut : Kind::SystemTimedOut, error);
    }
    return resultOf(Kind::SystemError, error);
}

TransportResult Transport::sendAll(const char* data, std::size_t size) {
    // A blocking socket only takes part of a send for huge texts; the rest follows at once.
    while (size > 0) {
        int error = 0;
        const long sent = stream_.send(data, size, error);
        if (sent < 0) {
            return classify(sent, error, false);
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return resultOf(Kind::Done);
}

TransportResult Transport::send(std::string_view text) {
    if (!encrypted_) {
        return sendAll(text.data(), text.size());
    }
    crypto::CryptoProvider random;
    const std::vector<std::uint8_t> frame =
        crypto::encodeFrame(cipher_, text.data(), text.size(), random);
    if (frame.empty()) {
        return resultOf(Kind::NotEncoded);
    }
    return sendAll(reinterpret_cast<const char*>(frame.data()), frame.size());
}

TransportResult Transport::receive(int limitMs, char* room, std::size_t roomSize) {
    if (encrypted_) {
        return receiveFrameText(limitMs);
    }
    int error = 0;
    const long got = stream_.receive(room, roomSize, error, limitMs);
    if (got > 0) {
        TransportResult result = resultOf(Kind::Text);
        result.text = std::string_view(room, static_cast<std::size_t>(got));
        return result;
    }
    return classify(got, error, limitMs != net::kNoTimeout);
}

TransportResult Transport::receiveFrameText(int limitMs) {
    for (;;) {
        switch (frames_.next()) {
        case crypto::FrameReassembler::Status::Text:
            if (frames_.text().empty()) {
                continue; // an empty frame carries no text, and is no end of the stream
            }
            return {Kind::Text, frames_.text(), 0, crypto::FrameError::None};
        case crypto::FrameReassembler::Status::Rejected:
            return {Kind::FrameRejected, {}, 0, frames_.error()};
        case crypto::FrameReassembler::Status::NeedMore:
            break;
        }
        const bool midFrame = frames_.holdsPartialFrame();
        const bool frameLimit =
            midFrame && (limitMs == net::kNoTimeout || limitMs > kFrameIdleLimitMs);
        int error = 0;
        const long got = stream_.receive(input_.get(), crypto::kMaxFrameSize, error,
                                         frameLimit ? kFrameIdleLimitMs : limitMs);
        if (got > 0) {
            frames_.feed(input_.get(), static_cast<std::size_t>(got));
            continue;
        }
        const TransportResult failure =
            classify(got, error, !frameLimit && limitMs != net::kNoTimeout);
        if (failure.kind != Kind::TimedOut && midFrame) {
            // Closed, reset or silent for the frame idle limit with a frame unfinished.
            return {Kind::FrameRejected, {}, error, crypto::FrameError::NoFrameEnd};
        }
        return failure;
    }
}

void Transport::discardReceived() {
    frames_.reset();
}

void Transport::encrypt(const std::vector<std::uint8_t>& serverChallenge, std::string_view secret) {
    cipher_ = crypto::ChannelCipher(serverChallenge.data(), serverChallenge.size(), secret.data(),
                                    secret.size());
    frames_.reset();
    if (!input_) {
        input_ = std::make_unique<char[]>(crypto::kMaxFrameSize);
    }
    encrypted_ = true;
}

TransportResult Transport::shutdownSend() {
    const int error = socket_.shutdownSend();
    return error == 0 ? resultOf(Kind::Done) : resultOf(Kind::SystemError, error);
}

void Transport::interrupt() {
    socket_.interrupt();
}

void Transport::abort() {
    socket_.close();
}

void Transport::close() {
    socket_.close();
    encrypted_ = false;
    frames_.reset();
}

} // namespace dravolin
