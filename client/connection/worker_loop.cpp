// The worker side of a connection: the loop that hands the engine's lines to the transport
// and the transport's bytes to the engine, and delivers the outcomes in the order the
// operations finished.
#include "connection.h"

#include "DravolinClient.h"
#include "link_failure.h"
#include "system_error.h"
#include "trace_text.h"

#include <algorithm>
#include <iterator>
#include <thread>

namespace dravolin {

using Kind = TransportResult::Kind;

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
    if (result.failed()) {
        connectFailed(result);
        return;
    }
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

LinkContext Connection::linkContext(const TransportResult& result) const {
    LinkContext context;
    context.greeting = engine_.awaitingGreeting();
    context.answered = engine_.answered();
    context.host = host_;
    context.connectLimitMs = connectTimeoutMs_.load();
    context.replyLimitMs = replyTimeoutMs_.load();
    context.connectReport = transport_.connectReport();
    if (result.error > 0) {
        context.systemText = systemErrorText(static_cast<std::uint32_t>(result.error));
    }
    return context;
}

void Connection::linkFailed(const TransportResult& result) {
    const Failure failure = linkFailure(result, linkContext(result));
    noteEvent("link ended: " + failure.text);
    const LinkEnd end = linkEndOf(result.kind);
    engine_.linkEnded(failure, end.restText, end.endsShutdown);
    if (result.kind == Kind::SystemError && result.error == net::kPeerStoppedAnswering) {
        engine_.rememberLoss(kStoppedAnsweringText);
    }
}

// A connect that reached no address ends the operation at once, with every address named.
void Connection::connectFailed(const TransportResult& result) {
    const Failure failure = connectFailure(result, linkContext(result));
    noteEvent("link ended: " + failure.text);
    engine_.connectFailed(failure, linkEndOf(result.kind).restText);
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
