// The connection's protocol engine on its own: transcripts of server text fed whole, a byte at
// a time and split at every offset, with no socket, clock or thread.
#include "DravolinClient.h"
#include "base64.h"
#include "chap.h"
#include "engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace dravolin;
using protocol::RequestKind;
using Kind = Engine::Action::Kind;

namespace {

// Challenges of a known value, so a test can compute the server's proof.
class FixedRandom : public crypto::RandomSource {
  public:
    bool fill(void* buffer, std::size_t count) override {
        std::memset(buffer, 0x5a, count);
        return works;
    }
    bool works = true;
};

// The log files of a test, kept in memory by path; `creatable` false: none can be created.
class MemoryLogFiles : public LogFiles {
  public:
    std::unique_ptr<LogFile> create(const std::string& path, std::string& failureText) override {
        if (!creatable) {
            failureText = "no room";
            return nullptr;
        }
        return std::make_unique<File>(contents[path]);
    }
    std::map<std::string, std::string> contents;
    bool creatable = true;

  private:
    class File : public LogFile {
      public:
        explicit File(std::string& text) : text_(text) {}
        bool write(const char* data, std::size_t length) override {
            text_.append(data, length);
            return true;
        }
        bool close() override { return true; }
        std::string failureText() const override { return {}; }

      private:
        std::string& text_;
    };
};

std::string reply(int status, const std::vector<std::pair<std::string, std::string>>& records = {},
                  std::string_view body = {}) {
    std::string text = std::to_string(status) + " reply\r\n";
    for (const auto& [name, value] : records) {
        text += name + "=" + value + "\r\n";
    }
    return text + "\r\n" + std::string(body) + "\r\n";
}

const std::string kGreeting = "200 Service ready\r\n\r\n\r\n";

struct Delivered {
    std::uint32_t id;
    int status;
    int reason;
    std::size_t records;
    bool operator==(const Delivered&) const = default;
};

// What a run did: the lines sent, the outcomes delivered, and whether the channel switched.
struct Trace {
    std::vector<std::string> sent;
    std::vector<Delivered> delivered;
    std::vector<std::string> reasonTexts;
    bool encrypted = false;
    bool closed = false;
};

// How a reply's text arrives: whole, a byte at a time, or in two pieces cut at `cut`.
struct Split {
    enum { Whole, Bytes, At } how = Whole;
    std::size_t cut = 0;
};

// Serves the engine until it is idle: each Receive takes the next reply of `replies`, fed in
// the pieces `split` asks for; once the replies run out, the peer closes.
Trace drive(Engine& engine, const std::vector<std::string>& replies, Split split) {
    Trace run;
    std::size_t next = 0;
    for (int guard = 0; guard < 1000; ++guard) {
        const Engine::Action action = engine.next();
        switch (action.kind) {
        case Kind::Connect:
            engine.connected();
            break;
        case Kind::Send:
            run.sent.emplace_back(action.line);
            engine.sent();
            break;
        case Kind::ShutdownSend:
            engine.shutDown();
            break;
        case Kind::Receive: {
            if (next == replies.size()) {
                engine.linkEnded({DRAVOLIN_REASON_CONNECTION_LOST, "closed"}, "rest", true);
                break;
            }
            const std::string& text = replies[next++];
            std::vector<std::string_view> pieces;
            if (split.how == Split::Whole || (split.how == Split::At && split.cut >= text.size())) {
                pieces.push_back(text);
            } else if (split.how == Split::Bytes) {
                for (std::size_t i = 0; i < text.size(); ++i) {
                    pieces.push_back(std::string_view(text).substr(i, 1));
                }
            } else {
                pieces.push_back(std::string_view(text).substr(0, split.cut));
                pieces.push_back(std::string_view(text).substr(split.cut));
            }
            for (const std::string_view piece : pieces) {
                if (engine.feed(piece) != Engine::Fed::NeedMore) {
                    break;
                }
            }
            break;
        }
        default:
            break;
        }
        // next() may complete steps on its way to Idle: collect before stopping.
        run.encrypted = run.encrypted || engine.takeChannelKey().has_value();
        run.closed = run.closed || engine.takeCloseRequest();
        for (Completion& c : engine.completions()) {
            run.delivered.push_back(
                {c.requestId, c.outcome.status, c.outcome.failure.reason, c.records.size()});
            run.reasonTexts.push_back(c.outcome.failure.text);
        }
        engine.completions().clear();
        if (action.kind == Kind::Idle) {
            break;
        }
    }
    return run;
}

// Runs `setup` + the transcript whole, a byte at a time and split at every offset of every
// reply; every way must give the same run, which is returned.
template <typename Setup> Trace everyWay(Setup setup, const std::vector<std::string>& replies) {
    FixedRandom random;
    MemoryLogFiles files;
    Engine whole(random, files);
    setup(whole);
    const Trace expected = drive(whole, replies, {Split::Whole, 0});
    std::size_t longest = 0;
    for (const auto& r : replies) {
        longest = std::max(longest, r.size());
    }
    std::vector<Split> splits{{Split::Bytes, 0}};
    for (std::size_t cut = 1; cut < longest; ++cut) {
        splits.push_back({Split::At, cut});
    }
    for (const Split split : splits) {
        Engine engine(random, files);
        setup(engine);
        const Trace run = drive(engine, replies, split);
        EXPECT_EQ(run.sent, expected.sent) << "split " << split.how << "/" << split.cut;
        EXPECT_EQ(run.delivered, expected.delivered) << "split " << split.how << "/" << split.cut;
        EXPECT_EQ(run.encrypted, expected.encrypted);
    }
    return expected;
}

std::string listDevicesLine() {
    return protocol::buildCommandLine(DRAVOLIN_REQUEST_LIST_DEVICES, nullptr).text;
}

LoginData chapLogin(bool mutual, bool encrypt) {
    LoginData data;
    data.mode = 1;
    data.chapName = "alice";
    data.chapSecret = "chap-secret-16ch";
    data.mutualAuth = mutual;
    if (mutual) {
        data.peerName = "server";
        data.peerSecret = "peer-secret-16ch";
    }
    data.encryptRequested = encrypt;
    return data;
}

const std::string kStartReply =
    reply(200, {{"CHAP_A", "5"}, {"CHAP_C", "0x0102030405060708"}, {"crypt", "yes"}});

std::string serverProof(const LoginData& data) {
    const std::vector<std::uint8_t> challenge(protocol::kClientChallengeSize, 0x5a);
    const protocol::Digest proof =
        protocol::digestOf(data.peerSecret, challenge.data(), challenge.size());
    return crypto::encodeBinaryValue(proof.data(), proof.size());
}

} // namespace

TEST(ProtocolEngine, ConnectReadsTheGreetingAndACommandItsReply) {
    const Trace run = everyWay(
        [](Engine& e) {
            e.queueConnect(1);
            e.queueCommand(2, DRAVOLIN_REQUEST_LIST_DEVICES, nullptr, "");
        },
        {kGreeting, reply(200, {{"Device", "d0"}, {"Device", "d1"}}, "body line\r\n")});
    EXPECT_EQ(run.sent, std::vector<std::string>{listDevicesLine()});
    const std::vector<Delivered> expected{{1, 200, 0, 0}, {2, 200, 0, 2}};
    EXPECT_EQ(run.delivered, expected);
}

TEST(ProtocolEngine, ARefusedLoginIsDeliveredThenLoggedOffWithoutADelivery) {
    LoginData plain;
    plain.userName = "bob";
    plain.userPassword = "pw";
    const Trace run = everyWay(
        [&](Engine& e) {
            e.queueConnect(1);
            e.queueLogin(2, plain);
            e.queueCommand(3, DRAVOLIN_REQUEST_GET_PARAMETER, "x", "");
        },
        {kGreeting, reply(101), reply(200, {{"x", "1"}}), reply(200)});
    const std::vector<std::string> sent{protocol::plainLoginLine("bob", "pw"), "get x\n",
                                        "logoff\n"};
    EXPECT_EQ(run.sent, sent);
    const std::vector<Delivered> expected{{1, 200, 0, 0}, {2, 101, 0, 0}, {3, 200, 0, 1}};
    EXPECT_EQ(run.delivered, expected);
}

TEST(ProtocolEngine, AChapLoginRunsItsStepsAndSwitchesTheChannelOn) {
    const Trace run = everyWay(
        [](Engine& e) {
            e.queueConnect(1);
            e.queueLogin(2, chapLogin(false, true));
        },
        {kGreeting, reply(200, {{"CtlAuthMode", "chap"}}), kStartReply, reply(200)});
    ASSERT_EQ(run.sent.size(), 3u);
    EXPECT_EQ(run.sent[0], protocol::kAuthModeLine);
    EXPECT_EQ(run.sent[1], protocol::kAuthStartLine);
    EXPECT_EQ(run.sent[2],
              protocol::buildCheckLine("alice", "chap-secret-16ch",
                                       protocol::decodeChallenge("0x0102030405060708"), true, {}));
    const std::vector<Delivered> expected{{1, 200, 0, 0}, {2, 200, 0, 0}};
    EXPECT_EQ(run.delivered, expected);
    EXPECT_TRUE(run.encrypted);
}

TEST(ProtocolEngine, AMutualChapLoginChecksTheServersProof) {
    const LoginData data = chapLogin(true, true);
    const std::string proof = serverProof(data);
    const Trace good = everyWay(
        [&](Engine& e) {
            e.queueConnect(1);
            e.queueLogin(2, data);
        },
        {kGreeting, reply(200), kStartReply, reply(200, {{"CHAP_N", "server"}, {"CHAP_R", proof}}),
         reply(200)});
    ASSERT_EQ(good.sent.size(), 4u);
    EXPECT_EQ(good.sent[3], protocol::authOkLine(true));
    EXPECT_TRUE(good.encrypted);
    EXPECT_EQ(good.delivered.back(), (Delivered{2, 200, 0, 0}));

    const Trace forged = everyWay(
        [&](Engine& e) {
            e.queueConnect(1);
            e.queueLogin(2, data);
        },
        {kGreeting, reply(200), kStartReply,
         reply(200, {{"CHAP_N", "server"}, {"CHAP_R", "0x00112233445566778899aabbccddeeff"}})});
    EXPECT_EQ(forged.sent.size(), 3u); // no "auth ok"
    EXPECT_FALSE(forged.encrypted);
    EXPECT_EQ(forged.delivered.back(), (Delivered{2, 105, DRAVOLIN_REASON_LOGIN, 2}));
}

TEST(ProtocolEngine, ALoginWithoutRandomChallengeFailsBeforeTheCheck) {
    FixedRandom broken;
    broken.works = false;
    MemoryLogFiles files;
    Engine engine(broken, files);
    engine.queueConnect(1);
    engine.queueLogin(2, chapLogin(true, false));
    const Trace run = drive(engine, {kGreeting, reply(200), kStartReply}, {});
    EXPECT_EQ(run.sent.size(), 2u);
    EXPECT_EQ(run.delivered.back(), (Delivered{2, 105, DRAVOLIN_REASON_LOGIN, 3}));
}

TEST(ProtocolEngine, ALostLinkFailsTheRequestInServiceThenEveryQueuedOne) {
    const Trace run = everyWay(
        [](Engine& e) {
            e.queueConnect(1);
            e.queueCommand(2, DRAVOLIN_REQUEST_LIST_DEVICES, nullptr, "");
            e.queueCommand(3, DRAVOLIN_REQUEST_GET_PARAMETER, "x", "");
        },
        {kGreeting});
    const std::vector<Delivered> expected{{1, 200, 0, 0},
                                          {2, 105, DRAVOLIN_REASON_CONNECTION_LOST, 0},
                                          {3, 105, DRAVOLIN_REASON_CONNECTION_LOST, 0}};
    EXPECT_EQ(run.delivered, expected);
    EXPECT_EQ(run.reasonTexts[1], "closed");
    EXPECT_EQ(run.reasonTexts[2], "rest");
    EXPECT_TRUE(run.closed);
}

TEST(ProtocolEngine, AShutdownEndsWellWhenTheServerCloses) {
    const Trace run = everyWay(
        [](Engine& e) {
            e.queueConnect(1);
            e.queueCommand(2, DRAVOLIN_REQUEST_SHUTDOWN, nullptr, "");
            e.queueCommand(3, DRAVOLIN_REQUEST_LOGOFF, nullptr, "");
        },
        {kGreeting});
    ASSERT_EQ(run.delivered.size(), 3u);
    EXPECT_EQ(run.delivered[1], (Delivered{2, 200, 0, 0}));
    EXPECT_EQ(run.delivered[2].status, 105);
}

TEST(ProtocolEngine, ACommandThatCannotBeSentFailsInPlaceAndTheNextOneGoesOut) {
    const Trace run = everyWay(
        [](Engine& e) {
            e.queueConnect(1);
            e.queueCommand(2, DRAVOLIN_REQUEST_ADD, nullptr, "");
            e.queueCommand(3, DRAVOLIN_REQUEST_SET_PARAMETER, std::string(5000, 'a').c_str(), "");
            e.queueCommand(4, DRAVOLIN_REQUEST_GET_PARAMETER, "x", "");
        },
        {kGreeting, reply(103)});
    EXPECT_EQ(run.sent, std::vector<std::string>{"get x\n"});
    const std::vector<Delivered> expected{{1, 200, 0, 0},
                                          {2, 105, DRAVOLIN_REASON_ARGUMENT_MISSING, 0},
                                          {3, 105, DRAVOLIN_REASON_LINE_TOO_LONG, 0},
                                          {4, 103, 0, 0}};
    EXPECT_EQ(run.delivered, expected);
}

TEST(ProtocolEngine, AnUnsafeLogNameBreaksTheLinkWithItsOwnReason) {
    const Trace run = everyWay(
        [](Engine& e) {
            e.queueConnect(1);
            e.queueCommand(2, DRAVOLIN_REQUEST_GET_LOG, nullptr, "");
            e.queueCommand(3, DRAVOLIN_REQUEST_LOGOFF, nullptr, "");
        },
        {kGreeting, reply(200, {{"LogFilename", "../../etc/passwd"}}, "x\r\n")});
    ASSERT_EQ(run.delivered.size(), 3u);
    EXPECT_EQ(run.delivered[1], (Delivered{2, 105, DRAVOLIN_REASON_LOG_NAME_UNSAFE, 1}));
    EXPECT_EQ(run.delivered[2], (Delivered{3, 105, DRAVOLIN_REASON_CONNECTION_LOST, 0}));
    EXPECT_TRUE(run.closed);
}

TEST(ProtocolEngine, ADisconnectShutsTheSendingSideAndLaterRequestsFindNoConnection) {
    const Trace run = everyWay(
        [](Engine& e) {
            e.queueConnect(1);
            e.queueDisconnect(2);
            e.queueCommand(3, DRAVOLIN_REQUEST_LOGOFF, nullptr, "");
        },
        {kGreeting});
    const std::vector<Delivered> expected{
        {1, 200, 0, 0}, {2, 200, 0, 0}, {3, 105, DRAVOLIN_REASON_CONNECTION_LOST, 0}};
    EXPECT_EQ(run.delivered, expected);
    EXPECT_EQ(run.reasonTexts[2], "connection lost: not connected any more");
}

TEST(ProtocolEngine, AFailedConnectEndsItsOperationAtOnceAndEveryLaterStepWithTheRestText) {
    FixedRandom random;
    MemoryLogFiles files;
    Engine engine(random, files);
    engine.queueConnect(1);
    engine.queueCommand(2, DRAVOLIN_REQUEST_LIST_DEVICES, nullptr, "");
    ASSERT_EQ(engine.next().kind, Kind::Connect);
    engine.connectFailed({DRAVOLIN_REASON_CONNECT_FAILED, "connection refused: a: b"}, "rest");
    EXPECT_TRUE(engine.takeCloseRequest());
    ASSERT_EQ(engine.completions().size(), 2u);
    EXPECT_EQ(engine.completions()[0].requestId, 1u);
    EXPECT_EQ(engine.completions()[0].outcome.failure.reason, DRAVOLIN_REASON_CONNECT_FAILED);
    EXPECT_EQ(engine.completions()[0].outcome.failure.text, "connection refused: a: b");
    EXPECT_EQ(engine.completions()[1].outcome.failure.text, "rest");
    engine.completions().clear();
    EXPECT_EQ(engine.next().kind, Kind::Idle);
    // The next connect starts afresh.
    engine.queueConnect(3);
    const Trace run = drive(engine, {kGreeting}, {});
    EXPECT_EQ(run.delivered, (std::vector<Delivered>{{3, 200, 0, 0}}));
}

TEST(ProtocolEngine, AGetlogWritesItsBodyIntoTheFileItAsksForOrSaysWhyNot) {
    const std::string logReply = reply(200, {{"LogFilename", "svc.log"}}, "one\r\ntwo\r\n");
    for (const bool creatable : {true, false}) {
        FixedRandom random;
        MemoryLogFiles files;
        files.creatable = creatable;
        Engine engine(random, files);
        engine.queueConnect(1);
        engine.queueCommand(2, DRAVOLIN_REQUEST_GET_LOG, nullptr, "/logs/");
        const Trace run = drive(engine, {kGreeting, logReply}, {});
        ASSERT_EQ(run.delivered.size(), 2u);
        if (creatable) {
            EXPECT_EQ(run.delivered[1].status, 200);
            EXPECT_EQ(files.contents["/logs/svc.log"], "one\r\ntwo\r\n");
        } else {
            EXPECT_EQ(run.delivered[1].reason, DRAVOLIN_REASON_LOG_FILE);
            EXPECT_EQ(run.reasonTexts[1], "log file not created: /logs/svc.log: no room");
        }
    }
}

TEST(ProtocolEngine, CancelWithdrawsQueuedStepsButNotTheOneInService) {
    FixedRandom random;
    MemoryLogFiles files;
    Engine engine(random, files);
    engine.queueConnect(1);
    engine.queueCommand(2, DRAVOLIN_REQUEST_LIST_DEVICES, nullptr, "");
    engine.queueLogin(3, chapLogin(false, false));
    EXPECT_EQ(engine.cancel(1), 0u); // its connect step is the front one
    EXPECT_EQ(engine.cancel(3), 2u); // both queued login steps
    const Trace run = drive(engine, {kGreeting, reply(200)}, {});
    const std::vector<Delivered> expected{{1, 200, 0, 0}, {2, 200, 0, 0}};
    EXPECT_EQ(run.delivered, expected);
}

namespace {
// True when `text` appears anywhere in the bytes of `storage`.
template <std::size_t N> bool holds(const unsigned char (&storage)[N], std::string_view text) {
    return std::string_view(reinterpret_cast<const char*>(storage), N).find(text) !=
           std::string_view::npos;
}
} // namespace

// Short texts live inside the string objects, so their bytes stay in this storage after the
// destructor ran and can be looked at. The storage is static, so every byte of it is defined
// (zero) before the objects use it, also for a memory checker.
TEST(LoginSecrets, LoginDataAndLoginLinesAreWipedWhenTheyGo) {
    alignas(LoginData) static unsigned char data[sizeof(LoginData)];
    auto* login = new (data) LoginData;
    login->userPassword = "pw-1234";
    login->chapSecret = "chap-5678";
    login->peerSecret = "peer-9012";
    ASSERT_TRUE(holds(data, "pw-1234"));
    login->~LoginData();
    EXPECT_FALSE(holds(data, "pw-1234"));
    EXPECT_FALSE(holds(data, "chap-5678"));
    EXPECT_FALSE(holds(data, "peer-9012"));

    alignas(Request) static unsigned char step[sizeof(Request)];
    auto* request = new (step) Request(RequestKind::Login, "login u pw-1\n", 1, true);
    ASSERT_TRUE(holds(step, "pw-1"));
    request->~Request();
    EXPECT_FALSE(holds(step, "pw-1"));

    // A key moved on leaves nothing of its secret behind (a moved short string keeps its
    // bytes but for the first).
    alignas(ChannelKey) static unsigned char key[sizeof(ChannelKey)];
    auto* moved = new (key) ChannelKey({1, 2}, "key-3456");
    { const ChannelKey taken(std::move(*moved)); }
    moved->~ChannelKey();
    EXPECT_FALSE(holds(key, "-3456"));
}
