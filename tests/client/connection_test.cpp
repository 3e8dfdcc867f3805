// The connection object on its own: worker life cycle and error objects.
#include "client.h"
#include "connection.h"
#include "errors.h"
#include "loopback_peer.h"
#include "socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using namespace dravolin;
using testpeer::LoopbackPeer;
using testpeer::PeerLink;

namespace {

// Collects deliveries; lets a test wait for one with a hang guard.
class Recorder : public DeliveryTarget {
  public:
    void deliver(std::uint32_t id, int status, protocol::RecordList& records) override {
        std::lock_guard guard(lock_);
        delivered_.push_back({id, status, records.size()});
        cv_.notify_all();
    }
    struct Entry {
        std::uint32_t id;
        int status;
        std::size_t records;
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
    void TearDown() override { Connection::joinEndedWorkers(std::chrono::milliseconds(5000)); }
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
    EXPECT_EQ(connection->state(), ConnectionState::Disconnected);
}

TEST(ErrorObjects, SystemErrorTextChainsInnerErrors) {
    const CSysError unknown(0xDEADBEEFu);
    EXPECT_EQ(unknown.text(true), "An unknown system error occurred.\n");
    const std::uint32_t refused = 10061; // connection refused on Windows; some errno elsewhere
    CSysError outer(refused, std::make_unique<CSysError>(0xDEADBEEFu));
    const std::string withInner = outer.text(true);
    const std::string alone = outer.text(false);
    ASSERT_FALSE(alone.empty());
    EXPECT_EQ(alone.back(), '\n');
    EXPECT_EQ(withInner, alone == "An unknown system error occurred.\n"
                             ? alone
                             : alone + "An unknown system error occurred.\n");
    EXPECT_EQ(alone.find("\n\r"), std::string::npos);
    const CError base;
    EXPECT_EQ(base.text(true), "");
}
