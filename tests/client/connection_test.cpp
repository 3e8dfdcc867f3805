// The connection object on its own: worker life cycle and error objects.
#include "client.h"
#include "connection.h"
#include "loopback_peer.h"
#include "response.h"
#include "socket.h"
#include "system_error.h"
#include "thread_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <new>
#include <thread>
#include <vector>

using namespace dravolin;
using testpeer::LoopbackPeer;
using testpeer::PeerLink;

namespace {

// Collects deliveries; lets a test wait for one with a hang guard.
class Recorder : public DeliveryTarget {
  public:
    void deliver(Completion& c) override {
        std::lock_guard guard(lock_);
        delivered_.push_back(
            {c.requestId, c.outcome.status, c.records.size(), c.outcome.failure.reason});
        cv_.notify_all();
    }
    struct Entry {
        std::uint32_t id;
        int status;
        std::size_t records;
        int reason;
    };
    bool waitFor(std::size_t count) {
        std::unique_lock guard(lock_);
        return cv_.wait_for(guard, std::chrono::seconds(20),
                            [&] { return delivered_.size() >= count; });
    }
    std::vector<Entry> entries() {
        std::lock_guard guard(lock_);
        return delivered_;
    }

  private:
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<Entry> delivered_;
};

struct SocketLayer {
    SocketLayer() { net::startup(); }
    ~SocketLayer() { net::cleanup(); }
};

// These tests use connections without the client object, so they end the way the library's
// Free does: every worker that ended its own connection is joined before the program exits.
class JoinWorkersAtExit : public ::testing::Environment {
  public:
    void TearDown() override { threads::joinEnded(std::chrono::milliseconds(5000)); }
};
const auto* const joinWorkersAtExit = ::testing::AddGlobalTestEnvironment(new JoinWorkersAtExit);

} // namespace

TEST(ConnectionLifecycle, DestroyingWhileTheWorkerWaitsInReceiveReturns) {
    SocketLayer sockets;
    std::promise<void> release;
    auto released = release.get_future();
    // The peer greets, then never answers.
    LoopbackPeer peer([&](PeerLink& link) {
        link.send(testpeer::kGreeting);
        link.waitForEnd(std::chrono::milliseconds(20000));
    });
    auto recorder = std::make_shared<Recorder>();
    auto connection = Connection::create(recorder);
    ASSERT_TRUE(connection);
    connection->setEndpoint("127.0.0.1", peer.servicePort());
    connection->startConnect(1);
    ASSERT_TRUE(recorder->waitFor(1));
    EXPECT_EQ(recorder->entries()[0].status, 200);
    connection->startCommand(2, 4, nullptr); // never answered
    ASSERT_TRUE(recorder->waitFor(1));
    // stop() wakes the receive by shutting the socket down and joins the worker.
    auto done = std::async(std::launch::async, [&] { connection->stop(); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    connection.reset();
}

namespace {
void DRAVOLIN_CALL neverCalledBack(std::uint32_t, int, Response*) {
    ADD_FAILURE() << "a connection without a worker called back";
}
} // namespace

// A worker thread that cannot be started (the process is out of threads or address space):
// the connection says why at once, its operations fail (a Disconnect succeeds) without
// waiting for a thread that does not exist, and the next connection gets its worker.
TEST(ConnectionLifecycle, AWorkerThatCannotStartIsToldAtOnceAndNothingWaits) {
    SocketLayer sockets;
    auto client = std::make_shared<Client>();
    os::Thread::failStartsWith = 8;
    auto connection = Connection::create(client);
    os::Thread::failStartsWith = 0;
    ASSERT_TRUE(connection);
    EXPECT_FALSE(connection->hasWorker());
    const Outcome failure = connection->lastFailure();
    EXPECT_EQ(failure.status, 105);
    EXPECT_EQ(failure.failure.reason, DRAVOLIN_REASON_CONNECT_FAILED);
    EXPECT_EQ(failure.failure.text.rfind("no worker thread: ", 0), 0u) << failure.failure.text;
    EXPECT_GT(failure.failure.text.size(), std::string("no worker thread: ").size());

    const auto get = [](Connection& c, std::uint32_t id) { c.startCommand(id, 7, "CtlAuthMode"); };
    std::uint32_t requestId = 0;
    Response asyncResponse;
    EXPECT_EQ(client->submit(connection, get, &asyncResponse, &requestId, neverCalledBack), 1);
    EXPECT_EQ(requestId, 0u);

    auto done = std::async(std::launch::async, [&] {
        Response response;
        const int request = client->submit(connection, get, &response, nullptr, nullptr);
        EXPECT_EQ(response.outcome ? response.outcome->status : 0, 105);
        const int disconnect = client->submit(
            connection, [](Connection& c, std::uint32_t id) { c.startDisconnect(id); }, nullptr,
            nullptr, nullptr);
        return std::make_pair(request, disconnect);
    });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const auto [request, disconnect] = done.get();
    EXPECT_EQ(request, 1);
    EXPECT_EQ(disconnect, 0);

    const auto next = Connection::create(client);
    EXPECT_TRUE(next->hasWorker());
    client->close();
}

namespace {
// Fails its first delivery the way memory running out would.
class FailsFirstDelivery : public Recorder {
  public:
    void deliver(Completion& c) override {
        if (!failed_.exchange(true)) {
            throw std::bad_alloc();
        }
        Recorder::deliver(c);
    }

  private:
    std::atomic<bool> failed_{false};
};
} // namespace

// A failure inside the worker's work does not end the worker: what was queued fails rather
// than wait for ever, and later requests are still served.
TEST(ConnectionLifecycle, AFailureInsideTheWorkFailsTheQueueAndTheWorkerStays) {
    SocketLayer sockets;
    LoopbackPeer peer([](PeerLink& link) {
        link.send(testpeer::kGreeting);
        link.waitForEnd(std::chrono::milliseconds(20000));
    });
    auto recorder = std::make_shared<FailsFirstDelivery>();
    auto connection = Connection::create(recorder);
    connection->setEndpoint("127.0.0.1", peer.servicePort());
    connection->startConnect(7); // its delivery fails
    connection->startCommand(8, 0, nullptr);
    ASSERT_TRUE(recorder->waitFor(1));
    connection->startCommand(9, 0, nullptr);
    ASSERT_TRUE(recorder->waitFor(2));
    const auto entries = recorder->entries();
    EXPECT_EQ(entries[0].id, 8u);
    EXPECT_EQ(entries[0].status, 105);
    EXPECT_EQ(entries[0].reason, DRAVOLIN_REASON_CONNECTION_LOST);
    EXPECT_EQ(entries[1].id, 9u);
    EXPECT_EQ(entries[1].status, 105);
}

TEST(ConnectionLifecycle, RequestsOnAClosedPortFailWithTheSystemsText) {
    SocketLayer sockets;
    std::uint16_t closedPort = 0;
    {
        testpeer::PeerSocket probe;
        closedPort = probe.listenLoopback(); // closed again when probe goes
    }
    auto recorder = std::make_shared<Recorder>();
    auto connection = Connection::create(recorder);
    connection->setEndpoint("127.0.0.1", closedPort - 1);
    connection->startConnect(7);
    connection->startCommand(8, 0, nullptr);
    ASSERT_TRUE(recorder->waitFor(2));
    const auto entries = recorder->entries();
    EXPECT_EQ(entries[0].id, 7u);
    EXPECT_EQ(entries[0].status, 105);
    EXPECT_EQ(entries[1].id, 8u);
    EXPECT_EQ(entries[1].status, 105);
}

TEST(ErrorText, SystemMessagesAreNormalised) {
    EXPECT_EQ(formatSystemMessage(std::nullopt), "An unknown system error occurred.\n");
    EXPECT_EQ(formatSystemMessage(std::string("Refused")), "Refused\n");
    EXPECT_EQ(formatSystemMessage(std::string("Refused\n")), "Refused\n");
    EXPECT_EQ(formatSystemMessage(std::string("a\n\rb\n\r\r\n\r")), "a\nb\n\n");
    EXPECT_EQ(formatSystemMessage(std::string("")), "\n");
}

TEST(ErrorObjects, ASystemErrorTextIsOneLine) {
    EXPECT_EQ(systemErrorText(0xDEADBEEFu), "An unknown system error occurred.");
    const std::string refused = systemErrorText(10061); // refused on Windows; some errno else
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(refused.find('\n'), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// Time limits of the socket layer and the connection.

namespace {

// A listener whose accept queue is full: further connect attempts get no answer, as from a
// host that drops them. Fills the queue until an attempt stalls; false when none does.
struct FullListener {
    testpeer::PeerSocket listener;
    std::vector<std::unique_ptr<net::Socket>> queued;
    std::uint16_t port = 0;

    bool fill() {
        port = listener.listenLoopback(0);
        if (port == 0) {
            return false;
        }
        for (int i = 0; i < 64; ++i) {
            auto attempt = std::make_unique<net::Socket>();
            const bool stalled = attempt->open("127.0.0.1", port, 500) == net::timedOutError();
            queued.push_back(std::move(attempt));
            if (stalled) {
                queued.pop_back();
                return true;
            }
        }
        return false;
    }
};

std::chrono::milliseconds since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

// Generous: these bounds only tell "gave up" from "hangs", never measure speed.
constexpr std::chrono::milliseconds kPrompt{5000};

} // namespace

TEST(SocketTimeouts, ASilentPeerMakesATimedReceiveTimeOut) {
    SocketLayer sockets;
    LoopbackPeer peer([](PeerLink& link) { link.waitForEnd(std::chrono::milliseconds(20000)); });
    net::Socket socket;
    ASSERT_EQ(socket.open("127.0.0.1", static_cast<std::uint16_t>(peer.servicePort() + 1), 5000),
              0);
    char buffer[16];
    int error = 0;
    EXPECT_EQ(socket.receive(buffer, sizeof buffer, error, 200), -1);
    EXPECT_EQ(error, net::timedOutError());
}

TEST(SocketTimeouts, InterruptEndsATimedReceiveAndATimedConnect) {
    SocketLayer sockets;
    LoopbackPeer peer([](PeerLink& link) { link.waitForEnd(std::chrono::milliseconds(20000)); });
    {
        net::Socket socket;
        ASSERT_EQ(
            socket.open("127.0.0.1", static_cast<std::uint16_t>(peer.servicePort() + 1), 5000), 0);
        auto interrupter = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            socket.interrupt();
        });
        const auto start = std::chrono::steady_clock::now();
        char buffer[16];
        int error = 0;
        EXPECT_LE(socket.receive(buffer, sizeof buffer, error, 60000), 0);
        EXPECT_LT(since(start), kPrompt);
    }
    FullListener full;
    if (!full.fill()) {
        GTEST_SKIP() << "connect attempts to a full accept queue are answered here";
    }
    net::Socket socket;
    auto interrupter = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        socket.interrupt();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(socket.open("127.0.0.1", full.port, 60000), 0); // the connect did not succeed
    EXPECT_LT(since(start), kPrompt);
    const char byte = 0;
    int error = 0;
    EXPECT_EQ(socket.send(&byte, 0, error), -1); // nor is there a socket to send on
}

TEST(SocketTimeouts, AConnectToAFullAcceptQueueTimesOut) {
    SocketLayer sockets;
    FullListener full;
    ASSERT_TRUE(full.fill()) << "a listener with a full accept queue answered every attempt";
    net::Socket socket;
    const auto start = std::chrono::steady_clock::now();
    // Told by the connect itself, at once.
    ASSERT_EQ(socket.open("127.0.0.1", full.port, 300), net::timedOutError());
    EXPECT_LT(since(start), kPrompt);
    char byte = 0;
    int error = 0;
    EXPECT_EQ(socket.receive(&byte, 1, error), -1);
}

TEST(ConnectionTimeouts, TheConnectLimitCoversAGreetingThatNeverComes) {
    SocketLayer sockets;
    LoopbackPeer peer([](PeerLink& link) { link.waitForEnd(std::chrono::milliseconds(20000)); });
    auto recorder = std::make_shared<Recorder>();
    auto connection = Connection::create(recorder);
    connection->setEndpoint("127.0.0.1", peer.servicePort());
    connection->setTimeouts(300, 0);
    connection->startConnect(1);
    ASSERT_TRUE(recorder->waitFor(1));
    EXPECT_EQ(recorder->entries()[0].status, 105);
    EXPECT_EQ(recorder->entries()[0].reason, DRAVOLIN_REASON_TIMED_OUT);
}

TEST(ConnectionTimeouts, AnIdleReplyTimesOutAndTheQueueFailsAsAfterALostConnection) {
    SocketLayer sockets;
    LoopbackPeer peer([](PeerLink& link) {
        link.send(testpeer::kGreeting);
        link.waitForEnd(std::chrono::milliseconds(20000));
    });
    auto recorder = std::make_shared<Recorder>();
    auto connection = Connection::create(recorder);
    connection->setEndpoint("127.0.0.1", peer.servicePort());
    connection->setTimeouts(5000, 300);
    connection->startConnect(1);
    connection->startCommand(2, 4, nullptr); // never answered
    connection->startCommand(3, 0, nullptr); // queued behind it
    ASSERT_TRUE(recorder->waitFor(3));
    const auto entries = recorder->entries();
    EXPECT_EQ(entries[0].status, 200);
    EXPECT_EQ(entries[1].status, 105);
    EXPECT_EQ(entries[1].reason, DRAVOLIN_REASON_TIMED_OUT);
    EXPECT_EQ(entries[2].status, 105);
    EXPECT_EQ(entries[2].reason, DRAVOLIN_REASON_CONNECTION_LOST);
}

TEST(ConnectionTimeouts, AReplyThatKeepsArrivingNeverTripsTheIdleLimit) {
    SocketLayer sockets;
    LoopbackPeer dripping([](PeerLink& link) {
        link.send(testpeer::kGreeting);
        if (!link.readLine()) {
            return;
        }
        const std::string text = testpeer::reply(200, {{"Count", "1"}});
        // Each byte well inside the limit, the whole reply far beyond it.
        for (char c : text) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            link.send(std::string_view(&c, 1));
        }
        link.waitForEnd();
    });
    auto recorder = std::make_shared<Recorder>();
    auto connection = Connection::create(recorder);
    connection->setEndpoint("127.0.0.1", dripping.servicePort());
    connection->setTimeouts(5000, 400);
    connection->startConnect(1);
    connection->startCommand(2, 4, nullptr);
    ASSERT_TRUE(recorder->waitFor(2));
    EXPECT_EQ(recorder->entries()[1].status, 200);
    EXPECT_EQ(recorder->entries()[1].records, 1u);
}
