#include "loopback_peer.h"

#include "crypto_provider.h"

#include <chrono>

namespace testpeer {

std::string reply(int status, const std::vector<Record>& records, std::string_view body) {
    std::string text = std::to_string(status) + " reply\r\n";
    for (const auto& r : records) {
        text += r.name + "=" + r.value + "\r\n";
    }
    text += "\r\n";
    text += body;
    text += "\r\n";
    return text;
}

bool PeerLink::fill(Millis limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[dravolin::crypto::kMaxFrameSize + 16];
    while (!stopping_) {
        const long got = socket_.receive(buffer, sizeof buffer, Millis(50));
        if (got == 0) {
            return false;
        }
        if (got > 0) {
            if (!encrypted_) {
                pending_.append(buffer, static_cast<std::size_t>(got));
                return true;
            }
            char text[dravolin::crypto::kFrameTextCapacity];
            const auto result =
                dravolin::crypto::decodeFrame(cipher_, reinterpret_cast<std::uint8_t*>(buffer),
                                              static_cast<std::size_t>(got), text, sizeof text);
            if (!result.ok()) {
                return false;
            }
            pending_.append(text, result.textLength);
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
    return false;
}

std::optional<std::string> PeerLink::readLine(Millis limit) {
    for (;;) {
        const auto lf = pending_.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            owner_.record(line);
            return line;
        }
        if (!fill(limit)) {
            return std::nullopt;
        }
    }
}

bool PeerLink::waitForEnd(Millis limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
        const long got = socket_.receive(buffer, sizeof buffer, Millis(50));
        if (got == 0) {
            return true;
        }
    }
    return false;
}

bool PeerLink::sendRaw(std::string_view bytes) {
    return socket_.send(bytes.data(), bytes.size());
}

bool PeerLink::send(std::string_view text) {
    if (!encrypted_) {
        return sendRaw(text);
    }
    dravolin::crypto::CryptoProvider random;
    const auto frame = dravolin::crypto::encodeFrame(cipher_, text.data(), text.size(), random);
    return !frame.empty() &&
           socket_.send(reinterpret_cast<const char*>(frame.data()), frame.size());
}

bool PeerLink::sendFramed(std::string_view text, std::size_t chunk) {
    for (std::size_t at = 0; at < text.size(); at += chunk) {
        if (!send(text.substr(at, chunk))) {
            return false;
        }
    }
    return true;
}

void PeerLink::switchOnEncryption(const std::vector<std::uint8_t>& serverChallenge,
                                  std::string_view secret) {
    cipher_ = dravolin::crypto::ChannelCipher(serverChallenge.data(), serverChallenge.size(),
                                              secret.data(), secret.size());
    encrypted_ = true;
}

LoopbackPeer::LoopbackPeer(Handler handler) : handler_(std::move(handler)) {
    port_ = listener_.listenLoopback();
    acceptor_ = std::thread([this] {
        while (!stopping_) {
            PeerSocket socket = listener_.accept(Millis(50));
            if (!socket.valid()) {
                continue;
            }
            ++accepted_;
            std::lock_guard guard(lock_);
            sessions_.emplace_back([this, s = std::move(socket)]() mutable {
                PeerLink link(std::move(s), stopping_, *this);
                if (handler_) {
                    handler_(link);
                }
            });
        }
    });
}

LoopbackPeer::~LoopbackPeer() {
    stopping_ = true;
    acceptor_.join();
    std::lock_guard guard(lock_);
    for (auto& t : sessions_) {
        t.join();
    }
}

std::vector<std::string> LoopbackPeer::lines() const {
    std::lock_guard guard(linesLock_);
    return lines_;
}

void LoopbackPeer::record(const std::string& line) {
    std::lock_guard guard(linesLock_);
    lines_.push_back(line);
}

LoopbackPeer::Handler scripted(Answer answer) {
    return [answer](PeerLink& link) {
        if (!link.send(kGreeting)) {
            return;
        }
        while (auto line = link.readLine()) {
            const auto text = answer(*line);
            if (!text) {
                return;
            }
            if (!text->empty() && !link.send(*text)) {
                return;
            }
        }
    };
}

} // namespace testpeer
