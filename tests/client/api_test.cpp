// The exported interface end to end against a scripted service on loopback.
#include "api_support.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

using namespace apitest;
using testpeer::LoopbackPeer;
using testpeer::PeerLink;
using testpeer::reply;

namespace {

// A well-behaved service: users "admin"/"secret", a device table, a log.
std::optional<std::string> standardAnswer(const std::string& line) {
    if (line == "login admin secret") {
        return reply(200);
    }
    if (line.rfind("login", 0) == 0) {
        return reply(103, {{"reason", "bad user"}});
    }
    if (line == "logoff") {
        return reply(200);
    }
    if (line.rfind("list -what:\"devices\"", 0) == 0) {
        if (line.find("refuse") != std::string::npos) {
            return reply(102, {{"reason", "not allowed"}});
        }
        return reply(200, {{"Device", "disk0"}, {"Size", "\"10 GB\""}, {"Device", "disk1"}});
    }
    if (line.rfind("list -what:\"permissions\"", 0) == 0) {
        return reply(200, {{"Permission", "disk0 admin"}});
    }
    if (line == "getlog") {
        return reply(200, {{"LogFilename", "service.log"}, {"LogSize", "22"}},
                     "first line\r\nsecond\r\n");
    }
    if (line == "shutdown") {
        return std::nullopt; // closes the connection
    }
    if (line.find("fail") != std::string::npos) {
        return reply(101, {{"error", line}});
    }
    return reply(200, {{"echo", line}});
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string tempDirectory() {
    // The build tree's current directory is writable on both platforms.
    return "";
}

} // namespace

// ---------------------------------------------------------------------------------------

TEST(ApiWithoutInit, EverythingNeedingTheClientReturnsNotInitialised) {
    EXPECT_EQ(DravolinClient_GetVersion(), 20050118);
    uint32_t handle = 0;
    uint32_t id = 0;
    EXPECT_EQ(DravolinClient_Connect("127.0.0.1", 1, &handle, &id, nullptr), 2);
    EXPECT_EQ(DravolinClient_Disconnect(1, &id, nullptr), 2);
    LoginParameters lp{0, "a", "b", nullptr, nullptr, 0};
    EXPECT_EQ(DravolinClient_Login(1, &lp, &id, nullptr), 2);
    Response* r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(1, 0, nullptr, &r, &id, nullptr), 2);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(DravolinClient_CancelRequest(1), 2);
    EXPECT_EQ(DravolinClient_SetServiceLogDirectory(1, "x"), 2);
    DravolinClient_Free(); // harmless when not initialised

    ASSERT_EQ(DravolinClient_Init(), 0);
    EXPECT_EQ(DravolinClient_GetVersion(), 20050118);
    DravolinClient_Free();
    EXPECT_EQ(DravolinClient_CancelRequest(1), 2);
}

TEST(ApiResponses, WalkWithoutServerAndNullFree) {
    Response* out = nullptr;
    Response* r = DravolinClient_ResponseInit(&out);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(out, r);
    char name[8] = "keep";
    char value[8] = "keep";
    EXPECT_EQ(DravolinClient_ResponseGetNext(r, name, value), 0);
    EXPECT_STREQ(name, "keep");
    EXPECT_EQ(DravolinClient_ResponseReset(r), r);
    DravolinClient_ResponseFree(r);
    DravolinClient_ResponseFree(nullptr);
    Response* unplaced = DravolinClient_ResponseInit(nullptr);
    EXPECT_NE(unplaced, nullptr);
    DravolinClient_ResponseFree(unplaced);
}

TEST_F(ApiTest, UnknownHandlesCodesAndModesAreRefused) {
    Response* r = nullptr;
    uint32_t id = 0;
    EXPECT_EQ(DravolinClient_SendRequest(99, 0, nullptr, &r, &id, nullptr), 3);
    ASSERT_NE(r, nullptr) << "the Response is handed out before the handle is checked";
    EXPECT_TRUE(recordsOf(r).empty());
    DravolinClient_ResponseFree(r);
    EXPECT_EQ(DravolinClient_Disconnect(99, &id, nullptr), 3);
    LoginParameters lp{0, "a", "b", nullptr, nullptr, 0};
    EXPECT_EQ(DravolinClient_Login(99, &lp, &id, nullptr), 3);
    EXPECT_EQ(DravolinClient_SetServiceLogDirectory(99, "x"), 3);
    EXPECT_EQ(DravolinClient_CancelRequest(12345), 0);

    LoopbackPeer peer(testpeer::scripted(standardAnswer));
    const uint32_t handle = connect(peer);
    ASSERT_EQ(handle, 1u) << "handles start at 1";
    r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 12, "x", &r, &id, nullptr), 3);
    ASSERT_NE(r, nullptr);
    DravolinClient_ResponseFree(r);
    lp.mode = 2;
    EXPECT_EQ(DravolinClient_Login(handle, &lp, &id, nullptr), 1);
    // Nothing of the refused calls reached the wire.
    r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 0, nullptr, &r, nullptr, nullptr), 0);
    DravolinClient_ResponseFree(r);
    EXPECT_EQ(peer.lines(), std::vector<std::string>{"logoff"});
}

TEST_F(ApiTest, EveryRequestCodeSynchronouslyWithItsBytesOnTheWire) {
    LoopbackPeer peer(testpeer::scripted(standardAnswer));
    const uint32_t handle = connect(peer);
    LoginParameters lp{0, "admin", "secret", nullptr, nullptr, 0};
    ASSERT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 0);
    ASSERT_EQ(DravolinClient_SetServiceLogDirectory(handle, tempDirectory().c_str()), 0);

    struct Case {
        unsigned code;
        const char* argument;
        std::string line;
    };
    const std::vector<Case> cases = {
        {1, "disk9 -size:\"1\"", "add disk9 -size:\"1\""},
        {2, "disk9", "remove disk9"},
        {3, "disk9 bob", "allow disk9 bob"},
        {4, nullptr, "list -what:\"devices\"1"},
        {5, nullptr, "list -what:\"permissions\""},
        {6, "Param=1", "set Param=1"},
        {7, "Param", "get Param"},
        {8, "unused", "getlog"},
        {10, "all", "statistics all"},
        {11, "reload", "control reload "},
        {0, "unused", "logoff"},
    };
    for (const auto& c : cases) {
        Response* r = nullptr;
        EXPECT_EQ(DravolinClient_SendRequest(handle, c.code, c.argument, &r, nullptr, nullptr), 0)
            << c.code;
        ASSERT_NE(r, nullptr);
        const auto lines = peer.lines();
        EXPECT_EQ(lines.back(), c.line) << c.code;
        const auto records = recordsOf(r);
        if (c.code == 4) {
            EXPECT_EQ(records, (std::vector<Record>{
                                   {"Device", "disk0"}, {"Size", "10 GB"}, {"Device", "disk1"}}));
        } else if (c.code == 8) {
            EXPECT_EQ(records, (std::vector<Record>{{"LogFilename", "service.log"},
                                                    {"LogSize", "22"},
                                                    {"filename", "service.log"}}));
            EXPECT_EQ(readFile("service.log"), "first line\r\nsecond\r\n");
        } else if (c.code != 0 && c.code != 5) {
            // Values arrive trimmed: "control reload " comes back without its blank.
            const std::string echoed =
                c.line.back() == ' ' ? c.line.substr(0, c.line.size() - 1) : c.line;
            EXPECT_EQ(records, (std::vector<Record>{{"echo", echoed}})) << c.code;
        }
        DravolinClient_ResponseFree(r);
    }
    std::remove("service.log");
    // The plain login line went first.
    EXPECT_EQ(peer.lines().front(), "login admin secret");
}

TEST_F(ApiTest, EveryRequestCodeAsynchronously) {
    LoopbackPeer peer(testpeer::scripted(standardAnswer));
    uint32_t handle = 0;
    uint32_t connectId = 0;
    ASSERT_EQ(DravolinClient_Connect("127.0.0.1", peer.servicePort(), &handle, &connectId,
                                     Completions::callback),
              0);
    ASSERT_TRUE(Completions::instance().waitFor(1));
    auto first = Completions::instance().all()[0];
    EXPECT_EQ(first.id, connectId);
    EXPECT_EQ(first.failed, 0);
    EXPECT_EQ(first.response, nullptr);

    std::vector<std::pair<uint32_t, Response*>> sent;
    for (unsigned code : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 10u, 11u, 0u}) {
        Response* r = nullptr;
        uint32_t id = 0;
        ASSERT_EQ(DravolinClient_SendRequest(handle, code, "x", &r, &id, Completions::callback), 0);
        EXPECT_NE(id, 0u);
        sent.emplace_back(id, r);
    }
    ASSERT_TRUE(Completions::instance().waitFor(1 + sent.size()));
    const auto all = Completions::instance().all();
    for (std::size_t i = 0; i < sent.size(); ++i) {
        // One worker serves one connection in queue order.
        EXPECT_EQ(all[i + 1].id, sent[i].first);
        EXPECT_EQ(all[i + 1].response, sent[i].second);
        EXPECT_EQ(all[i + 1].failed, 0);
        DravolinClient_ResponseFree(sent[i].second);
    }
    uint32_t disconnectId = 0;
    ASSERT_EQ(DravolinClient_Disconnect(handle, &disconnectId, Completions::callback), 0);
    ASSERT_TRUE(Completions::instance().waitFor(2 + sent.size()));
    const auto last = Completions::instance().all().back();
    EXPECT_EQ(last.id, disconnectId);
    EXPECT_EQ(last.failed, 0);
    EXPECT_EQ(last.response, nullptr);
    EXPECT_EQ(DravolinClient_SendRequest(handle, 0, nullptr, nullptr, nullptr, nullptr), 3)
        << "the handle is gone after Disconnect";
}

TEST_F(ApiTest, RefusedLoginAndListingAreFollowedByLogoff) {
    LoopbackPeer peer(testpeer::scripted(standardAnswer));
    const uint32_t handle = connect(peer);
    LoginParameters lp{0, "admin", "wrong", nullptr, nullptr, 0};
    EXPECT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 1);
    ASSERT_TRUE(waitUntil([&] { return peer.lines().size() >= 2; }));
    EXPECT_EQ(peer.lines(), (std::vector<std::string>{"login admin wrong", "logoff"}));

    Response* r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 4, " refuse", &r, nullptr, nullptr), 1);
    EXPECT_EQ(recordsOf(r), (std::vector<Record>{{"reason", "not allowed"}}))
        << "a refused reply still hands over its records";
    DravolinClient_ResponseFree(r);
    ASSERT_TRUE(waitUntil([&] { return peer.lines().size() >= 4; }));
    EXPECT_EQ(peer.lines()[2], "list -what:\"devices\" refuse");
    EXPECT_EQ(peer.lines()[3], "logoff");

    // Asynchronously the caller hears once, though the logoff reuses the identifier.
    uint32_t id = 0;
    Response* async = nullptr;
    ASSERT_EQ(DravolinClient_SendRequest(handle, 4, " refuse", &async, &id, Completions::callback),
              0);
    ASSERT_TRUE(waitUntil([&] { return peer.lines().size() >= 6; }));
    r = nullptr;
    ASSERT_EQ(DravolinClient_SendRequest(handle, 7, "sync", &r, nullptr, nullptr), 0);
    DravolinClient_ResponseFree(r);
    EXPECT_EQ(Completions::instance().countFor(id), 1u);
    EXPECT_EQ(Completions::instance().all()[0].failed, 1);
    DravolinClient_ResponseFree(async);
}

TEST_F(ApiTest, OtherStatusesFailAndPlainLoginLines) {
    LoopbackPeer peer(testpeer::scripted(standardAnswer));
    const uint32_t handle = connect(peer);
    Response* r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 7, "fail", &r, nullptr, nullptr), 1);
    EXPECT_EQ(recordsOf(r), (std::vector<Record>{{"error", "get fail"}}));
    DravolinClient_ResponseFree(r);
    LoginParameters lp{0, nullptr, nullptr, nullptr, nullptr, 0};
    EXPECT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 1);
    lp.name = "admin";
    EXPECT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 1);
    ASSERT_TRUE(waitUntil([&] { return peer.lines().size() >= 5; }));
    EXPECT_EQ(peer.lines(),
              (std::vector<std::string>{"get fail", "login", "logoff", "login admin", "logoff"}));
}

TEST_F(ApiTest, ConnectFailuresAreReported) {
    std::uint16_t closedPort = 0;
    {
        testpeer::PeerSocket probe;
        closedPort = probe.listenLoopback();
    }
    uint32_t handle = 77;
    EXPECT_EQ(DravolinClient_Connect("127.0.0.1", closedPort - 1, &handle, nullptr, nullptr), 1);
    EXPECT_EQ(handle, 77u) << "no handle for a failed connect";

    uint32_t id = 0;
    ASSERT_EQ(
        DravolinClient_Connect("127.0.0.1", closedPort - 1, &handle, &id, Completions::callback),
        0);
    ASSERT_TRUE(Completions::instance().waitFor(1));
    EXPECT_EQ(Completions::instance().all()[0].failed, 1);
    Response* r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 0, nullptr, &r, nullptr, nullptr), 1);
    DravolinClient_ResponseFree(r);
}

TEST_F(ApiTest, PeerClosingMidReplyFailsThatAndLaterRequests) {
    LoopbackPeer peer([](PeerLink& link) {
        link.send(testpeer::kGreeting);
        if (link.readLine()) {
            link.send("200 partial\r\nA=1\r\n"); // then closes
        }
    });
    const uint32_t handle = connect(peer);
    Response* r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 7, "A", &r, nullptr, nullptr), 1);
    DravolinClient_ResponseFree(r);
    r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 7, "A", &r, nullptr, nullptr), 1);
    DravolinClient_ResponseFree(r);
    EXPECT_EQ(peer.lines().size(), 1u);
    EXPECT_EQ(DravolinClient_Disconnect(handle, nullptr, nullptr), 0)
        << "a disconnected connection disconnects at once";
}

TEST_F(ApiTest, ShutdownSucceedsWhenTheServerEndsTheConnection) {
    for (const bool reset : {false, true}) {
        LoopbackPeer peer([reset](PeerLink& link) {
            link.send(testpeer::kGreeting);
            if (link.readLine()) {
                if (reset) {
                    link.socket().abort();
                }
            }
        });
        const uint32_t handle = connect(peer);
        Response* r = nullptr;
        EXPECT_EQ(DravolinClient_SendRequest(handle, 9, nullptr, &r, nullptr, nullptr), 0)
            << (reset ? "reset" : "orderly close");
        DravolinClient_ResponseFree(r);
        r = nullptr;
        EXPECT_EQ(DravolinClient_SendRequest(handle, 0, nullptr, &r, nullptr, nullptr), 1);
        DravolinClient_ResponseFree(r);
        EXPECT_EQ(peer.lines(), std::vector<std::string>{"shutdown"});
    }
}

TEST_F(ApiTest, ReplyFramingQuirks) {
    const std::string longLine = "Long=" + std::string(40000, 'L') + "\r\n";
    LoopbackPeer peer([&](PeerLink& link) {
        link.send(testpeer::kGreeting);
        while (auto line = link.readLine()) {
            if (*line == "get two") {
                // Two replies in one write: the second belongs to no request and is dropped.
                link.send(reply(200, {{"n", "1"}}) + reply(200, {{"n", "2"}}));
            } else if (*line == "get long") {
                link.send("200 ok\r\nA=1\r\n" + longLine + "B=2\r\n\r\n\r\n");
            } else if (*line == "get drip") {
                for (char c : reply(200, {{"d", "rip"}}, "body\r\n")) {
                    link.send(std::string(1, c));
                }
            } else {
                link.send(reply(200, {{"echo", *line}}));
            }
        }
    });
    const uint32_t handle = connect(peer);
    Response* r = nullptr;
    ASSERT_EQ(DravolinClient_SendRequest(handle, 7, "two", &r, nullptr, nullptr), 0);
    EXPECT_EQ(recordsOf(r), (std::vector<Record>{{"n", "1"}}));
    DravolinClient_ResponseFree(r);
    ASSERT_EQ(DravolinClient_SendRequest(handle, 7, "long", &r, nullptr, nullptr), 0);
    EXPECT_EQ(recordsOf(r), (std::vector<Record>{{"A", "1"}, {"B", "2"}}));
    DravolinClient_ResponseFree(r);
    ASSERT_EQ(DravolinClient_SendRequest(handle, 7, "drip", &r, nullptr, nullptr), 0);
    EXPECT_EQ(recordsOf(r), (std::vector<Record>{{"d", "rip"}}));
    DravolinClient_ResponseFree(r);
    ASSERT_EQ(DravolinClient_SendRequest(handle, 7, "after", &r, nullptr, nullptr), 0);
    EXPECT_EQ(recordsOf(r), (std::vector<Record>{{"echo", "get after"}}));
    DravolinClient_ResponseFree(r);
}

TEST_F(ApiTest, CommandsThatCannotBeBuiltSendNothingAndKeepTheConnection) {
    LoopbackPeer peer(testpeer::scripted(standardAnswer));
    const uint32_t handle = connect(peer);
    const std::string huge(5000, 'h');
    Response* r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 6, huge.c_str(), &r, nullptr, nullptr), 1);
    DravolinClient_ResponseFree(r);
    for (unsigned code : {1u, 2u, 3u}) {
        r = nullptr;
        EXPECT_EQ(DravolinClient_SendRequest(handle, code, nullptr, &r, nullptr, nullptr), 1);
        DravolinClient_ResponseFree(r);
    }
    uint32_t id = 0;
    ASSERT_EQ(DravolinClient_SendRequest(handle, 11, huge.c_str(), &r, &id, Completions::callback),
              0);
    ASSERT_TRUE(Completions::instance().waitFor(1));
    EXPECT_EQ(Completions::instance().all()[0].failed, 1);
    DravolinClient_ResponseFree(r);
    r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 7, "ok", &r, nullptr, nullptr), 0);
    DravolinClient_ResponseFree(r);
    EXPECT_EQ(peer.lines(), std::vector<std::string>{"get ok"});
}

TEST_F(ApiTest, GetLogWritesTheFileOrFailsSafely) {
    std::string name = "getlog-test.log";
    LoopbackPeer peer([&](PeerLink& link) {
        link.send(testpeer::kGreeting);
        while (auto line = link.readLine()) {
            if (*line == "getlog") {
                link.send(reply(103, {{"LogFilename", name}}, "l1\r\n\rl2\n\r\n"));
            } else {
                link.send(reply(200));
            }
        }
    });
    const uint32_t handle = connect(peer);
    std::remove("getlog-test.log");
    ASSERT_EQ(DravolinClient_SetServiceLogDirectory(handle, ""), 0);
    Response* r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 8, nullptr, &r, nullptr, nullptr), 0)
        << "a completed log transfer succeeds whatever its status line said";
    EXPECT_EQ(recordsOf(r), (std::vector<Record>{{"LogFilename", "getlog-test.log"},
                                                 {"filename", "getlog-test.log"}}));
    DravolinClient_ResponseFree(r);
    EXPECT_EQ(readFile("getlog-test.log"), "l1\r\n\rl2\n\r\n");
    std::remove("getlog-test.log");

    // A directory without its separator gets one; the file lands inside it.
    std::filesystem::create_directory("getlog-dir");
    ASSERT_EQ(DravolinClient_SetServiceLogDirectory(handle, "getlog-dir"), 0);
    r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 8, nullptr, &r, nullptr, nullptr), 0);
    DravolinClient_ResponseFree(r);
    EXPECT_EQ(readFile("getlog-dir/getlog-test.log"), "l1\r\n\rl2\n\r\n");
    std::filesystem::remove_all("getlog-dir");

    // A directory that does not exist: the body is read, the transfer fails, the connection
    // stays in step.
    ASSERT_EQ(DravolinClient_SetServiceLogDirectory(handle, "no-such-directory-here"), 0);
    r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 8, nullptr, &r, nullptr, nullptr), 1);
    DravolinClient_ResponseFree(r);
    r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 7, "x", &r, nullptr, nullptr), 0);
    DravolinClient_ResponseFree(r);

    // A name that leaves the directory is refused like a missing one: the connection closes.
    name = "../escape.log";
    ASSERT_EQ(DravolinClient_SetServiceLogDirectory(handle, ""), 0);
    r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 8, nullptr, &r, nullptr, nullptr), 1);
    DravolinClient_ResponseFree(r);
    EXPECT_NE(readFile("../escape.log"), "l1\r\n\rl2\n\r\n");
    r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 7, "x", &r, nullptr, nullptr), 1);
    DravolinClient_ResponseFree(r);
}

TEST_F(ApiTest, CancelWithdrawsQueuedOperationsOnly) {
    std::promise<void> go;
    auto goFuture = go.get_future().share();
    LoopbackPeer peer([goFuture](PeerLink& link) {
        link.send(testpeer::kGreeting);
        while (auto line = link.readLine()) {
            if (*line == "get slow") {
                goFuture.wait_for(std::chrono::seconds(20));
            }
            link.send(reply(200, {{"echo", *line}}));
        }
    });
    const uint32_t handle = connect(peer);
    uint32_t slow = 0;
    uint32_t queued = 0;
    Response* r1 = nullptr;
    Response* r2 = nullptr;
    ASSERT_EQ(DravolinClient_SendRequest(handle, 7, "slow", &r1, &slow, Completions::callback), 0);
    ASSERT_TRUE(waitUntil([&] { return peer.lines().size() == 1; }));
    ASSERT_EQ(DravolinClient_SendRequest(handle, 7, "queued", &r2, &queued, Completions::callback),
              0);
    EXPECT_EQ(DravolinClient_CancelRequest(slow), 0);   // being served: no effect
    EXPECT_EQ(DravolinClient_CancelRequest(queued), 0); // withdrawn
    go.set_value();
    ASSERT_TRUE(Completions::instance().waitFor(1));
    Response* r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 7, "after", &r, nullptr, nullptr), 0);
    DravolinClient_ResponseFree(r);
    EXPECT_EQ(Completions::instance().countFor(slow), 1u);
    EXPECT_EQ(Completions::instance().countFor(queued), 0u);
    EXPECT_EQ(peer.lines(), (std::vector<std::string>{"get slow", "get after"}));
    DravolinClient_ResponseFree(r1);
    DravolinClient_ResponseFree(r2);
}

TEST_F(ApiTest, SeveralConnectionsFromSeveralThreads) {
    LoopbackPeer peer(testpeer::scripted(standardAnswer));
    constexpr int kThreads = 4;
    constexpr int kRequests = 25;
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            uint32_t handle = 0;
            if (DravolinClient_Connect("127.0.0.1", peer.servicePort(), &handle, nullptr,
                                       nullptr) != 0) {
                return;
            }
            for (int i = 0; i < kRequests; ++i) {
                const std::string arg = "t" + std::to_string(t) + "-" + std::to_string(i);
                Response* r = nullptr;
                if (DravolinClient_SendRequest(handle, 7, arg.c_str(), &r, nullptr, nullptr) == 0 &&
                    recordsOf(r) == std::vector<Record>{{"echo", "get " + arg}}) {
                    ++good;
                }
                DravolinClient_ResponseFree(r);
            }
            DravolinClient_Disconnect(handle, nullptr, nullptr);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(good.load(), kThreads * kRequests);
    EXPECT_EQ(peer.connections(), kThreads);
}

TEST_F(ApiTest, FreeCompletesOutstandingOperationsAsFailed) {
    LoopbackPeer peer([](PeerLink& link) {
        link.send(testpeer::kGreeting);
        link.readLine();
        link.waitForEnd(); // never answers
    });
    const uint32_t handle = connect(peer);
    auto waiter = std::async(std::launch::async, [&] {
        Response* r = nullptr;
        const int result = DravolinClient_SendRequest(handle, 7, "never", &r, nullptr, nullptr);
        DravolinClient_ResponseFree(r);
        return result;
    });
    ASSERT_TRUE(waitUntil([&] { return peer.lines().size() == 1; }));
    uint32_t id1 = 0;
    uint32_t id2 = 0;
    Response* r1 = nullptr;
    Response* r2 = nullptr;
    ASSERT_EQ(DravolinClient_SendRequest(handle, 7, "a", &r1, &id1, Completions::callback), 0);
    ASSERT_EQ(DravolinClient_SendRequest(handle, 7, "b", &r2, &id2, Completions::callback), 0);
    auto freeing = std::async(std::launch::async, [] { DravolinClient_Free(); });
    ASSERT_EQ(freeing.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 1);
    EXPECT_EQ(Completions::instance().countFor(id1), 1u);
    EXPECT_EQ(Completions::instance().countFor(id2), 1u);
    for (const auto& c : Completions::instance().all()) {
        EXPECT_EQ(c.failed, 1);
    }
    DravolinClient_ResponseFree(r1);
    DravolinClient_ResponseFree(r2);
    EXPECT_EQ(DravolinClient_SendRequest(handle, 7, "late", nullptr, nullptr, nullptr), 2);
}

TEST_F(ApiTest, CallbacksMayWaitOnTheirOwnConnectionDisconnectOrFree) {
    LoopbackPeer peer(testpeer::scripted(standardAnswer));
    const uint32_t handle = connect(peer);
    std::atomic<int> innerResult{-1};
    std::atomic<int> disconnectResult{-1};
    std::atomic<bool> freed{false};
    std::atomic<bool> freeReturned{false};
    Completions::instance().setHook([&](const Completion& c) {
        if (innerResult == -1) {
            // A synchronous request on the same connection from inside its callback.
            Response* r = nullptr;
            innerResult = DravolinClient_SendRequest(handle, 7, "inner", &r, nullptr, nullptr);
            DravolinClient_ResponseFree(r);
            disconnectResult = DravolinClient_Disconnect(handle, nullptr, nullptr);
        } else if (!freed && c.failed == 0) {
            freed = true;
            DravolinClient_Free();
            freeReturned = true;
        }
    });
    uint32_t id = 0;
    Response* r = nullptr;
    ASSERT_EQ(DravolinClient_SendRequest(handle, 7, "outer", &r, &id, Completions::callback), 0);
    ASSERT_TRUE(Completions::instance().waitFor(1));
    ASSERT_TRUE(waitUntil([&] { return disconnectResult != -1; }));
    EXPECT_EQ(innerResult.load(), 0);
    EXPECT_EQ(disconnectResult.load(), 0);
    DravolinClient_ResponseFree(r);

    // Free from inside a callback, with another operation still queued.
    const uint32_t second = connect(peer);
    Response* a = nullptr;
    Response* b = nullptr;
    uint32_t ida = 0;
    uint32_t idb = 0;
    ASSERT_EQ(DravolinClient_SendRequest(second, 7, "one", &a, &ida, Completions::callback), 0);
    ASSERT_EQ(DravolinClient_SendRequest(second, 7, "two", &b, &idb, Completions::callback), 0);
    ASSERT_TRUE(waitUntil([&] { return Completions::instance().countFor(idb) == 1; }));
    EXPECT_TRUE(freed.load());
    // The worker that ran Free cannot be joined by it; it ends once this callback returns.
    ASSERT_TRUE(waitUntil([&] { return freeReturned.load(); }));
    EXPECT_EQ(Completions::instance().countFor(ida), 1u);
    EXPECT_EQ(DravolinClient_SendRequest(second, 0, nullptr, nullptr, nullptr, nullptr), 2);
    DravolinClient_ResponseFree(a);
    DravolinClient_ResponseFree(b);
}

TEST_F(ApiTest, ASynchronousCallInsideACallbackReturnsAfterTheEarlierCompletions) {
    LoopbackPeer peer(testpeer::scripted(standardAnswer));
    const uint32_t handle = connect(peer);
    std::mutex lock;
    std::vector<std::string> events;
    uint32_t ids[3] = {};
    Completions::instance().setHook([&](const Completion& c) {
        {
            std::lock_guard guard(lock);
            events.push_back("callback " + std::to_string(c.id));
        }
        if (c.id == ids[0]) {
            const int inner =
                DravolinClient_SendRequest(handle, 7, "inner", nullptr, nullptr, nullptr);
            std::lock_guard guard(lock);
            events.push_back("inner returned " + std::to_string(inner));
        }
    });
    Response* r[3] = {};
    {
        // The three go out before the first completes, so their outcomes arrive together.
        std::lock_guard guard(lock);
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(
                DravolinClient_SendRequest(handle, 7, "x", &r[i], &ids[i], Completions::callback),
                0);
        }
    }
    ASSERT_TRUE(Completions::instance().waitFor(3));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard guard(lock);
        return events.size() == 4;
    }));
    const std::vector<std::string> expected{
        "callback " + std::to_string(ids[0]), "callback " + std::to_string(ids[1]),
        "callback " + std::to_string(ids[2]), "inner returned 0"};
    EXPECT_EQ(events, expected);
    for (Response* each : r) {
        DravolinClient_ResponseFree(each);
    }
}

TEST_F(ApiTest, LogLandsNextToTheProgramByDefault) {
    LoopbackPeer peer([](PeerLink& link) {
        link.send(testpeer::kGreeting);
        while (auto line = link.readLine()) {
            link.send(reply(200, {{"LogFilename", "default-dir.log"}}, "text\r\n"));
        }
    });
    const uint32_t handle = connect(peer);
    Response* r = nullptr;
    EXPECT_EQ(DravolinClient_SendRequest(handle, 8, nullptr, &r, nullptr, nullptr), 0);
    DravolinClient_ResponseFree(r);
    const std::string path = std::string(DRAVOLIN_TEST_PROGRAM_DIR) + "/default-dir.log";
    EXPECT_EQ(readFile(path), "text\r\n");
    std::remove(path.c_str());
}
