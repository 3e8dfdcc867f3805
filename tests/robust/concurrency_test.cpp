// Races between caller threads, connection workers and callbacks: callbacks
// that submit new requests or end the library, cancellation racing
// completion, Disconnect and Free while requests are in flight. Each test
// checks exactly-once completion; under ThreadSanitizer they also show any
// data race on these paths.
#include "client_harness.h"
#include "resources.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace {

using namespace dravolin::robust;

class ClientConcurrency : public testing::Test {
  protected:
    void SetUp() override {
        CompletionLog::instance().reset();
        ASSERT_TRUE(server_.started());
        ASSERT_EQ(DravolinClient_Init(), DRAVOLIN_OK);
    }
    void TearDown() override {
        CompletionLog::instance().setHook(nullptr);
        ASSERT_TRUE(FinishesWithin([] { DravolinClient_Free(); }, kHangBound));
        server_.stop();
    }

    std::uint32_t Connect(const LoginParameters& login) {
        std::uint32_t conn = 0;
        EXPECT_EQ(
            DravolinClient_Connect("127.0.0.1", server_.servicePort(), &conn, nullptr, nullptr),
            DRAVOLIN_OK);
        EXPECT_EQ(DravolinClient_Login(conn, &login, nullptr, nullptr), DRAVOLIN_OK);
        return conn;
    }

    LoopbackServer server_;
};

// Shared state of the callback hooks (callbacks carry no context).
struct ChainState {
    std::mutex lock;
    std::set<std::uint32_t> submitted;
    std::vector<Response*> responses;
    std::atomic<int> remaining{0};
    std::uint32_t connection = 0;
};
ChainState gChain;

void SubmitNext(std::uint32_t, int) {
    if (gChain.remaining.fetch_sub(1) <= 0)
        return;
    Response* r = nullptr;
    std::uint32_t id = 0;
    const int rc = DravolinClient_SendRequest(gChain.connection, DRAVOLIN_REQUEST_GET_PARAMETER,
                                              "CtlAuthMode", &r, &id, &CompletionLog::Callback);
    std::lock_guard g(gChain.lock);
    gChain.responses.push_back(r);
    if (rc == DRAVOLIN_OK)
        gChain.submitted.insert(id);
}

TEST_F(ClientConcurrency, CallbacksThatSubmitRequestsKeepEveryCompletion) {
    for (bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        CompletionLog::instance().reset();
        gChain.connection = Connect(encrypted ? ChapLogin(true) : PlainLogin());
        gChain.remaining = 60;
        CompletionLog::instance().setHook(&SubmitNext);
        // Four chains at once on one connection.
        for (int i = 0; i < 4; ++i)
            SubmitNext(0, 0);
        std::set<std::uint32_t> ids;
        for (int round = 0; round < 1000; ++round) {
            {
                std::lock_guard g(gChain.lock);
                ids = gChain.submitted;
            }
            ASSERT_TRUE(CompletionLog::instance().waitFor(ids));
            std::lock_guard g(gChain.lock);
            if (gChain.remaining.load() <= 0 && ids.size() == gChain.submitted.size())
                break;
        }
        CompletionLog::instance().setHook(nullptr);
        EXPECT_EQ(ids.size(), 60u);
        for (auto id : ids) {
            const auto e = CompletionLog::instance().get(id);
            EXPECT_EQ(e.count, 1);
            EXPECT_EQ(e.failed, 0);
        }
        DravolinClient_Disconnect(gChain.connection, nullptr, nullptr);
        for (Response* r : gChain.responses)
            DravolinClient_ResponseFree(r);
        gChain.responses.clear();
        gChain.submitted.clear();
    }
}

TEST_F(ClientConcurrency, CancellationRacingCompletionNeverDoublesOrLoses) {
    const std::uint32_t conn = Connect(PlainLogin());
    constexpr int kThreads = 4, kPerThread = 150;
    std::mutex lock;
    std::vector<std::uint32_t> issued;
    std::set<std::uint32_t> cancelled;
    std::vector<Response*> responses;
    std::atomic<bool> done{false};

    std::thread canceller([&] {
        std::mt19937 rng(7);
        int calls = 0;
        while (!done || calls < 300) {
            std::uint32_t id = 0;
            {
                std::lock_guard g(lock);
                if (issued.empty())
                    continue;
                // Mostly the newest requests: those race with being started.
                const std::size_t window = std::min<std::size_t>(issued.size(), 16);
                id = issued[issued.size() - 1 - rng() % window];
                cancelled.insert(id);
            }
            EXPECT_EQ(DravolinClient_CancelRequest(id), DRAVOLIN_OK);
            ++calls;
        }
    });
    std::vector<std::thread> submitters;
    for (int t = 0; t < kThreads; ++t) {
        submitters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                Response* r = nullptr;
                std::uint32_t id = 0;
                const bool list = (i + t) % 3 == 0;
                const int rc = DravolinClient_SendRequest(
                    conn, list ? DRAVOLIN_REQUEST_LIST_DEVICES : DRAVOLIN_REQUEST_GET_PARAMETER,
                    list ? nullptr : "CtlAuthMode", &r, &id, &CompletionLog::Callback);
                std::lock_guard g(lock);
                responses.push_back(r);
                if (rc == DRAVOLIN_OK)
                    issued.push_back(id);
            }
        });
    }
    for (auto& t : submitters)
        t.join();
    done = true;
    canceller.join();

    // What was not cancelled completes; what was may or may not.
    std::set<std::uint32_t> mustComplete;
    for (auto id : issued)
        if (!cancelled.count(id))
            mustComplete.insert(id);
    ASSERT_TRUE(CompletionLog::instance().waitFor(mustComplete));
    // A request behind all of these one flushes the connection.
    ASSERT_EQ(DravolinClient_SendRequest(conn, DRAVOLIN_REQUEST_GET_PARAMETER, "CtlAuthMode",
                                         nullptr, nullptr, nullptr),
              DRAVOLIN_OK);
    const auto all = CompletionLog::instance().all();
    int withdrawn = 0;
    for (auto id : issued) {
        const auto it = all.find(id);
        if (it == all.end()) {
            EXPECT_TRUE(cancelled.count(id)) << "request " << id << " lost";
            ++withdrawn;
            continue;
        }
        EXPECT_EQ(it->second.count, 1) << "request " << id;
        EXPECT_EQ(it->second.failed, 0) << "request " << id;
    }
    EXPECT_EQ(all.size() + withdrawn, issued.size()) << "deliveries for unknown requests";
    std::printf("%zu submitted, %zu cancel calls, %d withdrawn\n", issued.size(), cancelled.size(),
                withdrawn);
    DravolinClient_Disconnect(conn, nullptr, nullptr);
    for (Response* r : responses)
        DravolinClient_ResponseFree(r);
}

// Free or Disconnect while synchronous callers wait and asynchronous requests
// are queued on several connections: every waiter returns, every accepted
// asynchronous request completes exactly once, nothing is delivered later.
TEST_F(ClientConcurrency, FreeAndDisconnectWhileRequestsAreInFlight) {
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        CompletionLog::instance().reset();
        if (round > 0) {
            ASSERT_EQ(DravolinClient_Init(), DRAVOLIN_OK);
        }
        std::vector<std::uint32_t> conns;
        for (int c = 0; c < 3; ++c)
            conns.push_back(Connect(c == 2 ? ChapLogin(true) : PlainLogin()));

        std::mutex lock;
        std::vector<std::uint32_t> accepted;
        std::vector<Response*> responses;
        std::atomic<bool> stop{false};
        std::vector<std::thread> callers;
        for (int t = 0; t < 4; ++t) {
            callers.emplace_back([&, t] {
                const std::uint32_t conn = conns[t % conns.size()];
                while (!stop) {
                    Response* r = nullptr;
                    std::uint32_t id = 0;
                    const bool async = t % 2 == 1;
                    const int rc = DravolinClient_SendRequest(
                        conn, DRAVOLIN_REQUEST_STATISTICS, "all", &r, async ? &id : nullptr,
                        async ? &CompletionLog::Callback : nullptr);
                    std::lock_guard g(lock);
                    responses.push_back(r);
                    if (async && rc == DRAVOLIN_OK)
                        accepted.push_back(id);
                    if (rc == DRAVOLIN_NOT_INITIALISED || rc == DRAVOLIN_UNKNOWN_HANDLE)
                        break;
                }
            });
        }
        // Let the callers get going, then pull the rug.
        while (CompletionLog::instance().total() < 20)
            std::this_thread::yield();
        if (round % 2 == 0) {
            std::uint32_t discId = 0;
            EXPECT_EQ(DravolinClient_Disconnect(conns[1], &discId, &CompletionLog::Callback),
                      DRAVOLIN_OK);
        }
        ASSERT_TRUE(FinishesWithin([] { DravolinClient_Free(); }, kHangBound));
        stop = true;
        for (auto& t : callers)
            ASSERT_TRUE(FinishesWithin([&t] { t.join(); }, kHangBound))
                << "a caller stayed blocked";
        const std::size_t deliveredAtFree = CompletionLog::instance().total();
        for (auto id : accepted) {
            const auto e = CompletionLog::instance().get(id);
            EXPECT_EQ(e.count, 1) << "request " << id;
        }
        for (auto& [id, e] : CompletionLog::instance().all())
            EXPECT_EQ(e.count, 1) << "request " << id;
        EXPECT_EQ(CompletionLog::instance().total(), deliveredAtFree);
        for (Response* r : responses)
            DravolinClient_ResponseFree(r);
    }
    ASSERT_EQ(DravolinClient_Init(), DRAVOLIN_OK); // for TearDown
}

std::atomic<int> gHookRuns{0};
void FreeFromCallback(std::uint32_t, int) {
    if (gHookRuns.fetch_add(1) == 0)
        DravolinClient_Free();
}
void DisconnectFromCallback(std::uint32_t, int) {
    if (gHookRuns.fetch_add(1) == 0)
        DravolinClient_Disconnect(gChain.connection, nullptr, nullptr);
}

TEST_F(ClientConcurrency, FreeOrDisconnectInsideACallbackDoesNotDeadlock) {
    for (auto hook : {&FreeFromCallback, &DisconnectFromCallback}) {
        CompletionLog::instance().reset();
        ASSERT_EQ(DravolinClient_Init(), DRAVOLIN_OK);
        gHookRuns = 0;
        gChain.connection = Connect(PlainLogin());
        // The first reply drips, so that all requests are queued before it
        // completes and its callback ends the library or the connection.
        Response* control = nullptr;
        ASSERT_EQ(DravolinClient_SendRequest(gChain.connection, DRAVOLIN_REQUEST_CONTROL,
                                             "-fault:\"drip\" -on:\"list\"", &control, nullptr,
                                             nullptr),
                  DRAVOLIN_OK);
        DravolinClient_ResponseFree(control);
        std::vector<std::uint32_t> ids(8);
        std::vector<Response*> responses(8, nullptr);
        CompletionLog::instance().setHook(hook);
        for (std::size_t i = 0; i < ids.size(); ++i)
            ASSERT_EQ(DravolinClient_SendRequest(gChain.connection, DRAVOLIN_REQUEST_LIST_DEVICES,
                                                 nullptr, &responses[i], &ids[i],
                                                 &CompletionLog::Callback),
                      DRAVOLIN_OK);
        // The first completion ends the library or the connection; every
        // request still completes, the later ones as failed.
        ASSERT_TRUE(CompletionLog::instance().waitFor({ids.begin(), ids.end()}));
        ASSERT_TRUE(FinishesWithin([] { DravolinClient_Free(); }, kHangBound));
        for (auto id : ids)
            EXPECT_EQ(CompletionLog::instance().get(id).count, 1);
        EXPECT_EQ(CompletionLog::instance().get(ids[0]).failed, 0);
        CompletionLog::instance().setHook(nullptr);
        for (Response* r : responses)
            DravolinClient_ResponseFree(r);
    }
}

// A waiter whose queued request is cancelled by another thread must not be
// left blocked: it returns failure, and at the latest Free releases it.
TEST_F(ClientConcurrency, CancelledSynchronousRequestReleasesItsWaiter) {
    const std::uint32_t conn = Connect(PlainLogin());
    // Hold the worker on a reply that never comes.
    Response* r = nullptr;
    ASSERT_EQ(DravolinClient_SendRequest(conn, DRAVOLIN_REQUEST_CONTROL,
                                         "-fault:\"mute\" -on:\"get\"", &r, nullptr, nullptr),
              DRAVOLIN_OK);
    DravolinClient_ResponseFree(r);
    std::uint32_t blockerId = 0;
    Response* blocker = nullptr;
    ASSERT_EQ(DravolinClient_SendRequest(conn, DRAVOLIN_REQUEST_GET_PARAMETER, "CtlAuthMode",
                                         &blocker, &blockerId, &CompletionLog::Callback),
              DRAVOLIN_OK);
    ASSERT_TRUE(server_.waitForFaults(1));
    // Identifiers are handed out in order: the waiter's is the next one. Its
    // state lives on the heap, so a waiter that is never released harms no
    // later test.
    struct Waiter {
        std::mutex lock;
        std::condition_variable done;
        int result = -1;
        Response* response = nullptr;
    };
    auto w = std::make_shared<Waiter>();
    std::thread([w, conn] {
        Response* r = nullptr;
        const int rc = DravolinClient_SendRequest(conn, DRAVOLIN_REQUEST_STATISTICS, "all", &r,
                                                  nullptr, nullptr);
        std::lock_guard g(w->lock);
        w->result = rc;
        w->response = r;
        w->done.notify_all();
    }).detach();
    auto finished = [&w] {
        std::lock_guard g(w->lock);
        return w->result != -1;
    };
    // Cancel it once it is queued (cancelling an unknown identifier is harmless).
    for (int i = 0; i < 200 && !finished(); ++i) {
        DravolinClient_CancelRequest(blockerId + 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(FinishesWithin([] { DravolinClient_Free(); }, kHangBound));
    {
        std::unique_lock g(w->lock);
        EXPECT_TRUE(w->done.wait_for(g, kHangBound, [&] { return w->result != -1; }))
            << "the waiter of a cancelled request was never released";
        EXPECT_EQ(w->result, DRAVOLIN_FAILED);
        DravolinClient_ResponseFree(w->response);
    }
    EXPECT_EQ(CompletionLog::instance().get(blockerId).count, 1);
    DravolinClient_ResponseFree(blocker);
    ASSERT_EQ(DravolinClient_Init(), DRAVOLIN_OK); // for TearDown
}

} // namespace

namespace {

// After DravolinClient_Free returns, no thread of the library may still be
// running: a program may unload the library right after it, and a worker
// left running would then execute code that is gone. Connections ended by
// Disconnect before Free count too. The peer is a plain socket served by a
// thread that has ended before the count, so every extra thread is the
// library's.
TEST(ClientShutdown, FreeReturnsOnlyAfterEveryWorkerHasEnded) {
    namespace net = dravolin::testserver::net;
    WarmUp();
    net::NetworkInit network;
    net::Listener listener;
    std::string error;
    ASSERT_TRUE(listener.open("127.0.0.1", 0, error)) << error;
    const ResourceUse baseline = StableResources();
    int lingering = 0;
    for (int round = 0; round < 40; ++round) {
        CompletionLog::instance().reset();
        ASSERT_EQ(DravolinClient_Init(), DRAVOLIN_OK);
        // The peer: greeting, then read until the client's end of stream.
        std::thread peer([&listener] {
            net::Socket s = listener.accept();
            if (!s.valid())
                return;
            s.setReceiveTimeout(static_cast<unsigned>(kHangBound.count()) * 1000);
            const char greeting[] = "200 ready\r\n\r\n\r\n";
            s.sendAll(greeting, sizeof greeting - 1);
            char buffer[256];
            while (s.receive(buffer, sizeof buffer) > 0) {
            }
        });
        std::uint32_t conn = 0, id = 0;
        ASSERT_EQ(DravolinClient_Connect("127.0.0.1", listener.port() - 1, &conn, &id,
                                         &CompletionLog::Callback),
                  DRAVOLIN_OK);
        ASSERT_TRUE(CompletionLog::instance().waitFor({id}));
        ASSERT_EQ(CompletionLog::instance().get(id).failed, 0);
        if (round % 2 == 0) {
            ASSERT_EQ(DravolinClient_Disconnect(conn, &id, &CompletionLog::Callback), DRAVOLIN_OK);
            ASSERT_TRUE(CompletionLog::instance().waitFor({id}));
            ASSERT_TRUE(FinishesWithin([&peer] { peer.join(); }, kHangBound));
            DravolinClient_Free();
        } else {
            DravolinClient_Free();
            ASSERT_TRUE(FinishesWithin([&peer] { peer.join(); }, kHangBound));
        }
        if (MeasureResources().threads > baseline.threads)
            ++lingering;
        SettledResources(baseline);
    }
    EXPECT_EQ(lingering, 0) << "a worker thread was still running after DravolinClient_Free";
}

void DRAVOLIN_CALL CountOnly(std::uint32_t, int, Response*) {}

// An asynchronous request without a place for its Response: the library
// makes one for the callback, and must release it itself afterwards. (The
// leak sanitizer sees a leak directly; the heap count shows it everywhere
// the C library can count its heap.)
TEST(ClientOwnership, ResponsesNobodyAskedForAreReleased) {
    LoopbackServer server;
    ASSERT_TRUE(server.started());
    WarmUp();
    const ResourceUse before = StableResources();
    ASSERT_EQ(DravolinClient_Init(), DRAVOLIN_OK);
    std::uint32_t conn = 0;
    ASSERT_EQ(DravolinClient_Connect("127.0.0.1", server.servicePort(), &conn, nullptr, nullptr),
              DRAVOLIN_OK);
    const LoginParameters login = PlainLogin();
    ASSERT_EQ(DravolinClient_Login(conn, &login, nullptr, nullptr), DRAVOLIN_OK);
    for (int i = 0; i < 300; ++i) {
        std::uint32_t id = 0;
        ASSERT_EQ(DravolinClient_SendRequest(conn, DRAVOLIN_REQUEST_LIST_DEVICES, nullptr, nullptr,
                                             &id, &CountOnly),
                  DRAVOLIN_OK);
    }
    // A synchronous request behind them: all callbacks have run.
    ASSERT_EQ(DravolinClient_SendRequest(conn, DRAVOLIN_REQUEST_GET_PARAMETER, "LogLevel", nullptr,
                                         nullptr, nullptr),
              DRAVOLIN_OK);
    DravolinClient_Disconnect(conn, nullptr, nullptr);
    DravolinClient_Free();
    const ResourceUse after = SettledResources(before);
    if (before.heapBytes > 0) {
        EXPECT_LT(after.heapBytes - before.heapBytes, 16 * 1024)
            << "300 unrequested responses were not released";
    }
}

} // namespace
