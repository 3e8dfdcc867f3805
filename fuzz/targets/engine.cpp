// The connection's protocol engine driven by random server replies:
//  - the first bytes choose the operations queued (a plain or CHAP login, commands);
//  - the rest is the server's text, handed out one receive at a time in pieces whose sizes
//    the input also chooses; when it runs out, the peer closes;
//  - every operation is delivered exactly once, with a status of 100..105 or 200, a client
//    reason only with status 105, and the engine ends idle; also when the same text comes a
//    byte at a time.
#include "harness.h"

#include "DravolinClient.h"
#include "engine.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace dravolin;
using dravolin::fuzz::InputReader;
using Kind = Engine::Action::Kind;

class FixedRandom : public crypto::RandomSource {
  public:
    bool fill(void* buffer, std::size_t count) override {
        std::memset(buffer, 0x5a, count);
        return true;
    }
};

// The harness writes no files: a log file cannot be created.
class NoLogFiles : public LogFiles {
  public:
    std::unique_ptr<LogFile> create(const std::string&, std::string& failureText) override {
        failureText = "no files here";
        return nullptr;
    }
};

struct Delivery {
    std::uint32_t id;
    int status;
    int reason;
};

// Queues the operations the steering bytes ask for; returns how many ids were used.
std::uint32_t queueOperations(Engine& engine, std::uint8_t steer) {
    engine.queueConnect(1);
    LoginData login;
    login.mode = steer & 1;
    login.userName = login.chapName = "user";
    login.userPassword = login.chapSecret = "secret-secret-16";
    login.mutualAuth = (steer & 2) != 0;
    login.peerName = "server";
    login.peerSecret = "peer-secret-0016";
    login.encryptRequested = false; // the channel switch itself is the transport's
    engine.queueLogin(2, login);
    // Commands that write no files: logoff, list devices, list permissions, get, shutdown.
    static const unsigned kCodes[] = {0, 4, 5, 7, 9};
    engine.queueCommand(3, kCodes[(steer >> 2) % 5], "x", "");
    engine.queueCommand(4, kCodes[(steer >> 5) % 5], "y", "");
    if (steer & 0x80) {
        engine.queueDisconnect(5);
        return 5;
    }
    return 4;
}

std::vector<Delivery> run(std::uint8_t steer, std::string_view text, bool byteByByte,
                          InputReader* cuts, std::uint32_t& ids) {
    FixedRandom random;
    NoLogFiles files;
    Engine engine(random, files);
    ids = queueOperations(engine, steer);
    std::vector<Delivery> delivered;
    std::size_t at = 0;
    for (int steps = 0; steps < 10000; ++steps) {
        const Engine::Action action = engine.next();
        switch (action.kind) {
        case Kind::Connect:
            engine.connected();
            break;
        case Kind::Send:
            engine.sent();
            break;
        case Kind::ShutdownSend:
            engine.shutDown();
            break;
        case Kind::Receive: {
            if (at == text.size()) {
                engine.linkEnded({DRAVOLIN_REASON_CONNECTION_LOST, "closed"}, "rest", true);
                break;
            }
            std::size_t size = byteByByte ? 1 : 1 + (cuts ? cuts->byte() : 255u);
            size = std::min(size, text.size() - at);
            // What follows a completed reply in the same receive belongs to no request.
            engine.feed(text.substr(at, size));
            at += size;
            break;
        }
        case Kind::Idle:
            break;
        }
        engine.takeChannelKey();
        engine.takeCloseRequest();
        for (const Completion& c : engine.completions()) {
            delivered.push_back({c.requestId, c.outcome.status, c.outcome.failure.reason});
        }
        engine.completions().clear();
        if (action.kind == Kind::Idle) {
            break;
        }
    }
    FUZZ_REQUIRE(engine.next().kind == Kind::Idle);
    return delivered;
}

void checkDeliveries(const std::vector<Delivery>& delivered, std::uint32_t ids) {
    std::map<std::uint32_t, int> count;
    for (const Delivery& d : delivered) {
        ++count[d.id];
        FUZZ_REQUIRE(d.status == 200 || (d.status >= 100 && d.status <= 105));
        FUZZ_REQUIRE(d.reason == DRAVOLIN_REASON_NONE || d.status == 105);
    }
    for (std::uint32_t id = 1; id <= ids; ++id) {
        FUZZ_REQUIRE(count[id] == 1);
    }
    FUZZ_REQUIRE(count.size() == ids);
}

} // namespace

int FuzzEngine(const std::uint8_t* data, std::size_t size) {
    InputReader in(data, size);
    const std::uint8_t steer = in.byte();
    const std::size_t cutBytes = in.byte();
    InputReader cuts(reinterpret_cast<const std::uint8_t*>(in.bytes(cutBytes).data()), cutBytes);
    const std::string_view text = in.rest();

    std::uint32_t ids = 0;
    const auto pieces = run(steer, text, false, &cuts, ids);
    checkDeliveries(pieces, ids);
    const auto byteByByte = run(steer, text, true, nullptr, ids);
    checkDeliveries(byteByByte, ids);
    return 0;
}
