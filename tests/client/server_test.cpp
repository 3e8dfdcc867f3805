// The library against the stand-in management server, started as a child process on an
// ephemeral loopback port.
#include "api_support.h"
#include "child_process.h"
#include "stream_relay.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <sstream>

using namespace apitest;
using testsupport::ChildProcess;

namespace {

using Millis = std::chrono::milliseconds;

class StandIn {
  public:
    // The stand-in ends when the test closes its standard input; --exit-after is only a net for a
    // test that dies, longer than the test's own time-out so that a slow machine never meets it.
    explicit StandIn(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {
            "--exit-on-stdin-close", "--exit-after", "900",    "--user",           "admin:secret",
            "--chap-user",           "alice:secret", "--peer", "server:peersecret"};
        args.insert(args.end(), extra.begin(), extra.end());
        child_ = std::make_unique<ChildProcess>(DRAVOLIN_TESTSERVER, args);
        std::string line;
        child_->readLine(line, Millis(30000));
        const std::string marker = "(service port ";
        const auto at = line.find(marker);
        if (line.rfind("listening ", 0) == 0 && at != std::string::npos) {
            servicePort = std::atoi(line.c_str() + at + marker.size());
        }
    }
    int servicePort = -1;

  private:
    std::unique_ptr<ChildProcess> child_;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The exact body the stand-in sends for a generated log of `size` bytes.
std::string expectedLog(std::size_t size) {
    const std::string path = "expected-" + std::to_string(size) + ".log";
    ChildProcess writer(DRAVOLIN_TESTSERVER,
                        {"--write-log", path, "--log-size", std::to_string(size)});
    writer.finish(Millis(60000));
    std::string body = readFile(path);
    std::remove(path.c_str());
    return body;
}

// expectedLog(), made once per size.
const std::string& servedLog(std::size_t size) {
    static std::map<std::size_t, std::string> made;
    auto it = made.find(size);
    if (it == made.end()) {
        it = made.emplace(size, expectedLog(size)).first;
    }
    return it->second;
}

std::string valueOf(const std::vector<Record>& records, const std::string& name) {
    for (const auto& r : records) {
        if (r.name == name) {
            return r.value;
        }
    }
    return {};
}

int send(uint32_t handle, unsigned code, const char* argument,
         std::vector<Record>* records = nullptr) {
    Response* r = nullptr;
    const int result = DravolinClient_SendRequest(handle, code, argument, &r, nullptr, nullptr);
    if (records) {
        *records = recordsOf(r);
    }
    DravolinClient_ResponseFree(r);
    return result;
}

class StandInTest : public ApiTest {
  protected:
    uint32_t connectTo(const StandIn& server) {
        uint32_t handle = 0;
        EXPECT_EQ(
            DravolinClient_Connect("127.0.0.1", server.servicePort, &handle, nullptr, nullptr), 0);
        return handle;
    }
};

} // namespace

TEST_F(StandInTest, PlainSessionWithEveryRequestCode) {
    StandIn server;
    ASSERT_GT(server.servicePort, 0);
    const uint32_t handle = connectTo(server);
    LoginParameters lp{0, "admin", "secret", nullptr, nullptr, 0};
    ASSERT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 0);
    std::vector<Record> records;
    ASSERT_EQ(send(handle, 4, nullptr, &records), 0);
    EXPECT_EQ(valueOf(records, "Device"), "disk0");
    EXPECT_EQ(send(handle, 1, "disk7", &records), 0);
    EXPECT_EQ(send(handle, 3, "admin disk7 r", &records), 0);
    EXPECT_EQ(send(handle, 5, " -device:\"disk7\"", &records), 0);
    EXPECT_EQ(valueOf(records, "Access"), "r");
    EXPECT_EQ(send(handle, 2, "disk7", &records), 0);
    EXPECT_EQ(send(handle, 6, "LogLevel 3", &records), 0);
    EXPECT_EQ(send(handle, 7, "LogLevel", &records), 0);
    EXPECT_EQ(records.at(1).value, "3");
    EXPECT_EQ(send(handle, 10, "all", &records), 0);
    EXPECT_EQ(send(handle, 11, "ping", &records), 0);
    EXPECT_EQ(send(handle, 7, "NoSuchParameter", &records), 1);
    ASSERT_EQ(DravolinClient_SetServiceLogDirectory(handle, ""), 0);
    EXPECT_EQ(send(handle, 11, "-logname:\"plain-session.log\"", &records), 0);
    ASSERT_EQ(send(handle, 8, nullptr, &records), 0);
    EXPECT_EQ(valueOf(records, "filename"), "plain-session.log");
    EXPECT_EQ(readFile("plain-session.log"), expectedLog(65536));
    std::remove("plain-session.log");
    EXPECT_EQ(send(handle, 0, nullptr), 0);
    EXPECT_EQ(send(handle, 4, nullptr), 1) << "logged off";
    ASSERT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 0);
    EXPECT_EQ(send(handle, 9, nullptr), 0) << "shutdown succeeds as the server closes";
    EXPECT_EQ(send(handle, 7, "LogLevel"), 1);
    EXPECT_EQ(DravolinClient_Disconnect(handle, nullptr, nullptr), 0);
}

TEST_F(StandInTest, ChapVariantsThenEncryptedRequestsAndALargeLog) {
    StandIn server;
    ASSERT_GT(server.servicePort, 0);
    struct Variant {
        const char* peerName;
        const char* peerSecret;
        bool encrypt;
    };
    for (const Variant v :
         {Variant{nullptr, nullptr, false}, Variant{nullptr, nullptr, true},
          Variant{"server", "peersecret", false}, Variant{"server", "peersecret", true}}) {
        const uint32_t handle = connectTo(server);
        const LoginParameters lp{1,          "alice",      "secret",
                                 v.peerName, v.peerSecret, static_cast<unsigned char>(v.encrypt)};
        ASSERT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 0)
            << (v.peerName ? "mutual" : "one-way") << (v.encrypt ? " encrypted" : "");
        for (int i = 0; i < 10; ++i) {
            std::vector<Record> records;
            EXPECT_EQ(send(handle, 4, nullptr, &records), 0);
            EXPECT_EQ(valueOf(records, "Device"), "disk0");
        }
        if (v.encrypt && v.peerName) {
            const std::size_t size = 3 * 1024 * 1024 + 17;
            const std::string name = "chap-large.log";
            ASSERT_EQ(send(handle, 11, ("-logsize:\"" + std::to_string(size) + "\"").c_str()), 0);
            ASSERT_EQ(send(handle, 11, ("-logname:\"" + name + "\"").c_str()), 0);
            ASSERT_EQ(DravolinClient_SetServiceLogDirectory(handle, ""), 0);
            std::vector<Record> records;
            ASSERT_EQ(send(handle, 8, nullptr, &records), 0);
            EXPECT_EQ(valueOf(records, "LogSize"), std::to_string(size));
            const std::string got = readFile(name);
            EXPECT_EQ(got.size(), size);
            EXPECT_TRUE(got == expectedLog(size));
            std::remove(name.c_str());
        }
        EXPECT_EQ(DravolinClient_Disconnect(handle, nullptr, nullptr), 0);
    }
}

// IPv6: the stand-in on ::1 alone, and on :: for both families; the client given the address
// bare or in brackets, a plain and an encrypted CHAP session over each.
TEST_F(StandInTest, SessionsOverIpv6) {
    struct Row {
        const char* bind;
        const char* host;
    };
    for (const Row row :
         {Row{"::1", "::1"}, Row{"::1", "[::1]"}, Row{"::", "::1"}, Row{"::", "127.0.0.1"}}) {
        StandIn server({"--bind", row.bind});
        if (server.servicePort <= 0 && std::string(row.bind) == "::1") {
            GTEST_SKIP() << "no IPv6 loopback here: the stand-in cannot listen on ::1";
        }
        ASSERT_GT(server.servicePort, 0) << row.bind;
        for (const bool chap : {false, true}) {
            uint32_t handle = 0;
            ASSERT_EQ(DravolinClient_ConnectWithTimeouts(row.host, server.servicePort, 10000, 30000,
                                                         &handle, nullptr, nullptr),
                      0)
                << row.bind << " " << row.host;
            const LoginParameters lp =
                chap ? LoginParameters{1, "alice", "secret", "server", "peersecret", 1}
                     : LoginParameters{0, "admin", "secret", nullptr, nullptr, 0};
            ASSERT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 0) << row.host;
            std::vector<Record> records;
            EXPECT_EQ(send(handle, 4, nullptr, &records), 0);
            EXPECT_EQ(valueOf(records, "Device"), "disk0");
            EXPECT_EQ(DravolinClient_Disconnect(handle, nullptr, nullptr), 0);
        }
    }
}

// Nothing listens on ::1 at the port: the refusal names the IPv6 address in brackets.
TEST_F(StandInTest, ARefusedIpv6AddressIsNamed) {
    StandIn server; // on 127.0.0.1 only
    ASSERT_GT(server.servicePort, 0);
    uint32_t handle = 0;
    ASSERT_EQ(DravolinClient_ConnectWithTimeouts("::1", server.servicePort, 10000, 0, &handle,
                                                 nullptr, nullptr),
              1);
    int status = 0;
    int reason = 0;
    char text[DRAVOLIN_MAX_REASON] = "";
    ASSERT_EQ(DravolinClient_GetLastFailure(handle, &status, &reason, text, sizeof text), 0);
    EXPECT_EQ(reason, DRAVOLIN_REASON_CONNECT_FAILED) << text;
    EXPECT_NE(std::string(text).find("[::1]:" + std::to_string(server.servicePort + 1)),
              std::string::npos)
        << text;
}

namespace {

// The trace as the stand-in's wire log writes it: "< " what the server received (the client
// sent), "> " what it sent; events as "* ".
struct Trace {
    std::mutex lock;
    std::vector<std::string> lines;
    static void DRAVOLIN_CALL collect(uint32_t, int direction, const char* line, void* context) {
        auto& trace = *static_cast<Trace*>(context);
        std::lock_guard guard(trace.lock);
        trace.lines.push_back((direction == DRAVOLIN_TRACE_SENT       ? "< "
                               : direction == DRAVOLIN_TRACE_RECEIVED ? "> "
                                                                      : "* ") +
                              std::string(line));
    }
};

// The value of `-CHAP_R:"..."` or `CHAP_R="..."` in a line; empty when none.
std::string chapResponseIn(const std::string& line) {
    for (const std::string key : {"-CHAP_R:\"", "CHAP_R=\""}) {
        const auto at = line.find(key);
        if (at != std::string::npos) {
            const auto start = at + key.size();
            return line.substr(start, line.find('"', start) - start);
        }
    }
    return {};
}

} // namespace

// The trace of every login kind, line for line what the stand-in logged, with no secret in
// it: plain, CHAP, mutual CHAP, each CHAP kind also with the encrypted channel.
TEST_F(StandInTest, TheTraceIsWhatWentOverTheWireWithoutSecrets) {
    struct Row {
        const char* name;
        LoginParameters login;
    };
    const Row rows[] = {
        {"plain", {0, "admin", "secret", nullptr, nullptr, 0}},
        {"chap", {1, "alice", "secret", nullptr, nullptr, 0}},
        {"chap mutual", {1, "alice", "secret", "server", "peersecret", 0}},
        {"chap encrypted", {1, "alice", "secret", nullptr, nullptr, 1}},
        {"chap mutual encrypted", {1, "alice", "secret", "server", "peersecret", 1}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string wireLog = std::string("wire-") + std::to_string(&row - rows) + ".log";
        std::remove(wireLog.c_str());
        Trace trace;
        // Process-wide: from the first connect attempt on.
        ASSERT_EQ(DravolinClient_SetTrace(0, Trace::collect, &trace), 0);
        int port = 0;
        {
            // Cut and merged writes: the lines must come out whole all the same.
            StandIn server({"--wire-log", wireLog, "--fault", "split,on=list"});
            ASSERT_GT(server.servicePort, 0);
            port = server.servicePort;
            const uint32_t handle = connectTo(server);
            ASSERT_EQ(DravolinClient_Login(handle, &row.login, nullptr, nullptr), 0);
            std::vector<Record> records;
            EXPECT_EQ(send(handle, 4, nullptr, &records), 0);
            EXPECT_EQ(send(handle, 7, "LogLevel", &records), 0);
            EXPECT_EQ(DravolinClient_Disconnect(handle, nullptr, nullptr), 0);
        } // the stand-in has ended: its log is complete
        ASSERT_EQ(DravolinClient_SetTrace(0, nullptr, nullptr), 0);

        std::vector<std::string> wire;
        {
            std::istringstream in(readFile(wireLog));
            for (std::string line; std::getline(in, line);) {
                const auto blank = line.find(' ');
                ASSERT_NE(blank, std::string::npos) << line;
                wire.push_back(line.substr(blank + 1)); // one connection: its number goes
            }
        }
        std::remove(wireLog.c_str());
        std::vector<std::string> traced;
        std::vector<std::string> events;
        {
            std::lock_guard guard(trace.lock);
            for (const auto& line : trace.lines) {
                (line.rfind("* ", 0) == 0 ? events : traced).push_back(line);
            }
        }
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.front(),
                  "* connect 127.0.0.1:" + std::to_string(port + 1) + ": connected");
        const bool encrypted = row.login.encrypt != 0;
        EXPECT_EQ(std::count(events.begin(), events.end(), "* encrypted channel on"),
                  encrypted ? 1 : 0);

        ASSERT_EQ(traced.size(), wire.size());
        std::size_t redacted = 0;
        for (std::size_t i = 0; i < wire.size(); ++i) {
            const std::string& mine = traced[i];
            const auto cut = mine.find("<redacted>");
            if (cut == std::string::npos) {
                EXPECT_EQ(mine, wire[i]) << "line " << i;
                continue;
            }
            ++redacted;
            // The same line with the secret in place of "<redacted>".
            const std::string before = mine.substr(0, cut);
            const std::string after = mine.substr(cut + 10);
            EXPECT_EQ(wire[i].rfind(before, 0), 0u) << mine << " / " << wire[i];
            EXPECT_TRUE(wire[i].size() >= before.size() + after.size() &&
                        wire[i].compare(wire[i].size() - after.size(), after.size(), after) == 0)
                << mine << " / " << wire[i];
            EXPECT_GT(wire[i].size(), before.size() + after.size()) << "nothing was hidden";
        }
        // Plain: the password; CHAP: the client's response, and the server's too when mutual.
        const std::size_t secrets = row.login.mode == 0 ? 1 : row.login.peerName ? 2 : 1;
        EXPECT_EQ(redacted, secrets);
        for (const auto& line : trace.lines) {
            EXPECT_EQ(line.find("secret"), std::string::npos) << line;
        }
        for (const auto& line : wire) {
            const std::string response = chapResponseIn(line);
            if (response.empty()) {
                continue;
            }
            for (const auto& mine : trace.lines) {
                EXPECT_EQ(mine.find(response), std::string::npos) << mine;
            }
        }
    }
}

TEST_F(StandInTest, ChapFailuresEndTheLogin) {
    StandIn server;
    ASSERT_GT(server.servicePort, 0);
    struct Case {
        const char* fault;
        bool mutual;
        bool encrypt;
    };
    for (const Case c : {Case{"badproof", true, false}, Case{"badname", true, true},
                         Case{"nocrypt", false, true}, Case{"status,on=auth start", false, false},
                         Case{"status,on=auth check,status=102", true, false}}) {
        for (const bool async : {false, true}) {
            Completions::instance().reset();
            const uint32_t handle = connectTo(server);
            std::string fault = c.fault;
            // Arm the fault on this connection through a control line.
            std::string mode = fault.substr(0, fault.find(','));
            std::string line = "-fault:\"" + mode + "\"";
            if (fault.find("on=") != std::string::npos) {
                const auto at = fault.find("on=") + 3;
                line += " -on:\"" + fault.substr(at, fault.find(',', at) - at) + "\"";
            }
            if (fault.find("status=") != std::string::npos) {
                line += " -status:\"" + fault.substr(fault.find("status=") + 7) + "\"";
            }
            ASSERT_EQ(send(handle, 11, line.c_str()), 0) << line;
            const LoginParameters lp{1,
                                     "alice",
                                     "secret",
                                     c.mutual ? "server" : nullptr,
                                     c.mutual ? "peersecret" : nullptr,
                                     static_cast<unsigned char>(c.encrypt)};
            if (async) {
                uint32_t id = 0;
                ASSERT_EQ(DravolinClient_Login(handle, &lp, &id, Completions::callback), 0);
                ASSERT_TRUE(Completions::instance().waitFor(1)) << c.fault;
                EXPECT_EQ(Completions::instance().all()[0].failed, 1) << c.fault;
            } else {
                EXPECT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 1) << c.fault;
            }
            EXPECT_EQ(send(handle, 4, nullptr), 1) << c.fault << ": not logged in";
            EXPECT_EQ(DravolinClient_Disconnect(handle, nullptr, nullptr), 0);
        }
    }
}

TEST_F(StandInTest, BrokenFramesCloseTheEncryptedConnection) {
    StandIn server;
    ASSERT_GT(server.servicePort, 0);
    for (const char* fault : {"corruptframe", "frame16", "frame40"}) {
        const uint32_t handle = connectTo(server);
        const LoginParameters lp{1, "alice", "secret", "server", "peersecret", 1};
        ASSERT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 0);
        const std::string arm = std::string("-fault:\"") + fault + "\" -on:\"list\"";
        ASSERT_EQ(send(handle, 11, arm.c_str()), 0);
        EXPECT_EQ(send(handle, 4, nullptr), 1) << fault;
        EXPECT_EQ(send(handle, 7, "LogLevel"), 1) << fault << ": the connection is closed";
    }
}

TEST_F(StandInTest, ReplyFaults) {
    StandIn server({"--open"});
    ASSERT_GT(server.servicePort, 0);
    const uint32_t handle = connectTo(server);
    std::vector<Record> records;
    ASSERT_EQ(send(handle, 11, "-fault:\"drip\" -on:\"get\""), 0);
    EXPECT_EQ(send(handle, 7, "LogLevel", &records), 0);
    EXPECT_EQ(records.at(0).value, "LogLevel");
    ASSERT_EQ(send(handle, 11, "-fault:\"longline\" -on:\"get\""), 0);
    EXPECT_EQ(send(handle, 7, "LogLevel", &records), 0);
    EXPECT_EQ(valueOf(records, "Parameter"), "LogLevel") << "the over-long line was skipped";
    ASSERT_EQ(send(handle, 11, "-fault:\"double\" -on:\"get\""), 0);
    EXPECT_EQ(send(handle, 7, "LogLevel", &records), 0);
    EXPECT_EQ(valueOf(records, "Extra"), "");
    ASSERT_EQ(send(handle, 11, "-fault:\"status\" -on:\"statistics\" -status:\"101\""), 0);
    EXPECT_EQ(send(handle, 10, "all"), 1);
    ASSERT_EQ(send(handle, 11, "-fault:\"close\" -on:\"get\""), 0);
    EXPECT_EQ(send(handle, 7, "LogLevel"), 1);
    EXPECT_EQ(send(handle, 7, "LogLevel"), 1);
}

TEST_F(StandInTest, FreeReturnsWhileTheServerNeverFinishesAReply) {
    StandIn server({"--open"});
    ASSERT_GT(server.servicePort, 0);
    const uint32_t handle = connectTo(server);
    ASSERT_EQ(send(handle, 11, "-fault:\"hang\" -on:\"get\""), 0);
    auto waiter = std::async(std::launch::async, [&] { return send(handle, 7, "LogLevel"); });
    // Wait until the server holds the hung "get": its command count (which counts each
    // statistics request too) reaches the control line, the get and our own queries.
    const uint32_t observer = connectTo(server);
    bool arrived = false;
    for (int queries = 1; queries <= 2000 && !arrived; ++queries) {
        std::vector<Record> records;
        ASSERT_EQ(send(observer, 10, "all", &records), 0);
        arrived = std::stoi(valueOf(records, "Commands")) - queries >= 2;
    }
    ASSERT_TRUE(arrived);
    uint32_t id = 0;
    Response* r = nullptr;
    ASSERT_EQ(DravolinClient_SendRequest(handle, 4, nullptr, &r, &id, Completions::callback), 0);
    auto freeing = std::async(std::launch::async, [] { DravolinClient_Free(); });
    ASSERT_EQ(freeing.wait_for(Millis(30000)), std::future_status::ready);
    ASSERT_EQ(waiter.wait_for(Millis(30000)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 1);
    ASSERT_TRUE(Completions::instance().waitFor(1));
    EXPECT_EQ(Completions::instance().countFor(id), 1u);
    EXPECT_EQ(Completions::instance().all()[0].failed, 1);
    DravolinClient_ResponseFree(r);
}

namespace {

// Waits for the completion of `id` (long transfers through a slow relay take a while).
bool completed(uint32_t id, Millis limit = Millis(180000)) {
    return waitUntil([&] { return Completions::instance().countFor(id) > 0; }, limit);
}

int failedFlagOf(uint32_t id) {
    for (const auto& c : Completions::instance().all()) {
        if (c.id == id) {
            return c.failed;
        }
    }
    return -1;
}

} // namespace

// The client and the stand-in with a relay between them that re-cuts both directions of the
// stream into random pieces with random pauses: what a real network may do to the bytes.
TEST_F(StandInTest, EverythingWorksThroughARelayThatRecutsTheStream) {
    StandIn server;
    ASSERT_GT(server.servicePort, 0);
    // A listing of a few thousand records: 750 devices of four records each, added directly.
    const uint32_t direct = connectTo(server);
    LoginParameters admin{0, "admin", "secret", nullptr, nullptr, 0};
    ASSERT_EQ(DravolinClient_Login(direct, &admin, nullptr, nullptr), 0);
    for (int i = 0; i < 750; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "relay%04d", i);
        ASSERT_EQ(send(direct, 1, name), 0);
    }
    std::vector<Record> listing;
    ASSERT_EQ(send(direct, 4, nullptr, &listing), 0);
    ASSERT_GE(listing.size(), 3000u);
    const std::size_t logSize = 4 * 1024 * 1024 + 3;
    const std::string& log = servedLog(logSize);

    struct Shape {
        const char* what;
        testpeer::StreamShape shape;
        bool bigLog;
    };
    for (const Shape& sh : {Shape{"1-byte pieces", {11, 1, 0}, false},
                            Shape{"up to a segment, up to 1 ms apart", {12, 1448, 1}, true},
                            Shape{"up to 40,000 bytes", {13, 40000, 0}, true}}) {
        testpeer::StreamRelay relay(static_cast<std::uint16_t>(server.servicePort + 1), sh.shape);
        ASSERT_NE(relay.port(), 0);
        for (const bool encrypted : {false, true}) {
            for (const bool async : {false, true}) {
                SCOPED_TRACE(std::string(sh.what) +
                             (encrypted ? ", CHAP mutual encrypted" : ", plain") +
                             (async ? ", async" : ", sync"));
                Completions::instance().reset();
                uint32_t handle = 0;
                // No time limits, as the original Connect; the handle tells why it failed.
                if (DravolinClient_ConnectWithTimeouts("127.0.0.1", relay.servicePort(), 0, 0,
                                                       &handle, nullptr, nullptr) != 0) {
                    char why[DRAVOLIN_MAX_REASON] = "";
                    DravolinClient_GetLastFailure(handle, nullptr, nullptr, why, sizeof why);
                    FAIL() << "connect through the relay: " << why;
                }
                const LoginParameters chap{1, "alice", "secret", "server", "peersecret", 1};
                ASSERT_EQ(
                    DravolinClient_Login(handle, encrypted ? &chap : &admin, nullptr, nullptr), 0);
                ASSERT_EQ(DravolinClient_SetServiceLogDirectory(handle, ""), 0);
                const std::string name =
                    std::string("relay-") + (encrypted ? "e" : "p") + (async ? "a" : "s") + ".log";
                ASSERT_EQ(send(handle, 11, ("-logname:\"" + name + "\"").c_str()), 0);
                if (sh.bigLog) {
                    ASSERT_EQ(
                        send(handle, 11, ("-logsize:\"" + std::to_string(logSize) + "\"").c_str()),
                        0);
                }
                std::vector<Record> got;
                if (!async) {
                    EXPECT_EQ(send(handle, 4, nullptr, &got), 0);
                    EXPECT_TRUE(got == listing) << got.size() << " records";
                    EXPECT_EQ(send(handle, 8, nullptr), 0);
                } else {
                    Response* list = nullptr;
                    Response* getlog = nullptr;
                    uint32_t listId = 0, logId = 0;
                    ASSERT_EQ(DravolinClient_SendRequest(handle, 4, nullptr, &list, &listId,
                                                         Completions::callback),
                              0);
                    ASSERT_EQ(DravolinClient_SendRequest(handle, 8, nullptr, &getlog, &logId,
                                                         Completions::callback),
                              0);
                    ASSERT_TRUE(completed(listId));
                    ASSERT_TRUE(completed(logId));
                    EXPECT_EQ(failedFlagOf(listId), 0);
                    EXPECT_EQ(failedFlagOf(logId), 0);
                    EXPECT_TRUE(recordsOf(list) == listing);
                    DravolinClient_ResponseFree(list);
                    DravolinClient_ResponseFree(getlog);
                }
                const std::string file = readFile(name);
                EXPECT_EQ(file.size(), sh.bigLog ? logSize : 65536u);
                EXPECT_TRUE(file == (sh.bigLog ? log : servedLog(65536)));
                std::remove(name.c_str());
                EXPECT_EQ(DravolinClient_Disconnect(handle, nullptr, nullptr), 0);
            }
        }
        EXPECT_GT(relay.pieces(), 0u);
    }
}

TEST_F(StandInTest, CancelDisconnectAndFreeMidTransferThroughTheRelay) {
    StandIn server;
    ASSERT_GT(server.servicePort, 0);
    testpeer::StreamRelay relay(static_cast<std::uint16_t>(server.servicePort + 1), {21, 1448, 1});
    const std::size_t logSize = 3 * 1024 * 1024;
    const LoginParameters chap{1, "alice", "secret", "server", "peersecret", 1};
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        Completions::instance().reset();
        uint32_t handle = 0;
        ASSERT_EQ(
            DravolinClient_Connect("127.0.0.1", relay.servicePort(), &handle, nullptr, nullptr), 0);
        const LoginParameters admin{0, "admin", "secret", nullptr, nullptr, 0};
        ASSERT_EQ(DravolinClient_Login(handle, encrypted ? &chap : &admin, nullptr, nullptr), 0);
        ASSERT_EQ(DravolinClient_SetServiceLogDirectory(handle, ""), 0);
        ASSERT_EQ(send(handle, 11, "-logname:\"relay-cancel.log\""), 0);
        ASSERT_EQ(send(handle, 11, ("-logsize:\"" + std::to_string(logSize) + "\"").c_str()), 0);
        Response* getlog = nullptr;
        Response* list = nullptr;
        uint32_t logId = 0, listId = 0, disconnectId = 0;
        ASSERT_EQ(
            DravolinClient_SendRequest(handle, 8, nullptr, &getlog, &logId, Completions::callback),
            0);
        ASSERT_EQ(
            DravolinClient_SendRequest(handle, 4, nullptr, &list, &listId, Completions::callback),
            0);
        // Withdrawn while the transfer runs; the disconnect waits behind the transfer.
        EXPECT_EQ(DravolinClient_CancelRequest(listId), 0);
        ASSERT_EQ(DravolinClient_Disconnect(handle, &disconnectId, Completions::callback), 0);
        ASSERT_TRUE(completed(disconnectId));
        EXPECT_EQ(Completions::instance().countFor(logId), 1u);
        EXPECT_EQ(failedFlagOf(logId), 0);
        EXPECT_EQ(Completions::instance().countFor(listId), 0u);
        EXPECT_EQ(failedFlagOf(disconnectId), 0);
        EXPECT_TRUE(readFile("relay-cancel.log") == servedLog(logSize));
        std::remove("relay-cancel.log");
        DravolinClient_ResponseFree(getlog);
        DravolinClient_ResponseFree(list);
    }
    // Ending the library in the middle of a transfer fails it, once.
    Completions::instance().reset();
    uint32_t handle = 0;
    ASSERT_EQ(DravolinClient_Connect("127.0.0.1", relay.servicePort(), &handle, nullptr, nullptr),
              0);
    ASSERT_EQ(DravolinClient_Login(handle, &chap, nullptr, nullptr), 0);
    ASSERT_EQ(DravolinClient_SetServiceLogDirectory(handle, ""), 0);
    ASSERT_EQ(send(handle, 11, "-logname:\"relay-free.log\""), 0);
    ASSERT_EQ(send(handle, 11, "-logsize:\"67108864\""), 0);
    Response* getlog = nullptr;
    uint32_t logId = 0;
    ASSERT_EQ(
        DravolinClient_SendRequest(handle, 8, nullptr, &getlog, &logId, Completions::callback), 0);
    std::this_thread::sleep_for(Millis(300));
    DravolinClient_Free();
    ASSERT_TRUE(completed(logId, Millis(30000)));
    EXPECT_EQ(Completions::instance().countFor(logId), 1u);
    EXPECT_EQ(failedFlagOf(logId), 1);
    DravolinClient_ResponseFree(getlog);
    std::remove("relay-free.log");
}
