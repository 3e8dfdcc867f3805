#include "connection.h"

#include "DravolinClient.h"
#include "executable_path.h"
#include "log_names.h"
#include "system_error.h"
#include "thread_registry.h"

#include <algorithm>
#include <iterator>
#include <thread>

namespace dravolin {

namespace {
// How long stop() waits for a worker that its socket shutdown did not wake, before it closes
// the socket under it.
constexpr std::chrono::milliseconds kStopWait{2500};
} // namespace

Connection::Connection(std::weak_ptr<DeliveryTarget> owner) : owner_(std::move(owner)) {
    logDirectory_ = protocol::directoryOfPath(os::executablePath(), os::pathSeparator());
}

std::shared_ptr<Connection> Connection::create(std::weak_ptr<DeliveryTarget> owner) {
    std::shared_ptr<Connection> connection(new Connection(std::move(owner)));
    const std::uint32_t error = threads::start(
        connection->worker_, [signal = connection->signal_, self = std::weak_ptr(connection)] {
            workerMain(signal, self);
        });
    if (error != 0) {
        // Told at once, never left to a wait that no thread would end.
        connection->lastFailure_ = clientFailure(
            {DRAVOLIN_REASON_CONNECT_FAILED, "no worker thread: " + systemErrorText(error)});
        return connection;
    }
    connection->workerId_ = connection->worker_.id();
    return connection;
}

Connection::~Connection() {
    stop();
}

void Connection::requestStop() {
    signal_->stop();
    transport_.interrupt();
}

void Connection::stop() {
    std::lock_guard guard(stopLock_);
    requestStop();
    if (!worker_.joinable()) {
        return;
    }
    if (onWorkerThread()) {
        threads::adopt(std::move(worker_)); // ends when the callback that called us returns
        return;
    }
    if (!signal_->waitExited(kStopWait)) {
        // The shutdown did not wake a blocked call: take the socket away from under it.
        transport_.abort();
        if (!signal_->waitExited(kStopWait)) {
            // Never kill a thread: it holds its own reference and ends when its call does.
            threads::adopt(std::move(worker_));
            return;
        }
    }
    worker_.join();
}

void Connection::setEndpoint(std::string host, int port) {
    std::lock_guard guard(lock_);
    host_ = std::move(host);
    port_ = port;
}

void Connection::setLogDirectory(std::string_view directory) {
    std::lock_guard guard(lock_);
    logDirectory_ = protocol::normaliseLogDirectory(directory, os::pathSeparator());
}

void Connection::setTimeouts(int connectMs, int replyMs) {
    connectTimeoutMs_ = std::max(0, connectMs);
    replyTimeoutMs_ = std::max(0, replyMs);
}

void Connection::setReplyTimeout(int replyMs) {
    replyTimeoutMs_ = std::max(0, replyMs);
}

void Connection::setKeepAlive(const net::KeepAlive& keepAlive) {
    std::lock_guard guard(lock_);
    keepAlive_ = keepAlive;
    transport_.setKeepAlive(keepAlive);
}

void Connection::setTrace(const TraceSink& sink) {
    std::lock_guard guard(traceLock_);
    trace_ = sink;
    tracing_.store(sink.callback != nullptr, std::memory_order_relaxed);
}

void Connection::traceLine(int direction, std::string_view text) {
    TraceSink sink;
    {
        std::lock_guard guard(traceLock_);
        sink = trace_;
    }
    if (sink.callback) {
        const std::string line(text); // with its NUL
        sink.callback(handle, direction, line.c_str(), sink.context);
    }
}

void Connection::noteEvent(std::string text) {
    if (tracing()) {
        traceEvents_.push_back(std::move(text));
    }
}

void Connection::flushTrace() {
    if (traceEvents_.empty()) {
        return;
    }
    std::vector<std::string> events;
    events.swap(traceEvents_);
    for (const std::string& event : events) {
        traceLine(DRAVOLIN_TRACE_EVENT, event);
    }
}

Outcome Connection::lastFailure() const {
    std::lock_guard guard(lock_);
    return lastFailure_;
}

void Connection::recordFailure(const Outcome& outcome) {
    std::lock_guard guard(lock_);
    lastFailure_ = outcome;
}

// ---------------------------------------------------------------------------------------
// Starters

void Connection::startConnect(std::uint32_t requestId) {
    {
        std::lock_guard guard(lock_);
        engine_.queueConnect(requestId);
    }
    signal_->wake();
}

void Connection::startDisconnect(std::uint32_t requestId) {
    {
        std::lock_guard guard(lock_);
        engine_.queueDisconnect(requestId);
    }
    signal_->wake();
}

void Connection::startCommand(std::uint32_t requestId, unsigned code, const char* argument) {
    {
        std::lock_guard guard(lock_);
        engine_.queueCommand(requestId, code, argument, logDirectory_);
    }
    signal_->wake();
}

void Connection::startLogin(std::uint32_t requestId, const LoginData& login) {
    {
        std::lock_guard guard(lock_);
        engine_.queueLogin(requestId, login);
    }
    signal_->wake();
}

std::size_t Connection::cancel(std::uint32_t requestId) {
    std::lock_guard guard(lock_);
    return engine_.cancel(requestId);
}

} // namespace dravolin
