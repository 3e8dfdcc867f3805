#include "server.h"

#include "crypto_provider.h"
#include "frame_codec.h"
#include "frame_reassembler.h"
#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

namespace dravolin::testserver {

namespace crypto = dravolin::crypto;

namespace {

// Command lines longer than this are refused and skipped.
constexpr std::size_t kMaxCommandLine = 1024 * 1024;
// Largest encrypted frame accepted from a client (commands are short).
constexpr std::size_t kMaxIncomingFrame = kMaxCommandLine + 32;

// Reads the bytes of one reply in order: head, streamed body, tail.
class ReplyReader {
  public:
    explicit ReplyReader(Outgoing& out) : out_(out) {}
    std::size_t read(char* buffer, std::size_t capacity) {
        std::size_t n = 0;
        while (n < capacity) {
            if (part_ == 0) {
                n += copy(out_.head, buffer + n, capacity - n);
            } else if (part_ == 1) {
                std::size_t got = out_.body ? out_.body->read(buffer + n, capacity - n) : 0;
                n += got;
                if (got == 0)
                    next();
            } else if (part_ == 2) {
                n += copy(out_.tail, buffer + n, capacity - n);
            } else {
                break;
            }
        }
        return n;
    }

  private:
    std::size_t copy(const std::string& s, char* buffer, std::size_t capacity) {
        std::size_t take = std::min(capacity, s.size() - pos_);
        std::memcpy(buffer, s.data() + pos_, take);
        pos_ += take;
        if (pos_ == s.size())
            next();
        return take;
    }
    void next() {
        ++part_;
        pos_ = 0;
    }
    Outgoing& out_;
    int part_ = 0;
    std::size_t pos_ = 0;
};

// One connection's byte transport: plain, or encrypted frames once the
// login switched it on.
class Link {
  public:
    Link(net::Socket& socket, ServerState& state, Server& server)
        : socket_(socket), state_(state), server_(server) {}

    bool encrypted() const { return cipher_ != nullptr; }
    void startEncryption(const ChannelKey& key) {
        cipher_ = std::make_unique<crypto::ChannelCipher>(key.data());
        frames_ = std::make_unique<crypto::FrameReassembler>(*cipher_, kMaxIncomingFrame);
        input_.resize(64 * 1024);
    }

    // How the sends of the next reply reach the wire: cut into pieces of `piece` bytes
    // (0: whole) with `gapMs` before every piece but the reply's first, or all held and
    // sent as one by endReply().
    void startReply(std::size_t piece, unsigned gapMs, bool coalesce) {
        piece_ = piece;
        gapMs_ = gapMs;
        coalesce_ = coalesce;
        firstPiece_ = true;
    }
    bool endReply() {
        const bool ok = flushHeld();
        piece_ = 0;
        coalesce_ = false;
        return ok;
    }

    // Plain: the bytes as they are. Encrypted: one frame per call.
    bool send(const char* data, std::size_t size, bool corrupt = false) {
        if (!cipher_)
            return sendRaw(data, size);
        crypto::CryptoProvider random;
        std::vector<std::uint8_t> frame = crypto::encodeFrame(*cipher_, data, size, random);
        if (frame.empty())
            return false;
        if (corrupt)
            frame[frame.size() / 2] ^= 0x10;
        return sendRaw(reinterpret_cast<const char*>(frame.data()), frame.size());
    }

    // One send call of the peer's, as the reply's shape has it reach the wire.
    bool sendRaw(const char* data, std::size_t size) {
        if (coalesce_) {
            held_.append(data, size);
            return held_.size() < kCoalesceLimit || flushHeld();
        }
        if (piece_ == 0)
            return sendWire(data, size);
        for (std::size_t at = 0; at < size; at += piece_) {
            if (!firstPiece_ && !server_.pause(gapMs_))
                return false;
            firstPiece_ = false;
            if (!sendWire(data + at, std::min(piece_, size - at)))
                return false;
        }
        return true;
    }

    // Appends received text; false when the peer closed, failed or sent a
    // frame that does not check out (the connection then ends). A receive may
    // bring no text: part of a frame, whose rest follows.
    bool receive(std::string& text) {
        if (!cipher_) {
            char buf[32768];
            long n = socket_.receive(buf, sizeof buf);
            if (n <= 0)
                return false;
            state_.bytesReceived += static_cast<std::uint64_t>(n);
            text.append(buf, static_cast<std::size_t>(n));
            return true;
        }
        // TCP may cut a frame over several receives or bring several in one.
        long n = socket_.receive(input_.data(), input_.size());
        if (n <= 0)
            return false;
        state_.bytesReceived += static_cast<std::uint64_t>(n);
        frames_->feed(input_.data(), static_cast<std::size_t>(n));
        for (;;) {
            switch (frames_->next()) {
            case crypto::FrameReassembler::Status::Text:
                text.append(frames_->text());
                break;
            case crypto::FrameReassembler::Status::NeedMore:
                return true;
            case crypto::FrameReassembler::Status::Rejected:
                return false;
            }
        }
    }

  private:
    bool sendWire(const char* data, std::size_t size) {
        if (!socket_.sendAll(data, size))
            return false;
        state_.bytesSent += size;
        return true;
    }
    bool flushHeld() {
        if (held_.empty())
            return true;
        const bool ok = sendWire(held_.data(), held_.size());
        held_.clear();
        return ok;
    }

    net::Socket& socket_;
    ServerState& state_;
    Server& server_;
    std::unique_ptr<crypto::ChannelCipher> cipher_;
    std::unique_ptr<crypto::FrameReassembler> frames_; // refers to *cipher_
    std::vector<char> input_;
    std::size_t piece_ = 0;
    unsigned gapMs_ = 0;
    bool coalesce_ = false;
    bool firstPiece_ = true;
    std::string held_;
};

// Sends the bytes of one reply under its fault plan.
std::optional<AfterReply> sendPlanned(Link& link, Outgoing& out, Server& server,
                                      const SendPlan& plan) {
    const ServerConfig& cfg = server.config();
    if (plan.junkFrame) {
        std::vector<std::uint8_t> junk(plan.junkFrame);
        crypto::CryptoProvider().fill(junk.data(), junk.size());
        if (!link.sendRaw(reinterpret_cast<const char*>(junk.data()), junk.size()))
            return std::nullopt;
        return plan.after;
    }
    ReplyReader reader(out);
    std::uint64_t remaining = plan.sendBytes;
    bool firstPiece = true;
    char one;
    // Encrypted, each dripped byte is a frame; a paced peer keeps its frame gap.
    const unsigned dripGap =
        link.encrypted() ? std::max(plan.dripGapMs, cfg.frameGapMs) : plan.dripGapMs;
    for (std::uint64_t i = 0; i < plan.dripBytes && remaining > 0; ++i, --remaining) {
        if (reader.read(&one, 1) != 1 || !link.send(&one, 1, firstPiece && plan.corruptFirstFrame))
            return std::nullopt;
        firstPiece = false;
        if (!server.pause(dripGap))
            return std::nullopt;
    }
    const std::string extra = plan.appendExtraReply ? extraReplyText() : std::string();
    std::vector<char> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(remaining, plan.chunk) + extra.size()));
    bool extraSent = extra.empty();
    while (remaining > 0) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, plan.chunk));
        std::size_t got = reader.read(buffer.data(), want);
        if (got == 0)
            return AfterReply::Close; // a log file that shrank: the reply cannot end well
        remaining -= got;
        std::size_t size = got;
        // The unsolicited reply rides in the same write (or frame), unless
        // that frame would grow past what a client accepts.
        if (remaining == 0 && !extraSent &&
            (!link.encrypted() || size + extra.size() <= cfg.frameText)) {
            std::memcpy(buffer.data() + size, extra.data(), extra.size());
            size += extra.size();
            extraSent = true;
        }
        if (!link.send(buffer.data(), size, firstPiece && plan.corruptFirstFrame))
            return std::nullopt;
        firstPiece = false;
        // Back to back unless a pause between frames is asked for.
        if (remaining > 0 && link.encrypted() && !server.pause(cfg.frameGapMs))
            return std::nullopt;
    }
    if (!extraSent) {
        if (link.encrypted() && !firstPiece && !server.pause(cfg.frameGapMs))
            return std::nullopt;
        if (!link.send(extra.data(), extra.size()))
            return std::nullopt;
    }
    return plan.after;
}

// Sends one reply under its fault plan; returns what the connection does next,
// or nothing when sending failed.
std::optional<AfterReply> sendReply(Link& link, Outgoing& out, Server& server) {
    const SendPlan plan =
        planSend(out.size(), out.fault, link.encrypted() ? server.config().frameText : 0);
    link.startReply(plan.splitPiece, plan.splitGapMs, plan.coalesce);
    const std::optional<AfterReply> after = sendPlanned(link, out, server, plan);
    if (!link.endReply())
        return std::nullopt;
    return after;
}

} // namespace

Server::Server(ServerConfig config) : config_(std::move(config)), state_(config_.authMode) {}

Server::~Server() {
    stop();
}

bool Server::start(std::string& error) {
    std::uint16_t port =
        config_.ephemeral ? 0 : static_cast<std::uint16_t>(config_.servicePort + 1);
    if (!listener_.open(config_.bindAddress, port, error))
        return false;
    {
        std::lock_guard g(lock_);
        started_ = true;
    }
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void Server::requestStop() {
    std::lock_guard g(lock_);
    stopRequested_ = true;
    wake_.notify_all();
}

bool Server::waitForStopRequest(unsigned seconds) {
    std::unique_lock g(lock_);
    if (seconds == 0) {
        wake_.wait(g, [this] { return stopRequested_ || stopping_; });
        return true;
    }
    return wake_.wait_for(g, std::chrono::seconds(seconds),
                          [this] { return stopRequested_ || stopping_; });
}

bool Server::pause(unsigned milliseconds) {
    return pauseMicros(milliseconds * 1000u);
}

bool Server::pauseMicros(unsigned microseconds) {
    std::unique_lock g(lock_);
    if (microseconds == 0)
        return !stopping_;
    wake_.wait_for(g, std::chrono::microseconds(microseconds), [this] { return stopping_; });
    return !stopping_;
}

bool Server::stopping() const {
    std::lock_guard g(lock_);
    return stopping_;
}

void Server::stop() {
    {
        std::lock_guard g(lock_);
        if (stopping_ || !started_) {
            stopping_ = true;
            return;
        }
        stopping_ = true;
        wake_.notify_all();
    }
    // A connection of our own wakes the blocked accept, on every platform.
    {
        std::string address = config_.bindAddress == "0.0.0.0" ? "127.0.0.1"
                              : config_.bindAddress == "::" || config_.bindAddress == "[::]"
                                  ? "::1"
                                  : config_.bindAddress;
        net::Socket poke = net::connectTo(address, listener_.port());
    }
    if (acceptThread_.joinable())
        acceptThread_.join();
    listener_.close();
    std::list<Worker> workers;
    {
        std::lock_guard g(lock_);
        for (auto& [id, handle] : open_)
            if (net::interruptHandle(handle))
                closedByStop_[id] = true;
        workers.swap(workers_);
    }
    for (auto& w : workers)
        w.thread.join();
}

void Server::reapFinished() {
    std::list<Worker> finished;
    {
        std::lock_guard g(lock_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            auto next = std::next(it);
            if (it->done->load())
                finished.splice(finished.end(), workers_, it);
            it = next;
        }
    }
    for (auto& w : finished)
        w.thread.join();
}

void Server::acceptLoop() {
    for (;;) {
        net::Socket s = listener_.accept();
        reapFinished();
        if (!s.valid()) {
            // Out of descriptors, say: try again shortly rather than spin.
            if (!pause(20))
                return;
            continue;
        }
        std::lock_guard g(lock_);
        if (stopping_)
            return;
        std::uint64_t id = nextId_++;
        open_[id] = s.handle();
        auto done = std::make_shared<std::atomic<bool>>(false);
        Worker w;
        w.done = done;
        try {
            w.thread = std::thread([this, sock = std::move(s), id, done]() mutable {
                serve(std::move(sock), id);
                done->store(true);
            });
        } catch (const std::system_error&) {
            // No thread for it: the socket closed with the lambda; drop the connection.
            open_.erase(id);
            continue;
        }
        workers_.push_back(std::move(w));
    }
}

void Server::logReply(std::uint64_t id, const Outgoing& out, bool sent) {
    std::string line =
        "testserver: #" + std::to_string(id) + " " + out.what + " -> " + std::to_string(out.status);
    if (out.fault)
        line += " fault " + std::string(faultModeName(out.fault->mode));
    if (!sent)
        line += " (send failed)";
    line += "\n";
    std::lock_guard g(logLock_);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void Server::logWire(std::uint64_t id, char mark, std::string_view text) {
    if (config_.wireLogPath.empty())
        return;
    std::string lines;
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines += "#" + std::to_string(id) + " " + mark + " ";
        lines.append(line);
        lines += "\n";
    }
    std::lock_guard g(logLock_);
    if (std::FILE* f = std::fopen(config_.wireLogPath.c_str(), "ab")) {
        std::fputs(lines.c_str(), f);
        std::fclose(f);
    }
}

void Server::serve(net::Socket socket, std::uint64_t id) {
    state_.connectionsTotal++;
    state_.connectionsActive++;
    socket.setNoDelay();
    Link link(socket, state_, *this);
    Session session(config_, state_, id, systemRandom());

    AfterReply after = AfterReply::Continue;
    auto deliver = [&](Outgoing out) {
        if (out.silent)
            return true;
        // The think time of a real server (or the round trip of a network), before the reply.
        if (!pauseMicros(out.delayUs))
            return false;
        auto next = sendReply(link, out, *this);
        if (config_.verbose)
            logReply(id, out, next.has_value());
        if (next) {
            logWire(id, '>', out.head);
            logWire(id, '>', out.tail);
        }
        if (!next)
            return false;
        after = *next;
        if (out.stopServer)
            requestStop();
        if (after == AfterReply::Continue && out.closeAfter)
            after = AfterReply::Close;
        if (after == AfterReply::Continue && out.channel)
            link.startEncryption(*out.channel);
        return after == AfterReply::Continue;
    };

    bool alive = deliver(session.greeting());
    std::string input;
    bool skipping = false; // inside an over-long line
    while (alive) {
        if (!link.receive(input))
            break;
        std::size_t start = 0;
        for (;;) {
            std::size_t lf = input.find('\n', start);
            if (lf == std::string::npos)
                break;
            std::string_view line(input.data() + start, lf + 1 - start);
            start = lf + 1;
            if (skipping) {
                skipping = false;
                continue;
            }
            const bool wasEncrypted = link.encrypted();
            logWire(id, '<', line);
            if (!deliver(session.handle(line))) {
                alive = false;
                break;
            }
            if (link.encrypted() && !wasEncrypted) {
                // Plain text sent after the line that switched the channel on
                // is not trusted as commands.
                start = input.size();
                break;
            }
        }
        input.erase(0, start);
        if (skipping)
            input.clear(); // no line end in it: all of it belongs to the long line
        if (alive && input.size() > kMaxCommandLine) {
            input.clear();
            skipping = true;
            Outgoing out;
            out.head = formatReply(Reply(status::BadCommand, "line too long"));
            out.what = "(line too long)";
            out.status = status::BadCommand;
            alive = deliver(std::move(out));
        }
    }

    if (after == AfterReply::Hang) {
        // The reply never ends; whatever the client sends is ignored until
        // it gives up or the server stops.
        std::string ignored;
        while (link.receive(ignored))
            ignored.clear();
    }
    {
        std::lock_guard g(lock_);
        open_.erase(id);
        if (closedByStop_.erase(id)) {
            socket.release();
        } else if (after == AfterReply::Reset) {
            socket.closeWithReset();
        } else {
            socket.shutdownSend();
            socket.close();
        }
    }
    state_.connectionsActive--;
}

} // namespace dravolin::testserver
