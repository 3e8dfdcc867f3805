// Shared pieces of the client robustness tests: an in-process stand-in
// server on a loopback ephemeral port, and a process-wide log of completion
// callbacks (the callback has no context pointer, so the log is global).
#pragma once

#include "DravolinClient.h"
#include "net.h"
#include "server.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace dravolin::robust {

using Records = std::vector<std::pair<std::string, std::string>>;

// Every wait in these tests is bounded by this, so a lost completion or a
// hung worker fails the test instead of hanging it. Generous on purpose:
// it only has to separate "eventually" from "never", also under valgrind.
inline constexpr std::chrono::seconds kHangBound{60};

Records ReadRecords(Response* response);
bool HasRecord(const Records& records, const std::string& name);

class LoopbackServer {
  public:
    // Users: plain "admin"/"secret"; CHAP "chap"/"chapsecret", the server
    // proving itself as "testserver"/"peersecret".
    static testserver::ServerConfig DefaultConfig();

    explicit LoopbackServer(testserver::ServerConfig config = DefaultConfig());
    ~LoopbackServer();

    bool started() const { return started_; }
    // The port to give DravolinClient_Connect (the server listens one above).
    int servicePort() const { return server_->port() - 1; }
    std::uint64_t faultsInjected() { return server_->state().faultsInjected.load(); }
    std::uint64_t activeConnections() { return server_->state().connectionsActive.load(); }
    // Waits (bounded) until at least `count` faults were injected.
    bool waitForFaults(std::uint64_t count);
    void stop();

  private:
    testserver::net::NetworkInit network_; // the socket layer, for as long as the server lives
    std::unique_ptr<testserver::Server> server_;
    bool started_ = false;
};

LoginParameters PlainLogin();
LoginParameters ChapLogin(bool encrypt);

// One short session of every kind (plain and encrypted, synchronous and
// asynchronous), so that the runtime, the socket layer and the platform
// create whatever they create once before a test counts threads.
void WarmUp();

// Completions of asynchronous operations, by request identifier.
class CompletionLog {
  public:
    struct Entry {
        int count = 0;
        int failed = -1;
        Records records;
    };

    static CompletionLog& instance();
    static void DRAVOLIN_CALL Callback(std::uint32_t requestId, int failed, Response* response);

    void reset();
    // An optional action run inside the callback, after recording.
    void setHook(void (*hook)(std::uint32_t requestId, int failed));
    bool waitFor(const std::set<std::uint32_t>& ids, std::chrono::milliseconds bound = kHangBound);
    Entry get(std::uint32_t id);
    std::map<std::uint32_t, Entry> all();
    std::size_t total();

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<std::uint32_t, Entry> entries_;
    void (*hook_)(std::uint32_t, int) = nullptr;
};

// Runs `fn` on a new thread and waits (bounded) for it. True when it
// returned in time; otherwise the thread is left detached (the test has
// failed already and must not hang).
template <class Fn> bool FinishesWithin(Fn fn, std::chrono::milliseconds bound);

} // namespace dravolin::robust

#include <thread>

namespace dravolin::robust {

template <class Fn> bool FinishesWithin(Fn fn, std::chrono::milliseconds bound) {
    struct Shared {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
    };
    auto shared = std::make_shared<Shared>();
    std::thread worker([shared, fn]() mutable {
        fn();
        std::lock_guard g(shared->lock);
        shared->finished = true;
        shared->done.notify_all();
    });
    std::unique_lock g(shared->lock);
    const bool ok = shared->done.wait_for(g, bound, [&] { return shared->finished; });
    g.unlock();
    if (ok)
        worker.join();
    else
        worker.detach();
    return ok;
}

} // namespace dravolin::robust
