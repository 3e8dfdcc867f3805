// The extension of the interface: time-outs, status texts and the client's failure reasons.
#include "api_support.h"

#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>

using apitest::ApiTest;
using apitest::Completions;
using apitest::waitUntil;
using testpeer::LoopbackPeer;
using testpeer::PeerLink;
using testpeer::reply;

namespace {

// Generous: only tells "gave up" from "hangs", never measures speed.
constexpr auto kPrompt = std::chrono::milliseconds(10000);

struct ResponseFree {
    void operator()(Response* r) const { DravolinClient_ResponseFree(r); }
};
using ResponsePtr = std::unique_ptr<Response, ResponseFree>;

struct Outcome {
    int result = -1;
    int status = -1;
    std::string text;
    int reason = -1;
    std::string reasonText;
};

Outcome send(uint32_t handle, unsigned code, const char* argument) {
    Response* raw = nullptr;
    Outcome o;
    o.result = DravolinClient_SendRequest(handle, code, argument, &raw, nullptr, nullptr);
    ResponsePtr r(raw);
    char text[DRAVOLIN_MAX_LINE + 1];
    EXPECT_EQ(DravolinClient_ResponseGetStatus(r.get(), &o.status, text, sizeof text), 0);
    o.text = text;
    EXPECT_EQ(DravolinClient_ResponseGetReason(r.get(), &o.reason, text, sizeof text), 0);
    o.reasonText = text;
    return o;
}

Outcome lastFailure(uint32_t handle) {
    Outcome o;
    char text[DRAVOLIN_MAX_REASON];
    o.result = DravolinClient_GetLastFailure(handle, &o.status, &o.reason, text, sizeof text);
    o.text = text;
    return o;
}

std::chrono::milliseconds since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

// Greets, then answers each line from a table (the reply for the command word), else 200.
LoopbackPeer::Handler answering(std::vector<std::pair<std::string, std::string>> table) {
    return [table](PeerLink& link) {
        link.send(testpeer::kGreeting);
        while (auto line = link.readLine()) {
            std::string answer = reply(200);
            for (const auto& [prefix, text] : table) {
                if (line->rfind(prefix, 0) == 0) {
                    answer = text;
                }
            }
            if (answer == "silent") {
                link.waitForEnd(std::chrono::milliseconds(20000));
                return;
            }
            link.send(answer);
        }
    };
}

} // namespace

TEST(ApiExtensionWithoutInit, NewFunctionsFollowTheResultCodes) {
    uint32_t handle = 0;
    EXPECT_EQ(DravolinClient_ConnectWithTimeouts("127.0.0.1", 1, 10, 10, &handle, nullptr, nullptr),
              2);
    EXPECT_EQ(DravolinClient_SetReplyTimeout(1, 10), 2);
    EXPECT_EQ(DravolinClient_GetLastFailure(1, nullptr, nullptr, nullptr, 0), 2);
    // A Response that no operation completed has no status; null is handled.
    Response* r = DravolinClient_ResponseInit(nullptr);
    int status = 7;
    char text[4] = "xyz";
    EXPECT_EQ(DravolinClient_ResponseGetStatus(r, &status, text, sizeof text), 1);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(text, "");
    int reason = 7;
    EXPECT_EQ(DravolinClient_ResponseGetReason(r, &reason, nullptr, 0), 1);
    EXPECT_EQ(reason, DRAVOLIN_REASON_NONE);
    EXPECT_EQ(DravolinClient_ResponseGetStatus(nullptr, nullptr, nullptr, 0), 1);
    DravolinClient_ResponseFree(r);
}

TEST_F(ApiTest, ExtensionRefusesUnknownHandlesAndNegativeLimits) {
    EXPECT_EQ(DravolinClient_SetReplyTimeout(12345, 10), 3);
    EXPECT_EQ(DravolinClient_GetLastFailure(12345, nullptr, nullptr, nullptr, 0), 3);
    uint32_t handle = 99;
    EXPECT_EQ(DravolinClient_ConnectWithTimeouts("127.0.0.1", 1, -1, 0, &handle, nullptr, nullptr),
              1);
    EXPECT_EQ(DravolinClient_ConnectWithTimeouts("127.0.0.1", 1, 0, -5, &handle, nullptr, nullptr),
              1);
    EXPECT_EQ(handle, 99u) << "nothing is done for a refused limit";
    LoopbackPeer peer(answering({}));
    handle = connect(peer);
    EXPECT_EQ(DravolinClient_SetReplyTimeout(handle, -1), 1);
    EXPECT_EQ(DravolinClient_SetReplyTimeout(handle, 0), 0);
    const Outcome none = lastFailure(handle);
    EXPECT_EQ(none.result, 0);
    EXPECT_EQ(none.status, 200);
    EXPECT_EQ(none.reason, DRAVOLIN_REASON_NONE);
    EXPECT_EQ(none.text, "");
}

TEST_F(ApiTest, StatusAndItsTextComeAsTheServerSentThem) {
    LoopbackPeer peer(answering({{"get A", "103 no such parameter 'A'\r\nParameter=A\r\n\r\n\r\n"},
                                 {"get B", "200   all fine  \r\n\r\n\r\n"},
                                 {"get C", "999 odd\r\n\r\n\r\n"}}));
    const uint32_t handle = connect(peer);
    Outcome o = send(handle, 7, "A");
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.status, 103);
    EXPECT_EQ(o.text, "no such parameter 'A'");
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_NONE);
    EXPECT_EQ(o.reasonText, "");
    o = send(handle, 7, "B");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.status, 200);
    EXPECT_EQ(o.text, "all fine");
    o = send(handle, 7, "C");
    EXPECT_EQ(o.status, 105) << "a code outside the set reads as 105";
    EXPECT_EQ(o.text, "odd");
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_NONE);
    const Outcome last = lastFailure(handle);
    EXPECT_EQ(last.status, 105);
    EXPECT_EQ(last.text, "odd");

    // A short buffer gets the text cut, with its NUL.
    Response* raw = nullptr;
    DravolinClient_SendRequest(handle, 7, "A", &raw, nullptr, nullptr);
    char small[5];
    int status = 0;
    EXPECT_EQ(DravolinClient_ResponseGetStatus(raw, &status, small, sizeof small), 0);
    EXPECT_STREQ(small, "no s");
    DravolinClient_ResponseFree(raw);
}

TEST_F(ApiTest, ConnectTimeOutCoversAServerThatAcceptsAndNeverGreets) {
    LoopbackPeer peer([](PeerLink& link) { link.waitForEnd(std::chrono::milliseconds(20000)); });
    uint32_t handle = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DravolinClient_ConnectWithTimeouts("127.0.0.1", peer.servicePort(), 300, 0, &handle,
                                                 nullptr, nullptr),
              1);
    EXPECT_LT(since(start), kPrompt);
    ASSERT_NE(handle, 0u) << "a failed Connect with time-outs keeps its handle to ask why";
    const Outcome o = lastFailure(handle);
    EXPECT_EQ(o.status, 105);
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_TIMED_OUT);
    EXPECT_NE(o.text.find("timed out"), std::string::npos) << o.text;
    EXPECT_EQ(DravolinClient_Disconnect(handle, nullptr, nullptr), 0);

    // Asynchronously: the callback reports it, the reason is recorded before.
    uint32_t id = 0;
    ASSERT_EQ(DravolinClient_ConnectWithTimeouts("127.0.0.1", peer.servicePort(), 300, 0, &handle,
                                                 &id, Completions::callback),
              0);
    ASSERT_TRUE(Completions::instance().waitFor(1));
    EXPECT_EQ(Completions::instance().all()[0].failed, 1);
    EXPECT_EQ(lastFailure(handle).reason, DRAVOLIN_REASON_TIMED_OUT);
}

TEST_F(ApiTest, ConnectReasonsRefusedAndTheOriginalConnectUnchanged) {
    std::uint16_t closedPort = 0;
    {
        testpeer::PeerSocket probe;
        closedPort = probe.listenLoopback();
    }
    uint32_t handle = 0;
    EXPECT_EQ(DravolinClient_ConnectWithTimeouts("127.0.0.1", closedPort - 1, 5000, 0, &handle,
                                                 nullptr, nullptr),
              1);
    const Outcome o = lastFailure(handle);
    EXPECT_EQ(o.status, 105);
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_CONNECT_FAILED);
    EXPECT_EQ(o.text.rfind("connection refused", 0), 0u) << o.text;
    // The address tried is named.
    EXPECT_NE(o.text.find("127.0.0.1:" + std::to_string(closedPort)), std::string::npos) << o.text;
    // A later command on it fails as not connected.
    const Outcome later = send(handle, 7, "x");
    EXPECT_EQ(later.reason, DRAVOLIN_REASON_CONNECTION_LOST);

    uint32_t untouched = 77;
    EXPECT_EQ(DravolinClient_Connect("127.0.0.1", closedPort - 1, &untouched, nullptr, nullptr), 1);
    EXPECT_EQ(untouched, 77u) << "the original Connect still hands out no handle on failure";
}

TEST_F(ApiTest, ConnectReasonsHostNameNotFound) {
    uint32_t handle = 0;
    EXPECT_EQ(DravolinClient_ConnectWithTimeouts("nosuch.invalid", 3260, 5000, 0, &handle, nullptr,
                                                 nullptr),
              1);
    const Outcome o = lastFailure(handle);
    EXPECT_EQ(o.status, 105);
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_HOST_NOT_FOUND);
    // With the resolver's own text after it.
    EXPECT_EQ(o.text.rfind("host name not found: 'nosuch.invalid': ", 0), 0u) << o.text;
    EXPECT_GT(o.text.size(), std::string("host name not found: 'nosuch.invalid': ").size());
}

TEST_F(ApiTest, ACancelledWaitIsTheConnectionsLastFailure) {
    LoopbackPeer peer(answering({{"get a", "silent"}}));
    uint32_t handle = 0;
    ASSERT_EQ(DravolinClient_Connect("127.0.0.1", peer.servicePort(), &handle, nullptr, nullptr),
              0);
    uint32_t first = 0;
    Response* r1 = nullptr;
    ASSERT_EQ(
        DravolinClient_SendRequest(handle, 7, "a", &r1, &first, apitest::Completions::callback), 0);
    ASSERT_TRUE(waitUntil([&] { return peer.lines().size() == 1; }));
    // A synchronous waiter queued behind it, withdrawn by its request id from here.
    auto waiter = std::async(std::launch::async, [&] {
        Response* r = nullptr;
        const int result = DravolinClient_SendRequest(handle, 7, "b", &r, nullptr, nullptr);
        DravolinClient_ResponseFree(r);
        return result;
    });
    // Request ids are handed out in order: the waiter's is the next one.
    ASSERT_TRUE(waitUntil([&] {
        DravolinClient_CancelRequest(first + 1);
        return waiter.wait_for(std::chrono::milliseconds(10)) == std::future_status::ready;
    }));
    EXPECT_EQ(waiter.get(), 1);
    const Outcome o = lastFailure(handle);
    EXPECT_EQ(o.status, 105);
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_ENDED);
    EXPECT_EQ(o.text, "cancelled while waiting");
    DravolinClient_Free();
    DravolinClient_ResponseFree(r1);
}

TEST_F(ApiTest, ReplyTimeOutFailsTheRequestThenTheQueueAsAfterALostConnection) {
    LoopbackPeer peer(answering({{"get slow", "silent"}}));
    uint32_t handle = 0;
    ASSERT_EQ(DravolinClient_ConnectWithTimeouts("127.0.0.1", peer.servicePort(), 5000, 300,
                                                 &handle, nullptr, nullptr),
              0);
    EXPECT_EQ(send(handle, 7, "fast").result, 0);
    // Queued behind the one that hangs.
    Response* queued = nullptr;
    uint32_t queuedId = 0;
    const auto start = std::chrono::steady_clock::now();
    Response* slowRaw = nullptr;
    uint32_t slowId = 0;
    ASSERT_EQ(
        DravolinClient_SendRequest(handle, 7, "slow", &slowRaw, &slowId, Completions::callback), 0);
    ASSERT_EQ(
        DravolinClient_SendRequest(handle, 7, "after", &queued, &queuedId, Completions::callback),
        0);
    ResponsePtr slow(slowRaw), after(queued);
    ASSERT_TRUE(Completions::instance().waitFor(2));
    EXPECT_LT(since(start), kPrompt);
    int reason = -1;
    char text[DRAVOLIN_MAX_REASON];
    DravolinClient_ResponseGetReason(slow.get(), &reason, text, sizeof text);
    EXPECT_EQ(reason, DRAVOLIN_REASON_TIMED_OUT);
    EXPECT_NE(std::string(text).find("300 ms"), std::string::npos) << text;
    DravolinClient_ResponseGetReason(after.get(), &reason, text, sizeof text);
    EXPECT_EQ(reason, DRAVOLIN_REASON_CONNECTION_LOST);
    int status = 0;
    DravolinClient_ResponseGetStatus(after.get(), &status, nullptr, 0);
    EXPECT_EQ(status, 105);
}

TEST_F(ApiTest, ReplyTimeOutCanBeSetLaterAndOff) {
    LoopbackPeer peer(answering({{"get slow", "silent"}}));
    const uint32_t handle = connect(peer); // the original Connect: no limits
    ASSERT_EQ(DravolinClient_SetReplyTimeout(handle, 300), 0);
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = send(handle, 7, "slow");
    EXPECT_LT(since(start), kPrompt);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_TIMED_OUT);
}

static void DRAVOLIN_CALL ignoreLine(uint32_t, int, const char*, void*) {}

// Keep-alive and trace settings: what is refused, and a connection that works with each.
TEST_F(ApiTest, KeepAliveAndTraceSettingsAreCheckedAndTakeEffect) {
    struct Row {
        int idle, interval, count, result;
    };
    for (const Row row : {Row{0, 0, 0, 0}, Row{1000, 1000, 2, 0}, Row{60000, 10000, 6, 0},
                          Row{-1, 1000, 2, 1}, Row{1000, -1, 2, 1}, Row{1000, 1000, -1, 1},
                          Row{1000, 0, 2, 1}, Row{1000, 1000, 0, 1}, Row{0, 5, 5, 0}}) {
        EXPECT_EQ(DravolinClient_SetKeepAlive(0, row.idle, row.interval, row.count), row.result)
            << row.idle << " " << row.interval << " " << row.count;
    }
    EXPECT_EQ(DravolinClient_SetKeepAlive(12345, 1000, 1000, 2), DRAVOLIN_UNKNOWN_HANDLE);
    EXPECT_EQ(DravolinClient_SetTrace(12345, ignoreLine, nullptr), DRAVOLIN_UNKNOWN_HANDLE);

    LoopbackPeer peer(answering({{"get a", "200 ok\r\nParameter=a\r\n\r\n\r\n"}}));
    ASSERT_EQ(DravolinClient_SetKeepAlive(0, 1000, 1000, 2), 0); // the default of new ones
    const uint32_t handle = connect(peer);
    EXPECT_EQ(send(handle, 7, "a").result, 0);
    // Changed and turned off on the open connection; a trace set and ended.
    EXPECT_EQ(DravolinClient_SetKeepAlive(handle, 2000, 500, 3), 0);
    EXPECT_EQ(DravolinClient_SetTrace(handle, ignoreLine, nullptr), 0);
    EXPECT_EQ(send(handle, 7, "a").result, 0);
    EXPECT_EQ(DravolinClient_SetKeepAlive(handle, 0, 0, 0), 0);
    EXPECT_EQ(DravolinClient_SetTrace(handle, nullptr, nullptr), 0);
    EXPECT_EQ(send(handle, 7, "a").result, 0);
    EXPECT_EQ(DravolinClient_Disconnect(handle, nullptr, nullptr), 0);

    DravolinClient_Free();
    EXPECT_EQ(DravolinClient_SetKeepAlive(0, 1000, 1000, 2), DRAVOLIN_NOT_INITIALISED);
    EXPECT_EQ(DravolinClient_SetTrace(0, ignoreLine, nullptr), DRAVOLIN_NOT_INITIALISED);
    ASSERT_EQ(DravolinClient_Init(), DRAVOLIN_OK);
}

TEST_F(ApiTest, FreeAndDisconnectWhileATimeOutIsPendingReturnPromptly) {
    LoopbackPeer peer(answering({{"get slow", "silent"}}));
    for (const bool freeIt : {false, true}) {
        Completions::instance().reset();
        uint32_t handle = 0;
        ASSERT_EQ(DravolinClient_ConnectWithTimeouts("127.0.0.1", peer.servicePort(), 5000,
                                                     freeIt ? 60000 : 300, &handle, nullptr,
                                                     nullptr),
                  0);
        Response* raw = nullptr;
        uint32_t id = 0;
        ASSERT_EQ(DravolinClient_SendRequest(handle, 7, "slow", &raw, &id, Completions::callback),
                  0);
        ResponsePtr r(raw);
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the worker waits now
        const auto start = std::chrono::steady_clock::now();
        if (freeIt) {
            DravolinClient_Free();
            EXPECT_LT(since(start), kPrompt);
            ASSERT_TRUE(Completions::instance().waitFor(1));
            EXPECT_EQ(Completions::instance().all()[0].failed, 1);
            int reason = -1;
            DravolinClient_ResponseGetReason(r.get(), &reason, nullptr, 0);
            EXPECT_EQ(reason, DRAVOLIN_REASON_ENDED);
            ASSERT_EQ(DravolinClient_Init(), DRAVOLIN_OK);
        } else {
            // A synchronous Disconnect waits behind the request in service, at most until its
            // reply time-out closes the connection.
            DravolinClient_Disconnect(handle, nullptr, nullptr);
            EXPECT_LT(since(start), kPrompt);
            ASSERT_TRUE(Completions::instance().waitFor(1));
            int reason = -1;
            DravolinClient_ResponseGetReason(r.get(), &reason, nullptr, 0);
            EXPECT_EQ(reason, DRAVOLIN_REASON_TIMED_OUT);
        }
    }
}

TEST_F(ApiTest, CommandsRefusedLocallyNameTheirReason) {
    LoopbackPeer peer(answering({}));
    const uint32_t handle = connect(peer);
    Outcome o = send(handle, 1, nullptr);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.status, 105);
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_ARGUMENT_MISSING);
    EXPECT_EQ(o.reasonText.rfind("argument missing", 0), 0u) << o.reasonText;
    const std::string huge(5000, 'x');
    o = send(handle, 6, huge.c_str());
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_LINE_TOO_LONG);
    EXPECT_EQ(o.reasonText.rfind("command line too long", 0), 0u) << o.reasonText;
    EXPECT_EQ(send(handle, 7, "x").result, 0) << "nothing was sent: the connection is in step";
    EXPECT_TRUE(peer.lines().size() == 1u);
}

TEST_F(ApiTest, LogTransferReasonsNameTheFileAndTheSystemsText) {
    std::string name = "ext-getlog.log";
    LoopbackPeer peer([&](PeerLink& link) {
        link.send(testpeer::kGreeting);
        while (auto line = link.readLine()) {
            link.send(*line == "getlog" ? reply(200, {{"LogFilename", name}}, "l1\r\n")
                                        : reply(200));
        }
    });
    const uint32_t handle = connect(peer);
    ASSERT_EQ(DravolinClient_SetServiceLogDirectory(handle, "no-such-directory-here"), 0);
    Outcome o = send(handle, 8, nullptr);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.status, 105);
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_LOG_FILE);
    EXPECT_EQ(o.reasonText.rfind("log file not created: no-such-directory-here", 0), 0u)
        << o.reasonText;
    EXPECT_GT(o.reasonText.size(), std::string("log file not created: ").size() + 30)
        << "the system's error text follows: " << o.reasonText;

    name = "../escape.log";
    ASSERT_EQ(DravolinClient_SetServiceLogDirectory(handle, ""), 0);
    o = send(handle, 8, nullptr);
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_LOG_NAME_UNSAFE);
    EXPECT_NE(o.reasonText.find("../escape.log"), std::string::npos) << o.reasonText;
    o = send(handle, 7, "x");
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_CONNECTION_LOST) << "the connection closed after it";
}

TEST_F(ApiTest, LostConnectionsAndRefusedLoginsAreTold) {
    LoopbackPeer peer([](PeerLink& link) {
        link.send(testpeer::kGreeting);
        while (auto line = link.readLine()) {
            if (line->rfind("login", 0) == 0) {
                link.send("102 login refused\r\n\r\n\r\n");
            } else if (*line == "logoff") {
                link.send("101 not logged in\r\n\r\n\r\n");
            } else if (*line == "statistics ") {
                link.send("200 ok\r\nA=1\r\n"); // then closes in the middle
                return;
            } else {
                link.send(reply(200));
            }
        }
    });
    const uint32_t handle = connect(peer);
    LoginParameters lp{DRAVOLIN_LOGIN_PLAIN, "admin", "wrong", nullptr, nullptr, 0};
    EXPECT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 1);
    // The automatic logoff after the refusal (refused too) has run once this completes; its
    // outcome is not the login's.
    EXPECT_EQ(send(handle, 7, "x").result, 0);
    Outcome o = lastFailure(handle);
    EXPECT_EQ(o.status, 102);
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_NONE);
    EXPECT_EQ(o.text, "login refused");
    o = send(handle, 10, "");
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.status, 105);
    EXPECT_EQ(o.reason, DRAVOLIN_REASON_CONNECTION_LOST);
    EXPECT_EQ(o.reasonText, "connection lost: closed by the server");
}
