// One TCP connection to the management service, served by its own worker thread: the loop
// that hands the engine's lines to the transport and the transport's bytes to the engine,
// and delivers the outcomes in the order the operations finished.
#pragma once

#include "DravolinClient.h"
#include "crypto_provider.h"
#include "disk_log_files.h"
#include "engine.h"
#include "link_failure.h"
#include "outcome.h"
#include "thread.h"
#include "transport.h"
#include "worker_signal.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dravolin {

class Connection;

// Where a connection's wire trace goes: the caller's function and its context.
struct TraceSink {
    TraceCallback callback = nullptr;
    void* context = nullptr;
};

// Receives the outcome of every delivered request (the client object).
class DeliveryTarget {
  public:
    virtual ~DeliveryTarget() = default;
    // The completion is the target's to take apart (its outcome and records are moved on).
    virtual void deliver(Completion& completion) = 0;
    // Completes as failed whatever is still outstanding on `connection`, whose worker could
    // not deliver it (memory ran out); later deliveries of those operations are ignored.
    virtual void abandonAll(const Connection& /*connection*/) noexcept {}
};

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    // Starts the worker. When no thread could be started, the connection has none
    // (hasWorker() is false) and its last failure says why.
    static std::shared_ptr<Connection> create(std::weak_ptr<DeliveryTarget> owner);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void setEndpoint(std::string host, int port);
    void setLogDirectory(std::string_view directory);

    // Time limits in milliseconds, 0 = none. The connect limit bounds the TCP connect and the
    // greeting together; the reply limit is the idle limit of each later request.
    void setTimeouts(int connectMs, int replyMs);
    void setReplyTimeout(int replyMs);

    // TCP keep-alive of this connection: used by the next connect and applied at once to an
    // open socket (idleMs 0: off).
    void setKeepAlive(const net::KeepAlive& keepAlive);

    // The wire trace of this connection from now on (a null callback: none). Any thread.
    void setTrace(const TraceSink& sink);

    // The outcome of the most recent operation that failed; status 200 when none. Written by
    // the client's completion routine before the operation's caller hears of it, and here
    // when no worker could be started.
    Outcome lastFailure() const;
    void recordFailure(const Outcome& outcome);

    // Starters: queue the steps of one operation and wake the worker.
    void startConnect(std::uint32_t requestId);
    void startDisconnect(std::uint32_t requestId);
    void startCommand(std::uint32_t requestId, unsigned code, const char* argument);
    void startLogin(std::uint32_t requestId, const LoginData& login);

    // Withdraws the queued steps of an operation unless the worker serves it; returns how
    // many were removed.
    std::size_t cancel(std::uint32_t requestId);

    // Ends the worker: wakes it (shutting the socket down) and joins it. From the worker
    // itself (a callback), only marks it to end when the callback returns.
    void stop();
    // stop()'s first half, without the wait: whoever ends many connections asks them all to
    // end first, so that their workers end side by side rather than one after the other.
    void requestStop();

    bool onWorkerThread() const { return os::Thread::currentId() == workerId_; }
    bool hasWorker() const { return workerId_ != 0; }

    // Serves the connection on the calling worker thread until done() holds: lets a callback
    // wait for an operation on its own connection. Outcomes are still delivered in the order
    // the operations finished: those that finished before it first.
    void serveUntil(const std::function<bool()>& done);

    std::uint32_t handle = 0;

  private:
    explicit Connection(std::weak_ptr<DeliveryTarget> owner);

    static void workerMain(const std::shared_ptr<WorkerSignal>& signal,
                           const std::weak_ptr<Connection>& self);
    void drain();
    bool recoverFromThrow() noexcept;
    bool serveOne();
    void connectLink(std::unique_lock<std::mutex>& guard);
    void receiveReply(bool greeting);
    int receiveLimit(bool greeting) const;
    void connectFailed(const TransportResult& result);
    void linkFailed(const TransportResult& result);
    LinkContext linkContext(const TransportResult& result) const;
    // What the engine asked of the link, and its outcomes queued for delivery. Holds lock_.
    void takeEngineNews() {
        if (engine_.hasNews()) {
            afterEngine();
        }
    }
    void afterEngine();
    bool deliverOne();
    // The wire trace. Lines and events go to the caller's function on the worker thread,
    // never under a lock of this connection: an event noted under lock_ waits in
    // traceEvents_ until flushTrace().
    bool tracing() const { return tracing_.load(std::memory_order_relaxed); }
    void traceLine(int direction, std::string_view text);
    void noteEvent(std::string text);
    void flushTrace();

    const std::weak_ptr<DeliveryTarget> owner_;
    std::shared_ptr<WorkerSignal> signal_ = std::make_shared<WorkerSignal>();
    os::Thread worker_;
    os::Thread::Id workerId_ = 0;
    std::mutex stopLock_;
    std::mutex inPlaceLock_; // serves a connection without a worker on one caller at a time

    // Guards the engine, the endpoint, the log directory and the last failure.
    mutable std::mutex lock_;
    crypto::CryptoProvider random_;
    DiskLogFiles logFiles_;
    Engine engine_{random_, logFiles_};
    std::string logDirectory_;
    std::string host_;
    int port_ = 3260;
    Outcome lastFailure_{protocol::kStatusOk, {}, {}};
    std::atomic<int> connectTimeoutMs_{0};
    std::atomic<int> replyTimeoutMs_{0};
    net::KeepAlive keepAlive_;
    std::atomic<bool> tracing_{false}; // one look on the hot path when no trace is set
    std::mutex traceLock_;
    TraceSink trace_;

    // Worker only.
    Transport transport_;
    std::vector<Completion> deliveries_; // finished; those from delivered_ on are not yet delivered
    std::size_t delivered_ = 0;
    std::string traceInput_;               // the start of a received line not yet whole
    std::vector<std::string> traceEvents_; // noted under lock_, not yet handed out
    bool connectDeadlineSet_ = false;      // the connect limit runs
    std::chrono::steady_clock::time_point connectDeadline_; // end of TCP connect + greeting
};

} // namespace dravolin
