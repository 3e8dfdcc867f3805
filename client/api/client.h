// The process-wide object behind the exported functions.
#pragma once

#include "DravolinClient.h"
#include "completion_event.h"
#include "connection.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace dravolin {

// The waiting entry of one submitted operation.
struct PendingOperation {
    std::shared_ptr<Connection> connection;
    std::uint32_t requestId = 0;
    Response* response = nullptr;
    // Set when the caller gave no place for the Response: it then dies with the operation.
    std::unique_ptr<Response> ownedResponse;
    CompletionCallback callback = nullptr;
    AutoResetEvent completionEvent; // synchronous mode only; one word, no allocation
    int result = 0;
    std::atomic<bool> completed{false};
};

class Client : public DeliveryTarget, public std::enable_shared_from_this<Client> {
  public:
    using Starter = std::function<void(Connection&, std::uint32_t requestId)>;

    // Registers the operation, runs the starter and waits (no callback) or returns at once.
    int submit(const std::shared_ptr<Connection>& connection, const Starter& starter,
               Response* response, std::uint32_t* requestId, CompletionCallback callback,
               bool ownsResponse = false);

    void deliver(Completion& completion) override;
    void abandonAll(const Connection& connection) noexcept override;

    int cancel(std::uint32_t requestId);

    std::shared_ptr<Connection> find(std::uint32_t handle);
    std::uint32_t add(const std::shared_ptr<Connection>& connection);
    void remove(std::uint32_t handle);

    // Completes every outstanding operation as failed and stops every worker. After it,
    // submissions are refused.
    void close();

    // The keep-alive of the connections created from now on.
    net::KeepAlive defaultKeepAlive() const {
        std::lock_guard guard(defaultsLock_);
        return defaultKeepAlive_;
    }
    void setDefaultKeepAlive(const net::KeepAlive& keepAlive) {
        std::lock_guard guard(defaultsLock_);
        defaultKeepAlive_ = keepAlive;
    }
    // The wire trace of the connections created from now on.
    TraceSink defaultTrace() const {
        std::lock_guard guard(defaultsLock_);
        return defaultTrace_;
    }
    void setDefaultTrace(const TraceSink& sink) {
        std::lock_guard guard(defaultsLock_);
        defaultTrace_ = sink;
    }
    // A handle number for a connection before it is published (its trace names it from its
    // first line on); add() keeps it.
    std::uint32_t newHandle();

  private:
    std::uint32_t nextId(std::uint32_t& counter);
    std::shared_ptr<PendingOperation> take(std::uint32_t requestId);
    // The one way an operation ends: its Response takes the outcome (and the records), then
    // the callback runs or the waiter wakes.
    static void finish(PendingOperation& operation, Outcome&& outcome,
                       protocol::RecordList* records);
    // Ends an operation that no reply will end (cancelled, library ended), recording the
    // failure on its connection as a delivered one is.
    static void abandon(PendingOperation& operation, const char* why,
                        int reason = DRAVOLIN_REASON_ENDED) noexcept;

    std::mutex pendingLock_;
    std::map<std::uint32_t, std::shared_ptr<PendingOperation>> pending_;
    std::uint32_t nextRequestId_ = 1;
    bool closed_ = false;

    std::mutex connectionsLock_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::uint32_t nextConnectionHandle_ = 1;

    mutable std::mutex defaultsLock_;
    net::KeepAlive defaultKeepAlive_;
    TraceSink defaultTrace_;
};

} // namespace dravolin
