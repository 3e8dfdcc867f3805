#include "connection.h"

#include "DravolinClient.h"
#include "errors.h"
#include "log_names.h"
#include "os.h"
#include "trace_text.h"
#include "worker.h"

#include <algorithm>
#include <iterator>
#include <thread>

namespace dravolin {

using Kind = TransportResult::Kind;

namespace {
// How long stop() waits for a worker that its socket shutdown did not wake, before it closes
// the socket under it.
constexpr std::chrono::milliseconds kStopWait{2500};
constexpr const char* kStoppedAnsweringText =
    "connection lost: the server stopped answering (keep-alive probes or data sent went "
    "unanswered)";
} // namespace

Connection::Connection(std::weak_ptr<DeliveryTarget> owner) : owner_(std::move(owner)) {
    logDirectory_ = protocol::directoryOfPath(os::executablePath(), os::pathSeparator());
}

std::shared_ptr<Connection> Connection::create(std::weak_ptr<DeliveryTarget> owner) {
    std::shared_ptr<Connection> connection(new Connection(std::move(owner)));
    const std::uint32_t error = worker::start(
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

void Connection::workerMain(const std::shared_ptr<WorkerSignal>& signal,
                            const std::weak_ptr<Connection>& weak) {
    while (signal->wait()) {
        std::shared_ptr<Connection> self = weak.lock();
        if (!self) {
            break;
        }
        try {
            self->drain();
        } catch (...) {
            if (!self->recoverFromThrow()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                signal->wake(); // what is left fails on the next pass
            }
        }
        // Dropping the last reference here runs the destructor on this thread; it only
        // adopts the thread, and the loop then ends on the stop mark.
    }
    signal->markExited();
}

// Memory ran out somewhere in the work, most likely (a process full of connections). Ending
// the worker here would leave every waiter on this connection waiting for ever: the link
// closes, what is queued fails, what could not be delivered is abandoned, and the worker
// stays for what comes next. False when even that ran out of memory.
bool Connection::recoverFromThrow() noexcept {
    bool recovered = false;
    try {
        {
            std::lock_guard guard(lock_);
            engine_.linkEnded({DRAVOLIN_REASON_CONNECTION_LOST, kOutOfMemoryText}, kOutOfMemoryText,
                              false);
            takeEngineNews();
        }
        while (deliverOne()) {
        }
        recovered = true;
    } catch (...) {
    }
    if (const auto owner = owner_.lock()) {
        owner->abandonAll(*this);
    }
    return recovered;
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
        worker::adopt(std::move(worker_)); // ends when the callback that called us returns
        return;
    }
    if (!signal_->waitExited(kStopWait)) {
        // The shutdown did not wake a blocked call: take the socket away from under it.
        transport_.abort();
        if (!signal_->waitExited(kStopWait)) {
            // Never kill a thread: it holds its own reference and ends when its call does.
            worker::adopt(std::move(worker_));
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

// ---------------------------------------------------------------------------------------
// Worker

void Connection::drain() {
    serveUntil([] { return false; });
}

void Connection::serveUntil(const std::function<bool()>& done) {
    // One outcome at a time, oldest first, also when a callback serves the connection in
    // place: a nested round takes up the outer one's remaining outcomes before any later one.
    // Without a worker its callers serve it, one at a time.
    std::unique_lock<std::mutex> alone;
    if (!hasWorker()) {
        alone = std::unique_lock(inPlaceLock_);
    }
    while (!done() && !signal_->stopped()) {
        flushTrace();
        if (!deliverOne() && !serveOne()) {
            flushTrace();
            return;
        }
    }
}

// Serves the front step one move further; false when there is nothing to do.
bool Connection::serveOne() {
    std::unique_lock guard(lock_);
    const Engine::Action action = engine_.next();
    takeEngineNews();
    switch (action.kind) {
    case Engine::Action::Kind::Idle:
        return delivered_ != deliveries_.size();
    case Engine::Action::Kind::Connect:
        connectLink(guard);
        break;
    case Engine::Action::Kind::ShutdownSend: {
        guard.unlock();
        if (tracing()) {
            flushTrace();
            traceLine(DRAVOLIN_TRACE_EVENT, "disconnect: sending side shut down");
        }
        const TransportResult result = transport_.shutdownSend();
        guard.lock();
        result.failed() ? linkFailed(result) : engine_.shutDown();
        break;
    }
    case Engine::Action::Kind::Send: {
        guard.unlock();
        if (tracing()) {
            flushTrace();
            traceLine(DRAVOLIN_TRACE_SENT, traceOfSent(action.request, action.line));
        }
        const TransportResult result = transport_.send(action.line);
        guard.lock();
        result.failed() ? linkFailed(result) : engine_.sent();
        break;
    }
    case Engine::Action::Kind::Receive:
        guard.unlock();
        receiveReply(action.greeting);
        guard.lock();
        break;
    }
    takeEngineNews();
    return true;
}

void Connection::connectLink(std::unique_lock<std::mutex>& guard) {
    const std::string host = host_;
    const auto port = static_cast<std::uint16_t>(static_cast<unsigned>(port_) + 1u);
    const net::KeepAlive keepAlive = keepAlive_;
    guard.unlock();
    const int limit = connectTimeoutMs_;
    connectDeadlineSet_ = limit > 0;
    connectDeadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
    // A failed connect shows on the greeting's receive.
    const TransportResult result =
        transport_.connect(host, port, limit > 0 ? limit : net::kNoTimeout, keepAlive);
    if (tracing()) {
        flushTrace();
        traceInput_.clear();
        if (result.kind == Kind::HostNotFound) {
            traceLine(DRAVOLIN_TRACE_EVENT,
                      "connect " + host.substr(0, 80) +
                          ": host name not found: " + transport_.connectReport());
        }
        for (const std::string& attempt : transport_.connectAttempts()) {
            traceLine(DRAVOLIN_TRACE_EVENT, "connect " + attempt);
        }
    }
    guard.lock();
    if (!(keepAlive_ == keepAlive)) {
        transport_.setKeepAlive(keepAlive_); // changed while the connect ran
    }
    engine_.connected();
}

// The limit of the next receive: the greeting shares the connect deadline; a request after
// it waits at most the reply limit for its next byte.
int Connection::receiveLimit(bool greeting) const {
    if (greeting && connectDeadlineSet_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            connectDeadline_ - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<long long>(0, left.count()));
    }
    const int limit = replyTimeoutMs_;
    return limit > 0 ? limit : net::kNoTimeout;
}

void Connection::receiveReply(bool greeting) {
    char room[protocol::kMaxLineLength];
    for (;;) {
        const TransportResult result =
            transport_.receive(receiveLimit(greeting), room, sizeof room);
        if (tracing() && result.kind == Kind::Text) {
            flushTrace();
            splitTraceLines(traceInput_, result.text, [this](std::string_view line) {
                traceLine(DRAVOLIN_TRACE_RECEIVED, traceOfReceived(line));
            });
        }
        std::lock_guard guard(lock_);
        if (result.kind != Kind::Text) {
            linkFailed(result);
            return;
        }
        switch (engine_.feed(result.text)) {
        case Engine::Fed::NeedMore:
            continue;
        case Engine::Fed::ReplyDone:
            // Whatever else this receive held belongs to no request; so do the frames and
            // the part of one received after it.
            transport_.discardReceived();
            traceInput_.clear();
            return;
        case Engine::Fed::Broken:
            return;
        }
    }
}

// The failure of the step in service, decided from what the transport saw.
Failure Connection::failureOf(const TransportResult& result) const {
    const bool greeting = engine_.awaitingGreeting();
    if (greeting && !engine_.answered() && transport_.connectFailed() &&
        (result.kind == Kind::SystemError || result.kind == Kind::TimedOut)) {
        // No address took the connection: name each one and what became of it.
        const std::string& report = transport_.connectReport();
        if (result.kind == Kind::TimedOut || result.error == net::timedOutError()) {
            const int limit = connectTimeoutMs_.load();
            return {DRAVOLIN_REASON_TIMED_OUT,
                    (limit > 0
                         ? "timed out: no connection within " + std::to_string(limit) + " ms: "
                         : std::string("timed out: no connection: ")) +
                        report};
        }
        return {DRAVOLIN_REASON_CONNECT_FAILED, "connection refused: " + report};
    }
    switch (result.kind) {
    case Kind::PeerClosed:
        return {DRAVOLIN_REASON_CONNECTION_LOST,
                greeting && !engine_.answered()
                    ? "connection lost: the server closed it before its greeting"
                    : "connection lost: closed by the server"};
    case Kind::FrameRejected:
        return {DRAVOLIN_REASON_FRAME_REJECTED,
                "frame rejected: an encrypted frame from the server failed its checks"};
    case Kind::TimedOut:
        return {DRAVOLIN_REASON_TIMED_OUT,
                greeting ? "timed out: no connection or no greeting within " +
                               std::to_string(connectTimeoutMs_.load()) + " ms"
                         : "timed out: no reply byte for " +
                               std::to_string(replyTimeoutMs_.load()) + " ms"};
    case Kind::HostNotFound:
        return {DRAVOLIN_REASON_HOST_NOT_FOUND, "host name not found: '" + host_.substr(0, 80) +
                                                    "': " + transport_.connectReport()};
    case Kind::NoSocket:
        return {DRAVOLIN_REASON_CONNECT_FAILED,
                "connection refused: no socket could be created: " +
                    systemErrorText(static_cast<std::uint32_t>(result.error))};
    case Kind::NotEncoded:
        return {DRAVOLIN_REASON_CONNECTION_LOST, "connection lost: no frame could be made"};
    default:
        break;
    }
    if (result.error == net::kPeerStoppedAnswering) {
        // Keep-alive probes or sent data went unanswered: the peer or the path to it is gone.
        return {DRAVOLIN_REASON_CONNECTION_LOST, kStoppedAnsweringText};
    }
    const std::string system = systemErrorText(static_cast<std::uint32_t>(result.error));
    if (result.error == net::timedOutError()) {
        return {DRAVOLIN_REASON_TIMED_OUT, "timed out: " + system};
    }
    if (greeting && !engine_.answered()) {
        return {DRAVOLIN_REASON_CONNECT_FAILED, "connection refused: " + system};
    }
    return {DRAVOLIN_REASON_CONNECTION_LOST, "connection lost: " + system};
}

void Connection::linkFailed(const TransportResult& result) {
    const Failure failure = failureOf(result);
    noteEvent("link ended: " + failure.text);
    switch (result.kind) {
    case Kind::TimedOut:
        // The end of the reply can no longer be found: nothing later could be read in step.
        engine_.linkEnded(failure, "connection lost: closed after a request timed out", false);
        break;
    case Kind::PeerClosed:
        engine_.linkEnded(failure, "connection lost: not connected any more", true);
        break;
    case Kind::FrameRejected:
        engine_.linkEnded(failure, "connection lost: not connected any more", false);
        break;
    default:
        engine_.linkEnded(failure, "connection lost", result.kind == Kind::SystemError);
        if (result.error == net::kPeerStoppedAnswering) {
            engine_.rememberLoss(kStoppedAnsweringText);
        }
        break;
    }
}

void Connection::afterEngine() {
    if (auto key = engine_.takeChannelKey()) {
        transport_.encrypt(key->serverChallenge, key->secret);
        noteEvent("encrypted channel on");
    }
    if (engine_.takeCloseRequest()) {
        transport_.close();
        noteEvent("closed");
    }
    std::vector<Completion>& finished = engine_.completions();
    if (deliveries_.empty()) {
        // The usual case: the two vectors trade places and keep their room, so a steady
        // stream of outcomes neither moves nor allocates here.
        deliveries_.swap(finished);
    } else {
        std::move(finished.begin(), finished.end(), std::back_inserter(deliveries_));
    }
    finished.clear();
}

// Delivers the oldest outcome not yet delivered; false when there is none. Callbacks run
// without any lock of this connection, so they may queue further work, cancel, disconnect
// or end the library.
bool Connection::deliverOne() {
    if (delivered_ == deliveries_.size()) {
        return false;
    }
    // Taken out before it is delivered: a callback that serves the connection in place
    // delivers the next one, not this one again.
    Completion completion = std::move(deliveries_[delivered_++]);
    if (delivered_ == deliveries_.size()) {
        deliveries_.clear();
        delivered_ = 0;
    }
    if (const std::shared_ptr<DeliveryTarget> owner = owner_.lock()) {
        owner->deliver(completion);
    }
    return true;
}

} // namespace dravolin
