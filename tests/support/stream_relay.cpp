#include "stream_relay.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <vector>

namespace testpeer {

namespace {
// How often a blocked wait looks at the stop mark.
constexpr Millis kPoll{50};
} // namespace

struct StreamRelay::Session {
    PeerSocket client;
    PeerSocket server;
    std::thread thread;
};

StreamRelay::StreamRelay(std::uint16_t targetPort, StreamShape shape)
    : target_(targetPort), shape_(shape) {
    socketsStart();
    port_ = listener_.listenLoopback();
    if (port_ != 0) {
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
}

StreamRelay::~StreamRelay() {
    stopping_ = true;
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    for (auto& session : sessions_) {
        session->thread.join();
    }
}

void StreamRelay::acceptLoop() {
    std::uint32_t seed = shape_.seed;
    while (!stopping_) {
        PeerSocket client = listener_.accept(kPoll);
        if (!client.valid()) {
            continue;
        }
        auto session = std::make_unique<Session>();
        session->client = std::move(client);
        Session& s = *session;
        const std::uint32_t sessionSeed = seed++;
        s.thread = std::thread([this, &s, sessionSeed] { serve(s, sessionSeed); });
        std::lock_guard guard(lock_);
        sessions_.push_back(std::move(session));
    }
}

void StreamRelay::serve(Session& s, std::uint32_t seed) {
    if (!s.server.connectLoopback(target_)) {
        s.client.abort();
        return;
    }
    std::atomic<bool> broken{false};
    std::thread back([&] { pump(s.server, s.client, seed * 2 + 1, broken); });
    pump(s.client, s.server, seed * 2, broken);
    back.join();
    if (broken) {
        // Pass a reset on as a reset.
        s.client.abort();
        s.server.abort();
    } else {
        s.client.close();
        s.server.close();
    }
}

// Forwards `from` to `to` until `from` ends (passed on as the end of the sending direction)
// or fails (then both directions end and the session resets both sides).
void StreamRelay::pump(PeerSocket& from, PeerSocket& to, std::uint32_t seed,
                       std::atomic<bool>& broken) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> pieceSize(1,
                                                         std::max<std::size_t>(1, shape_.maxPiece));
    std::uniform_int_distribution<unsigned> gap(0, shape_.maxGapMs);
    std::vector<char> buffer(64 * 1024);
    while (!stopping_ && !broken) {
        if (!from.readable(kPoll)) {
            continue;
        }
        const long got = from.receive(buffer.data(), buffer.size(), Millis(0));
        if (got == 0) {
            to.shutdownSend();
            return;
        }
        if (got < 0) {
            broken = true;
            return;
        }
        for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
            const std::size_t n = std::min(pieceSize(rng), static_cast<std::size_t>(got) - at);
            if (const unsigned ms = shape_.maxGapMs ? gap(rng) : 0; ms != 0) {
                std::this_thread::sleep_for(Millis(ms));
            }
            if (!to.send(buffer.data() + at, n)) {
                broken = true;
                return;
            }
            ++pieces_;
            at += n;
        }
    }
}

} // namespace testpeer
