// The server over real loopback TCP, driven by a raw socket client that
// reads replies the way the management clients do. Every receive is bounded
// by a timeout, so a broken server fails a test instead of hanging it.
#include "base64.h"
#include "chap.h"
#include "crypto_provider.h"
#include "frame_codec.h"
#include "frame_reassembler.h"
#include "log_body.h"
#include "md5.h"
#include "net.h"
#include "server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace ts = dravolin::testserver;
namespace net = dravolin::testserver::net;
namespace crypto = dravolin::crypto;

namespace {

constexpr unsigned kReceiveTimeoutMs = 20000;

struct Reply {
    std::string text;
    int status = -1;
    std::vector<std::pair<std::string, std::string>> records;
    std::string value(const std::string& name) const {
        for (auto& [n, v] : records)
            if (n == name)
                return v;
        return "<missing>";
    }
};

// A client speaking the protocol over a raw socket, optionally in frames.
class RawClient {
  public:
    explicit RawClient(std::uint16_t port) : socket_(net::connectTo("127.0.0.1", port)) {
        if (socket_.valid())
            socket_.setReceiveTimeout(kReceiveTimeoutMs);
    }
    bool connected() const { return socket_.valid(); }

    void send(const std::string& line) { sendCut({line}, 0); }

    // The frames of `lines` (or the lines themselves when plain) joined, then sent in pieces
    // of `piece` bytes (0: in one send call).
    void sendCut(const std::vector<std::string>& lines, std::size_t piece) {
        std::string bytes;
        for (const auto& line : lines) {
            if (cipher_) {
                crypto::CryptoProvider random;
                auto frame = crypto::encodeFrame(*cipher_, line.data(), line.size(), random);
                bytes.append(frame.begin(), frame.end());
            } else {
                bytes += line;
            }
        }
        if (piece == 0)
            piece = bytes.size();
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            ASSERT_TRUE(socket_.sendAll(bytes.data() + at, std::min(piece, bytes.size() - at)));
            if (piece < bytes.size())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Reads one whole reply; the status stays -1 when the stream ends first.
    Reply read() {
        Reply r;
        int state = 0;
        for (;;) {
            std::size_t end = pending_.find("\r\n");
            if (end == std::string::npos) {
                if (!fill())
                    return r;
                continue;
            }
            std::string line = pending_.substr(0, end);
            r.text += pending_.substr(0, end + 2);
            pending_.erase(0, end + 2);
            if (state == 0) {
                r.status = line.size() >= 3 ? std::atoi(line.substr(0, 3).c_str()) : 0;
                state = 1;
            } else if (state == 1) {
                if (line.empty()) {
                    state = 2;
                    continue;
                }
                auto eq = line.find('=');
                if (eq == std::string::npos)
                    continue;
                std::string v = line.substr(eq + 1);
                if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
                    v = v.substr(1, v.size() - 2);
                r.records.emplace_back(line.substr(0, eq), v);
            } else if (line.empty() || line == "\r") {
                return r;
            }
        }
    }

    bool trySend(const std::string& line) { return socket_.sendAll(line.data(), line.size()); }

    Reply ask(const std::string& line) {
        send(line);
        return read();
    }

    // Everything until the server closes; `error` tells a reset from a close.
    std::string readToEnd(bool& error) {
        std::string all = pending_;
        pending_.clear();
        char buf[65536];
        for (;;) {
            long n = socket_.receive(buf, sizeof buf);
            if (n <= 0) {
                error = n < 0;
                return all;
            }
            all.append(buf, static_cast<std::size_t>(n));
        }
    }

    std::string readExactly(std::size_t count) {
        while (pending_.size() < count && fill()) {
        }
        std::string out = pending_.substr(0, count);
        pending_.erase(0, out.size());
        return out;
    }

    void useFrames(const ts::ChannelKey& key) {
        cipher_ = std::make_unique<crypto::ChannelCipher>(key.data());
        frames_ = std::make_unique<crypto::FrameReassembler>(*cipher_);
    }
    const std::string& pending() const { return pending_; }
    long rawReceive(char* buf, std::size_t cap) { return socket_.receive(buf, cap); }
    std::uint64_t framesRejected = 0;

  private:
    bool fill() {
        char buf[65536];
        long n = socket_.receive(buf, sizeof buf);
        if (n <= 0)
            return false;
        if (!cipher_) {
            pending_.append(buf, static_cast<std::size_t>(n));
            return true;
        }
        // The frames as a client finds them, however TCP cut the stream.
        frames_->feed(buf, static_cast<std::size_t>(n));
        for (;;) {
            switch (frames_->next()) {
            case crypto::FrameReassembler::Status::Text:
                pending_.append(frames_->text());
                break;
            case crypto::FrameReassembler::Status::NeedMore:
                return true;
            case crypto::FrameReassembler::Status::Rejected:
                ++framesRejected;
                return false;
            }
        }
    }

    net::Socket socket_;
    std::string pending_;
    std::unique_ptr<crypto::ChannelCipher> cipher_;
    std::unique_ptr<crypto::FrameReassembler> frames_;
};

struct Loopback : ::testing::Test {
    net::NetworkInit netInit;
    ts::ServerConfig cfg;
    std::unique_ptr<ts::Server> server;

    Loopback() {
        cfg.users = {{"alice", "pw"}};
        cfg.chapUsers = {{"bob", "s3cret", "", ""}};
        cfg.peerName = "srv";
        cfg.peerSecret = "peer-pw";
    }
    void start() {
        ASSERT_TRUE(netInit.ok());
        server = std::make_unique<ts::Server>(cfg);
        std::string error;
        ASSERT_TRUE(server->start(error)) << error;
    }
    std::unique_ptr<RawClient> loggedIn() {
        auto c = std::make_unique<RawClient>(server->port());
        EXPECT_TRUE(c->connected());
        EXPECT_EQ(c->read().status, 200);
        EXPECT_EQ(c->ask("login alice pw\n").status, 200);
        return c;
    }
};

std::string generated(std::uint64_t size) {
    ts::GeneratedLog log(size);
    std::string out(static_cast<std::size_t>(log.size()), '\0');
    std::size_t at = 0;
    while (std::size_t n = log.read(out.data() + at, out.size() - at))
        at += n;
    return out;
}

// CHAP login with encryption, as a client performs it.
ts::ChannelKey chapLogin(RawClient& c, const std::string& user, const std::string& secret) {
    Reply start = c.ask("auth start\n");
    EXPECT_EQ(start.status, 200);
    EXPECT_EQ(start.value("crypt"), "yes");
    std::uint8_t challenge[32];
    std::size_t n = crypto::decodeBinaryValue(start.value("CHAP_C"), challenge, sizeof challenge);
    std::uint8_t digest[16];
    crypto::md5(secret.data(), secret.size(), challenge, n, digest);
    Reply check = c.ask("auth check -CHAP_N:\"" + user + "\"  -CHAP_R:\"" +
                        crypto::encodeBinaryValue(digest, 16) + "\" -crypt:yes\n");
    EXPECT_EQ(check.status, 200);
    ts::ChannelKey key;
    crypto::deriveChannelKey(challenge, n, secret.data(), secret.size(), key.data());
    return key;
}

} // namespace

TEST_F(Loopback, EveryCommandAnswersOverTcp) {
    start();
    RawClient c(server->port());
    Reply greeting = c.read();
    EXPECT_EQ(greeting.status, 200);
    EXPECT_EQ(c.ask("list -what:\"devices\"1\n").status, 101);
    EXPECT_EQ(c.ask("login alice pw\n").status, 200);
    Reply devices = c.ask("list -what:\"devices\"1\n");
    EXPECT_EQ(devices.status, 200);
    EXPECT_EQ(devices.value("Device"), "disk0");
    EXPECT_EQ(c.ask("list -what:\"permissions\"\n").status, 200);
    EXPECT_EQ(c.ask("add disk7\n").status, 200);
    EXPECT_EQ(c.ask("allow alice disk7 rw\n").status, 200);
    EXPECT_EQ(c.ask("remove disk7\n").status, 200);
    EXPECT_EQ(c.ask("set LogLevel 3\n").status, 200);
    EXPECT_EQ(c.ask("get LogLevel\n").records.at(1).second, "3");
    EXPECT_EQ(c.ask("statistics (null)\n").status, 200);
    EXPECT_EQ(c.ask("control ping \n").value("Result"), "pong");
    // Commands may arrive in pieces and lines may end in CR LF.
    c.send("get Log");
    c.send("Level\r\n");
    EXPECT_EQ(c.read().status, 200);
    EXPECT_EQ(c.ask("logoff\n").status, 200);
    EXPECT_EQ(c.ask("login alice pw\n").status, 200);
    EXPECT_EQ(c.ask("shutdown\n").status, 200);
    bool error = true;
    EXPECT_EQ(c.readToEnd(error), ""); // then the server closes
    EXPECT_FALSE(error);
    EXPECT_FALSE(server->waitForStopRequest(1)); // only with --exit-on-shutdown
}

TEST_F(Loopback, ShutdownCanStopTheWholeServer) {
    cfg.exitOnShutdown = true;
    start();
    auto c = loggedIn();
    EXPECT_EQ(c->ask("shutdown\n").status, 200);
    EXPECT_TRUE(server->waitForStopRequest(0));
    server->stop();
}

TEST_F(Loopback, ManyConnectionsAtOnce) {
    start();
    constexpr int kClients = 12;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            RawClient c(server->port());
            if (!c.connected() || c.read().status != 200 || c.ask("login alice pw\n").status != 200)
                return;
            std::string name = "conc" + std::to_string(i);
            bool ok = c.ask("add " + name + "\n").status == 200;
            for (int k = 0; k < 20 && ok; ++k)
                ok = c.ask("list -what:\"devices\" -device:\"" + name + "\"1\n").value("Device") ==
                     name;
            ok = ok && c.ask("remove " + name + "\n").status == 200;
            if (ok)
                ++good;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good.load(), kClients);
    EXPECT_EQ(server->state().connectionsTotal.load(), static_cast<std::uint64_t>(kClients));
}

TEST_F(Loopback, GetlogStreamsALargeGeneratedLog) {
    start();
    auto c = loggedIn();
    constexpr std::uint64_t kSize = 8u << 20;
    ASSERT_EQ(c->ask("control -logsize:\"" + std::to_string(kSize) + "\" \n").status, 200);
    c->send("getlog\n");
    Reply r = c->read();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.value("LogFilename"), "service.log");
    EXPECT_EQ(r.value("LogSize"), std::to_string(kSize));
    std::size_t bodyStart = r.text.find("\r\n\r\n") + 4;
    std::string body = r.text.substr(bodyStart, r.text.size() - bodyStart - 2);
    EXPECT_EQ(body.size(), kSize);
    EXPECT_TRUE(body == generated(kSize));
    EXPECT_EQ(c->ask("get LogLevel\n").status, 200); // still in step
}

TEST_F(Loopback, GetlogServesAFile) {
    std::string path = ::testing::TempDir() + "testserver_served.log";
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("alpha\n\nomega", f);
        std::fclose(f);
    }
    cfg.logFile = path;
    start();
    auto c = loggedIn();
    Reply r = c->ask("getlog\n");
    EXPECT_EQ(r.value("LogFilename"), "testserver_served.log");
    EXPECT_NE(r.text.find("\r\n\r\nalpha\r\n \r\nomega\r\n\r\n"), std::string::npos);
    std::remove(path.c_str());
}

TEST_F(Loopback, CloseAndResetCutTheReply) {
    start();
    auto c = loggedIn();
    const std::string full = c->ask("list -what:\"devices\"1\n").text;

    ASSERT_EQ(c->ask("control -fault:\"close\" \n").status, 200);
    c->send("list -what:\"devices\"1\n");
    bool error = true;
    EXPECT_EQ(c->readToEnd(error), full.substr(0, full.size() / 2));
    EXPECT_FALSE(error);

    auto d = loggedIn();
    ASSERT_EQ(d->ask("control -fault:\"reset\" -at:\"10\" \n").status, 200);
    d->send("list -what:\"devices\"1\n");
    error = false;
    std::string got = d->readToEnd(error);
    // A reset, not an orderly end: the receive fails, or at least the next
    // send does (some socket layers report a reset to a receive as an end).
    EXPECT_TRUE(error || !d->trySend("get LogLevel\n"));
    EXPECT_EQ(got, full.substr(0, got.size()));
    EXPECT_LE(got.size(), 10u);

    auto e = loggedIn();
    ASSERT_EQ(e->ask("control -fault:\"close\" -at:\"0\" -on:\"shutdown\" \n").status, 200);
    e->send("shutdown\n");
    EXPECT_EQ(e->readToEnd(error), ""); // closed without a word
    EXPECT_FALSE(error);
}

TEST_F(Loopback, DripDoubleAndLongLine) {
    start();
    auto c = loggedIn();
    const std::string full = c->ask("list -what:\"devices\"1\n").text;

    ASSERT_EQ(c->ask("control -fault:\"drip\" -gap:\"0\" \n").status, 200);
    EXPECT_EQ(c->ask("list -what:\"devices\"1\n").text, full);

    ASSERT_EQ(c->ask("control -fault:\"double\" \n").status, 200);
    EXPECT_EQ(c->ask("list -what:\"devices\"1\n").text, full);
    Reply extra = c->read(); // the unsolicited second reply
    EXPECT_EQ(extra.value("Extra"), "1");
    EXPECT_EQ(c->ask("get LogLevel\n").status, 200);

    ASSERT_EQ(c->ask("control -fault:\"longline\" -size:\"50000\" \n").status, 200);
    Reply longReply = c->ask("get LogLevel\n");
    ASSERT_EQ(longReply.records.size(), 3u);
    EXPECT_EQ(longReply.records[0].second.size(), 50000u);
    EXPECT_EQ(longReply.records[2].second, "2");
}

TEST_F(Loopback, ThinkTimeHoldsEveryReplyButSteeringLines) {
    start();
    auto c = loggedIn();
    const std::string full = c->ask("get LogLevel\n").text;
    ASSERT_EQ(c->ask("control -delay:\"40000\" \n").status, 200);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c->ask("get LogLevel\n").text, full);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(40));
    ASSERT_EQ(c->ask("control -delay:\"0\" \n").status, 200);
    EXPECT_EQ(c->ask("get LogLevel\n").text, full);
}

TEST_F(Loopback, HangNeverFinishesAndIgnoresLaterCommands) {
    start();
    auto c = loggedIn();
    const std::string full = c->ask("get LogLevel\n").text;
    ASSERT_EQ(c->ask("control -fault:\"hang\" \n").status, 200);
    c->send("get LogLevel\n");
    EXPECT_EQ(c->readExactly(full.size() - 2), full.substr(0, full.size() - 2));
    c->send("get LogLevel\n");
    // Stopping the server is what ends the connection.
    server->stop();
    bool error = false;
    EXPECT_EQ(c->readToEnd(error), "");
}

TEST_F(Loopback, OverlongCommandLineIsRefusedAndSkipped) {
    start();
    auto c = loggedIn();
    const std::string piece(512 * 1024, 'a');
    for (int i = 0; i < 5; ++i)
        c->send(piece); // 2.5 MiB without a line end
    Reply refused = c->read();
    EXPECT_EQ(refused.status, 100);
    c->send("tail of the long line\nget LogLevel\n");
    EXPECT_EQ(c->read().status, 200); // exactly one refusal, then in step again
    EXPECT_EQ(c->ask("get LogLevel\n").status, 200);
}

TEST_F(Loopback, RefusedStatusAndGreetingFault) {
    std::string err;
    cfg.faults = {*ts::parseFaultSpec("status,on=login,status=102,times=1", err)};
    start();
    RawClient c(server->port());
    EXPECT_EQ(c.read().status, 200);
    EXPECT_EQ(c.ask("login alice pw\n").status, 102);
    EXPECT_EQ(c.ask("login alice pw\n").status, 200);
}

TEST_F(Loopback, EncryptedChannelCarriesCommandsAndMultiFrameLogs) {
    cfg.frameText = 1000;
    start();
    RawClient c(server->port());
    ASSERT_EQ(c.read().status, 200);
    ts::ChannelKey key = chapLogin(c, "bob", "s3cret");
    c.useFrames(key);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(c.ask("list -what:\"devices\"1\n").value("Device"), "disk0");
    ASSERT_EQ(c.ask("control -logsize:\"100000\" \n").status, 200);
    Reply log = c.ask("getlog\n");
    EXPECT_EQ(log.status, 200);
    EXPECT_NE(log.text.find(generated(100000)), std::string::npos);
    EXPECT_EQ(c.framesRejected, 0u);

    const std::string full = c.ask("get LogLevel\n").text;
    ASSERT_EQ(c.ask("control -fault:\"drip\" -gap:\"0\" \n").status, 200);
    EXPECT_EQ(c.ask("get LogLevel\n").text, full); // one frame per byte
    ASSERT_EQ(c.ask("control -fault:\"double\" \n").status, 200);
    EXPECT_EQ(c.ask("get LogLevel\n").text, full);
    EXPECT_EQ(c.read().value("Extra"), "1");
    EXPECT_EQ(c.ask("get LogLevel\n").text, full);
}

TEST_F(Loopback, SplitAndCoalescedSendsInBothDirections) {
    cfg.frameText = 1000;
    start();
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        RawClient c(server->port());
        ASSERT_EQ(c.read().status, 200);
        if (encrypted) {
            c.useFrames(chapLogin(c, "bob", "s3cret"));
        } else {
            ASSERT_EQ(c.ask("login alice pw\n").status, 200);
        }
        const std::string full = c.ask("get LogLevel\n").text;
        ASSERT_EQ(c.ask("control -logsize:\"100000\" \n").status, 200);
        const std::string log = c.ask("getlog\n").text;
        EXPECT_NE(log.find(generated(100000)), std::string::npos);
        for (const char* fault : {"control -fault:\"split\" -size:\"7\" -gap:\"0\" \n",
                                  "control -fault:\"split\" -size:\"1448\" -gap:\"1\" \n",
                                  "control -fault:\"coalesce\" \n"}) {
            SCOPED_TRACE(fault);
            ASSERT_EQ(c.ask(fault).status, 200);
            EXPECT_EQ(c.ask("get LogLevel\n").text, full);
            ASSERT_EQ(c.ask(std::string(fault).replace(std::string(fault).find(" \n"), 2,
                                                       " -on:\"getlog\" \n"))
                          .status,
                      200);
            EXPECT_EQ(c.ask("getlog\n").text, log);
        }
        // The server's receive side: a command cut into 3-byte sends, and three in one.
        c.sendCut({"get LogLevel\n"}, 3);
        EXPECT_EQ(c.read().text, full);
        c.sendCut({"get LogLevel\n", "control ping \n", "get LogLevel\n"}, 0);
        EXPECT_EQ(c.read().text, full);
        EXPECT_EQ(c.read().status, 200);
        EXPECT_EQ(c.read().text, full);
        c.sendCut({"get LogLevel\n", "get LogLevel\n"}, 5);
        EXPECT_EQ(c.read().text, full);
        EXPECT_EQ(c.read().text, full);
        EXPECT_EQ(c.framesRejected, 0u);
    }
}

TEST_F(Loopback, PlainTextAfterTheSwitchIsNotObeyed) {
    start();
    RawClient c(server->port());
    ASSERT_EQ(c.read().status, 200);
    Reply start = c.ask("auth start\n");
    std::uint8_t challenge[32];
    std::size_t n = crypto::decodeBinaryValue(start.value("CHAP_C"), challenge, sizeof challenge);
    std::uint8_t digest[16];
    crypto::md5("s3cret", 6, challenge, n, digest);
    // The check line and a plain command in one write.
    c.send("auth check -CHAP_N:\"bob\"  -CHAP_R:\"" + crypto::encodeBinaryValue(digest, 16) +
           "\" -crypt:yes\ncontrol ping \n");
    ASSERT_EQ(c.read().status, 200);
    ts::ChannelKey key;
    crypto::deriveChannelKey(challenge, n, "s3cret", 6, key.data());
    c.useFrames(key);
    Reply next = c.ask("get LogLevel\n");
    EXPECT_EQ(next.value("Parameter"), "LogLevel"); // not the answer to the ping
}

TEST_F(Loopback, EncryptedFrameFaults) {
    start();
    RawClient c(server->port());
    ASSERT_EQ(c.read().status, 200);
    ts::ChannelKey key = chapLogin(c, "bob", "s3cret");
    crypto::ChannelCipher cipher(key.data());
    c.useFrames(key);
    ASSERT_EQ(c.ask("control -fault:\"frame40\" \n").status, 200);
    c.send("get LogLevel\n");
    char buf[4096];
    std::size_t got = 0;
    while (got < 40) {
        long n = c.rawReceive(buf + got, sizeof buf - got);
        ASSERT_GT(n, 0);
        got += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(got, 40u);
    char text[64];
    EXPECT_EQ(
        crypto::decodeFrame(cipher, reinterpret_cast<std::uint8_t*>(buf), 40, text, sizeof text)
            .error,
        crypto::FrameError::NotBlockMultiple);

    RawClient d(server->port());
    ASSERT_EQ(d.read().status, 200);
    key = chapLogin(d, "bob", "s3cret");
    crypto::ChannelCipher cipher2(key.data());
    d.useFrames(key);
    ASSERT_EQ(d.ask("control -fault:\"corruptframe\" \n").status, 200);
    d.send("get LogLevel\n");
    long n = d.rawReceive(buf, sizeof buf);
    ASSERT_GE(n, 32);
    std::vector<char> out(static_cast<std::size_t>(n));
    EXPECT_EQ(crypto::decodeFrame(cipher2, reinterpret_cast<std::uint8_t*>(buf),
                                  static_cast<std::size_t>(n), out.data(), out.size())
                  .error,
              crypto::FrameError::DigestMismatch);
}

TEST_F(Loopback, RandomFaultsNeverWedgeTheServer) {
    cfg.randomFaultRate = 0.3;
    cfg.seed = 20261208;
    cfg.seedGiven = true;
    cfg.randomModes = {ts::FaultMode::Close, ts::FaultMode::Reset, ts::FaultMode::LongLine,
                       ts::FaultMode::Double, ts::FaultMode::Status};
    start();
    std::atomic<int> faulted{0}, clean{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 8; ++round) {
                RawClient c(server->port());
                if (!c.connected())
                    return;
                // A faulted reply shows as a status other than 200, a cut
                // reply (status -1), or an extra reply before the next one.
                c.read();
                for (int k = 0; k < 10; ++k) {
                    if (!c.trySend("login alice pw\n"))
                        break; // reset by the server
                    Reply r = c.read();
                    if (r.status == -1)
                        break;
                    (r.status == 200 ? clean : faulted)++;
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_GT(faulted.load(), 0);
    EXPECT_GT(clean.load(), 0);
    EXPECT_GT(server->state().faultsInjected.load(), 0u);
    // Still serving afterwards, and every connection ends at stop.
    cfg.randomFaultRate = 0;
    RawClient last(server->port());
    EXPECT_TRUE(last.connected());
    server->stop();
    EXPECT_EQ(server->state().connectionsActive.load(), 0u);
}

TEST_F(Loopback, StopEndsIdleAndBusyConnections) {
    start();
    auto idle = loggedIn();
    auto busy = loggedIn();
    ASSERT_EQ(busy->ask("control -logsize:\"268435456\" \n").status, 200);
    busy->send("getlog\n"); // the client does not read: the server blocks in send
    busy->readExactly(100);
    server->stop();
    bool error = false;
    idle->readToEnd(error);
    EXPECT_EQ(server->state().connectionsActive.load(), 0u);
}
