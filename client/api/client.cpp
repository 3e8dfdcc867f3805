#include "client.h"

#include "response.h"
#include "thread_registry.h"

#include <algorithm>

namespace dravolin {

std::uint32_t Client::nextId(std::uint32_t& counter) {
    const std::uint32_t id = counter++;
    if (counter == 0) {
        counter = 1;
    }
    return id;
}

int Client::submit(const std::shared_ptr<Connection>& connection, const Starter& starter,
                   Response* response, std::uint32_t* requestId, CompletionCallback callback,
                   bool ownsResponse) {
    auto operation = std::make_shared<PendingOperation>();
    if (ownsResponse) {
        operation->ownedResponse.reset(response);
    }
    operation->connection = connection;
    operation->response = response;
    operation->callback = callback;
    if (callback && !connection->hasWorker()) {
        return DRAVOLIN_FAILED; // no thread could be started for it, so none would call back
    }
    {
        std::lock_guard guard(pendingLock_);
        if (closed_) {
            return DRAVOLIN_NOT_INITIALISED;
        }
        operation->requestId = nextId(nextRequestId_);
        pending_.emplace(operation->requestId, operation);
    }
    starter(*connection, operation->requestId);
    if (callback) {
        if (requestId) {
            *requestId = operation->requestId;
        }
        return DRAVOLIN_OK;
    }
    if (connection->onWorkerThread() || !connection->hasWorker()) {
        // Called from a callback of this very connection: its worker is us, so serve here.
        // Without a worker (none could be started) the connection never connected, and its
        // requests fail, or a Disconnect succeeds, without a socket: served here too.
        connection->serveUntil([&] { return operation->completed.load(); });
    }
    operation->completionEvent.wait();
    return operation->result;
}

std::shared_ptr<PendingOperation> Client::take(std::uint32_t requestId) {
    std::lock_guard guard(pendingLock_);
    const auto it = pending_.find(requestId);
    if (it == pending_.end()) {
        return nullptr; // cancelled, or ended already
    }
    std::shared_ptr<PendingOperation> operation = std::move(it->second);
    pending_.erase(it);
    return operation;
}

void Client::finish(PendingOperation& operation, Outcome&& outcome, protocol::RecordList* records) {
    const bool failed = outcome.failed();
    if (failed) {
        // Before anyone hears of it: a callback or a woken caller may ask for it at once.
        try {
            operation.connection->recordFailure(outcome);
        } catch (...) {
            // Out of memory: the reason without its texts.
            operation.connection->recordFailure(
                Outcome{outcome.status, {}, {outcome.failure.reason, {}}});
        }
    }
    if (operation.response) {
        Response& r = *operation.response;
        if (records) {
            r.records = std::move(*records);
            records->clear();
        }
        r.outcome = std::move(outcome);
    }
    operation.result = failed ? DRAVOLIN_FAILED : DRAVOLIN_OK;
    operation.completed = true;
    if (operation.callback) {
        operation.callback(operation.requestId, failed ? 1 : 0, operation.response);
    } else {
        operation.completionEvent.set();
    }
}

void Client::abandon(PendingOperation& operation, const char* why, int reason) noexcept {
    Outcome outcome = clientFailure({reason, {}});
    try {
        outcome.failure.text = why;
    } catch (...) {
        // Out of memory: the reason without its text.
    }
    finish(operation, std::move(outcome), nullptr);
}

void Client::abandonAll(const Connection& connection) noexcept {
    // One at a time, without collecting them: memory is what is short here.
    for (;;) {
        std::shared_ptr<PendingOperation> operation;
        {
            std::lock_guard guard(pendingLock_);
            const auto it = std::find_if(pending_.begin(), pending_.end(), [&](const auto& entry) {
                return entry.second->connection.get() == &connection;
            });
            if (it == pending_.end()) {
                return;
            }
            operation = std::move(it->second);
            pending_.erase(it);
        }
        abandon(*operation, kOutOfMemoryText, DRAVOLIN_REASON_CONNECTION_LOST);
    }
}

void Client::deliver(Completion& completion) {
    if (const auto operation = take(completion.requestId)) {
        finish(*operation, std::move(completion.outcome), &completion.records);
    }
}

int Client::cancel(std::uint32_t requestId) {
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard guard(pendingLock_);
        const auto it = pending_.find(requestId);
        if (it == pending_.end()) {
            return DRAVOLIN_OK;
        }
        connection = it->second->connection;
    }
    if (connection->cancel(requestId) > 0) {
        const std::shared_ptr<PendingOperation> operation = take(requestId);
        // A withdrawn asynchronous operation is never reported; a synchronous caller must not
        // be left waiting, so it returns as failed.
        if (operation && !operation->callback) {
            abandon(*operation, "cancelled while waiting");
        }
    }
    return DRAVOLIN_OK;
}

std::shared_ptr<Connection> Client::find(std::uint32_t handle) {
    std::lock_guard guard(connectionsLock_);
    for (const auto& connection : connections_) {
        if (connection->handle == handle) {
            return connection;
        }
    }
    return nullptr;
}

std::uint32_t Client::newHandle() {
    std::lock_guard guard(connectionsLock_);
    return nextId(nextConnectionHandle_);
}

std::uint32_t Client::add(const std::shared_ptr<Connection>& connection) {
    std::lock_guard guard(connectionsLock_);
    if (connection->handle == 0) {
        connection->handle = nextId(nextConnectionHandle_);
    }
    connections_.push_back(connection);
    return connection->handle;
}

void Client::remove(std::uint32_t handle) {
    std::lock_guard guard(connectionsLock_);
    std::erase_if(connections_, [&](const auto& c) { return c->handle == handle; });
}

void Client::close() {
    std::map<std::uint32_t, std::shared_ptr<PendingOperation>> outstanding;
    {
        std::lock_guard guard(pendingLock_);
        closed_ = true;
        outstanding.swap(pending_);
    }
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard guard(connectionsLock_);
        connections.swap(connections_);
    }
    for (const auto& [id, operation] : outstanding) {
        connections.push_back(operation->connection);
    }
    // Waiters and callbacks first: a worker may be inside a callback that waits for one of
    // these, and stopping it would otherwise wait forever.
    for (const auto& [id, operation] : outstanding) {
        abandon(*operation, "the library was freed");
    }
    outstanding.clear();
    for (const auto& connection : connections) {
        connection->requestStop();
    }
    for (const auto& connection : connections) {
        connection->stop();
    }
    connections.clear();
    // Workers whose connection went with its last reference on the worker itself are joined
    // here: no library thread may still run once the library has ended.
    threads::joinEnded(std::chrono::milliseconds(5000));
}

} // namespace dravolin
