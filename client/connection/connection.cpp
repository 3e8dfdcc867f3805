#include "connection.h"

#include "DravolinClient.h"
#include "chap.h"
#include "commands.h"
#include "crypto_provider.h"
#include "errors.h"
#include "log_names.h"
#include "os.h"

#include <algorithm>
#include <thread>

namespace dravolin {

using protocol::kStatusClientFailure;
using protocol::kStatusOk;
using protocol::RequestKind;

namespace {

// Every worker is accounted for here until it has ended, so that ending the library can wait
// for all of them, also those whose connection was destroyed on the worker itself.
struct WorkerRegistry {
    std::mutex lock;
    std::condition_variable changed;
    int running = 0;
    std::vector<os::WorkerThread> ended;      // workers that could not be joined where they stopped
    std::vector<os::WorkerThread::Id> exited; // those of them that have left their loop
};

WorkerRegistry& workers() {
    static WorkerRegistry* registry = new WorkerRegistry; // outlives every worker
    return *registry;
}

thread_local bool isWorkerThread = false;

void adoptThread(os::WorkerThread thread) {
    WorkerRegistry& r = workers();
    std::lock_guard guard(r.lock);
    r.ended.push_back(std::move(thread));
}

// Joins parked workers that have already left their loop, so that a program which never ends
// the library does not collect one finished thread per connection that ended on its worker.
void reapExitedWorkers() {
    WorkerRegistry& r = workers();
    std::vector<os::WorkerThread> done;
    {
        std::lock_guard guard(r.lock);
        for (auto it = r.ended.begin(); it != r.ended.end();) {
            const auto exited = std::find(r.exited.begin(), r.exited.end(), it->id());
            if (exited != r.exited.end() && it->id() != os::WorkerThread::currentId()) {
                r.exited.erase(exited);
                done.push_back(std::move(*it));
                it = r.ended.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (os::WorkerThread& thread : done) {
        thread.join(); // only its return is left to run
    }
}

// How long a peer may stay silent while it owes the rest of a frame; the frame is rejected
// then. Without part of a frame held, a receive waits as long as the connection lasts.
constexpr int kFrameIdleLimitMs = 10000;

// How long stop() waits for a worker that its socket shutdown did not wake, before it closes
// the socket under it.
constexpr std::chrono::milliseconds kStopWait{2500};

// The failure of a connection whose worker could not be started (system error `code`).
Outcome noWorker(std::uint32_t code) {
    std::string system = CSysError(code).text(true);
    system.erase(system.find_last_not_of("\r\n") + 1);
    return {
        kStatusClientFailure, {}, {DRAVOLIN_REASON_CONNECT_FAILED, "no worker thread: " + system}};
}
} // namespace

Connection::Connection(std::weak_ptr<DeliveryTarget> owner) : owner_(std::move(owner)) {
    logDirectory_ = protocol::directoryOfPath(os::executablePath(), os::pathSeparator());
}

std::shared_ptr<Connection> Connection::create(std::weak_ptr<DeliveryTarget> owner) {
    reapExitedWorkers();
    std::shared_ptr<Connection> connection(new Connection(std::move(owner)));
    WorkerRegistry& registry = workers();
    {
        std::lock_guard guard(registry.lock);
        ++registry.running;
    }
    const std::uint32_t error = connection->worker_.start(
        [signal = connection->signal_, self = std::weak_ptr<Connection>(connection)] {
            workerMain(signal, self);
        });
    if (error != 0) {
        {
            std::lock_guard guard(registry.lock);
            --registry.running;
        }
        // Told at once, never left to a wait that no thread would end.
        connection->lastFailure_ = noWorker(error);
        return connection;
    }
    connection->workerId_ = connection->worker_.id();
    return connection;
}

Connection::~Connection() {
    stop();
}

void Connection::workerMain(std::shared_ptr<WorkerSignal> signal, std::weak_ptr<Connection> weak) {
    isWorkerThread = true;
    while (signal->wait()) {
        std::shared_ptr<Connection> self = weak.lock();
        if (!self) {
            break;
        }
        try {
            self->drain();
        } catch (...) {
            // Out of memory, most likely (a process full of connections). Ending the worker
            // here would leave every waiter on this connection waiting for ever: what is
            // queued fails instead, what could not be delivered is abandoned, and the worker
            // stays for what comes next.
            bool failed = true;
            try {
                self->closeAndFailAll("connection lost: the client ran out of memory");
                self->runDeliveries();
                failed = false;
            } catch (...) {
            }
            if (const auto owner = self->owner_.lock()) {
                owner->abandonAll(*self);
            }
            if (failed) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                signal->wake(); // what is left in the queue fails on the next pass
            }
        }
        // Dropping the last reference here runs the destructor on this thread; it only
        // detaches, and the loop then ends on the stop mark.
    }
    signal->markExited();
    WorkerRegistry& registry = workers();
    {
        std::lock_guard guard(registry.lock);
        --registry.running;
        // A parked worker is parked before it gets here (on this thread, or by a stop that
        // gave up on it), so its id is found whenever it is there to be joined.
        const auto self = os::WorkerThread::currentId();
        if (std::any_of(registry.ended.begin(), registry.ended.end(),
                        [&](const os::WorkerThread& t) { return t.id() == self; })) {
            registry.exited.push_back(self);
        }
    }
    registry.changed.notify_all();
}

bool Connection::onAnyWorkerThread() {
    return isWorkerThread;
}

void Connection::joinEndedWorkers(std::chrono::milliseconds limit) {
    WorkerRegistry& registry = workers();
    std::vector<os::WorkerThread> ended;
    bool allEnded = false;
    {
        std::unique_lock guard(registry.lock);
        const int self = isWorkerThread ? 1 : 0;
        allEnded =
            registry.changed.wait_for(guard, limit, [&] { return registry.running <= self; });
        ended.swap(registry.ended);
        registry.exited.clear();
    }
    for (os::WorkerThread& thread : ended) {
        if (thread.id() == os::WorkerThread::currentId() || !allEnded) {
            thread.detach(); // ourselves (a callback), or stuck past the limit
        } else {
            thread.join();
        }
    }
}

void Connection::stop() {
    std::lock_guard guard(stopLock_);
    stopping_ = true;
    signal_->stop();
    socket_.interrupt();
    if (!worker_.joinable()) {
        return;
    }
    if (onWorkerThread()) {
        adoptThread(std::move(worker_)); // ends when the callback that called us returns
        return;
    }
    if (!signal_->waitExited(kStopWait)) {
        // The shutdown did not wake a blocked call: take the socket away from under it.
        socket_.close();
        if (!signal_->waitExited(kStopWait)) {
            // Never kill a thread: it holds its own reference and ends when its call does.
            adoptThread(std::move(worker_));
            return;
        }
    }
    worker_.join();
}

ConnectionState Connection::state() const {
    std::lock_guard guard(queueLock_);
    return state_;
}

void Connection::setEndpoint(std::string host, int port) {
    std::lock_guard guard(queueLock_);
    host_ = std::move(host);
    port_ = port;
}

void Connection::setPlainLogin(std::string user, std::string password) {
    std::lock_guard guard(queueLock_);
    login_.mode = 0;
    login_.userName = std::move(user);
    login_.userPassword = std::move(password);
}

void Connection::setChapLogin(std::string name, std::string secret, const char* peerName,
                              const char* peerSecret, bool encrypt) {
    std::lock_guard guard(queueLock_);
    login_.mode = 1;
    login_.chapName = std::move(name);
    login_.chapSecret = std::move(secret);
    login_.mutualAuth = peerName && peerSecret;
    if (login_.mutualAuth) {
        login_.peerName = peerName;
        login_.peerSecret = peerSecret;
    }
    login_.encryptRequested = encrypt;
}

void Connection::setLogDirectory(std::string_view directory) {
    std::lock_guard guard(queueLock_);
    logDirectory_ = protocol::normaliseLogDirectory(directory, os::pathSeparator());
}

void Connection::setTimeouts(int connectMs, int replyMs) {
    connectTimeoutMs_ = std::max(0, connectMs);
    replyTimeoutMs_ = std::max(0, replyMs);
}

void Connection::setReplyTimeout(int replyMs) {
    replyTimeoutMs_ = std::max(0, replyMs);
}

Outcome Connection::lastFailure() const {
    std::lock_guard guard(queueLock_);
    return lastFailure_;
}

// ---------------------------------------------------------------------------------------
// Starters

void Connection::enqueue(std::shared_ptr<Request> request) {
    {
        std::lock_guard guard(queueLock_);
        queue_.push_back(std::move(request));
    }
    signal_->wake();
}

void Connection::startConnect(std::uint32_t requestId) {
    {
        std::lock_guard guard(queueLock_);
        queue_.push_back(std::make_shared<Request>(RequestKind::Connect, "", requestId, false));
        queue_.push_back(std::make_shared<Request>(RequestKind::Greeting, "", requestId, true));
    }
    signal_->wake();
}

void Connection::startDisconnect(std::uint32_t requestId) {
    enqueue(std::make_shared<Request>(RequestKind::Disconnect, "", requestId, true));
}

void Connection::startCommand(std::uint32_t requestId, unsigned code, const char* argument) {
    const auto kind = protocol::kindForRequestCode(code);
    protocol::CommandLine line = protocol::buildCommandLine(code, argument);
    auto request = std::make_shared<Request>(kind.value_or(RequestKind::Logoff),
                                             std::move(line.text), requestId, true);
    request->failLocally = !line.valid || !kind;
    if (line.problem == protocol::CommandLine::Problem::TooLong) {
        request->failWith(DRAVOLIN_REASON_LINE_TOO_LONG,
                          "command line too long: at most " +
                              std::to_string(protocol::kMaxFormattedLine) + " characters");
    } else if (line.problem == protocol::CommandLine::Problem::MissingArgument) {
        request->failWith(DRAVOLIN_REASON_ARGUMENT_MISSING,
                          "argument missing: the command needs one");
    }
    std::lock_guard guard(queueLock_);
    if (request->kind == RequestKind::GetLog) {
        request->logDirectory = logDirectory_;
    }
    enqueue(std::move(request));
}

void Connection::startLogin(std::uint32_t requestId) {
    std::lock_guard guard(queueLock_);
    if (login_.mode == 0) {
        enqueue(std::make_shared<Request>(
            RequestKind::Login, protocol::plainLoginLine(login_.userName, login_.userPassword),
            requestId, true));
        return;
    }
    auto session = std::make_shared<LoginSession>();
    session->data = login_;
    auto mode = std::make_shared<Request>(RequestKind::AuthMode,
                                          std::string(protocol::kAuthModeLine), requestId, false);
    auto start = std::make_shared<Request>(RequestKind::AuthStart,
                                           std::string(protocol::kAuthStartLine), requestId, false);
    mode->login = session;
    start->login = session;
    queue_.push_back(std::move(mode));
    enqueue(std::move(start));
}

std::size_t Connection::cancel(std::uint32_t requestId) {
    std::lock_guard guard(queueLock_);
    if (queue_.empty() || queue_.front()->requestId == requestId) {
        return 0;
    }
    const auto before = queue_.size();
    queue_.erase(std::remove_if(queue_.begin() + 1, queue_.end(),
                                [&](const auto& r) { return r->requestId == requestId; }),
                 queue_.end());
    return before - queue_.size();
}

// ---------------------------------------------------------------------------------------
// Worker

void Connection::drain() {
    while (!stopping_ && serveFront()) {
    }
}

void Connection::serveUntil(const std::function<bool()>& done) {
    while (!done() && !stopping_ && serveFront()) {
    }
}

bool Connection::serveFront() {
    std::shared_ptr<Request> request;
    {
        std::lock_guard guard(queueLock_);
        if (queue_.empty() || state_ == ConnectionState::ShuttingDown) {
            return false;
        }
        request = queue_.front();
    }
    serve(request);
    runDeliveries();
    return true;
}

void Connection::serve(const std::shared_ptr<Request>& request) {
    std::unique_lock guard(queueLock_);
    const ConnectionState state = state_;
    const RequestKind kind = request->kind;

    if (state == ConnectionState::Disconnected) {
        if (kind == RequestKind::Connect) {
            const std::string host = host_;
            const auto port = static_cast<std::uint16_t>(static_cast<unsigned>(port_) + 1u);
            guard.unlock();
            const int limit = connectTimeoutMs_;
            connectDeadlineSet_ = limit > 0;
            connectDeadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
            peerAnswered_ = false;
            if (!stopping_) {
                // A failed connect shows on the first receive.
                socket_.open(host, port, limit > 0 ? limit : net::kNoTimeout);
            }
            guard.lock();
            state_ = ConnectionState::Connected;
            completeFront(request, kStatusOk);
        } else if (kind == RequestKind::Disconnect) {
            completeFront(request, kStatusOk);
        } else {
            failAll("connection lost: not connected any more");
        }
        return;
    }

    // Connected.
    switch (kind) {
    case RequestKind::Connect:
        completeFront(request, kStatusOk);
        return;
    case RequestKind::Disconnect: {
        state_ = ConnectionState::ShuttingDown;
        if (const int error = socket_.shutdownSend(); error != 0) {
            onSocketError(error);
            return;
        }
        completeFront(request, kStatusOk);
        return;
    }
    case RequestKind::Greeting:
        guard.unlock();
        receiveFor(request);
        return;
    default:
        break;
    }
    if (request->failLocally) {
        // Nothing was sent, so the connection stays in step and usable.
        completeFront(request, kStatusClientFailure);
        return;
    }
    guard.unlock();
    if (sendText(request->commandText)) {
        receiveFor(request);
    }
}

bool Connection::sendText(const std::string& text) {
    pendingSend_ += text;
    if (pendingSend_.empty()) {
        return true;
    }
    int error = 0;
    if (encrypted_) {
        crypto::CryptoProvider random;
        std::vector<std::uint8_t> frame =
            crypto::encodeFrame(cipher_, pendingSend_.data(), pendingSend_.size(), random);
        if (frame.empty()) {
            closeAndFailAll();
            return false;
        }
        const long sent =
            socket_.send(reinterpret_cast<const char*>(frame.data()), frame.size(), error);
        if (sent < 0 && error != net::wouldBlockError()) {
            onSocketError(error);
            return false;
        }
        if (sent >= 0) {
            pendingSend_.clear();
        }
        return true;
    }
    // One call for the whole line; a blocking socket only returns early on huge lines, and
    // then the rest follows at once rather than with the next command.
    while (!pendingSend_.empty()) {
        const long sent = socket_.send(pendingSend_.data(), pendingSend_.size(), error);
        if (sent < 0) {
            if (error == net::wouldBlockError()) {
                return true;
            }
            onSocketError(error);
            return false;
        }
        pendingSend_.erase(0, static_cast<std::size_t>(sent));
    }
    return true;
}

// The next piece of reply text: the bytes of one plain receive in `buffer`, or the text of
// the next encrypted frame (pointing into the reassembler). Returns its length, 0 when the
// peer closed or a frame was rejected (`rejected`), or -1 with `error`. `limitMs` is the
// request's own limit for the next byte; while part of a frame is held, the frame idle limit
// applies when it is the shorter one.
long Connection::receiveChunk(char* buffer, const char*& text, int& error, bool& rejected,
                              int limitMs) {
    rejected = false;
    text = buffer;
    if (!encrypted_) {
        return socket_.receive(buffer, protocol::kMaxLineLength, error, limitMs);
    }
    for (;;) {
        switch (frames_.next()) {
        case crypto::FrameReassembler::Status::Text:
            if (frames_.text().empty()) {
                continue; // an empty frame carries no text, and is no end of the stream
            }
            text = frames_.text().data();
            return static_cast<long>(frames_.text().size());
        case crypto::FrameReassembler::Status::Rejected:
            rejected = true;
            return 0;
        case crypto::FrameReassembler::Status::NeedMore:
            break;
        }
        const bool midFrame = frames_.holdsPartialFrame();
        const bool frameLimit =
            midFrame && (limitMs == net::kNoTimeout || limitMs > kFrameIdleLimitMs);
        char* input = reinterpret_cast<char*>(frameInput_.get());
        const long got = socket_.receive(input, crypto::kMaxFrameSize, error,
                                         frameLimit ? kFrameIdleLimitMs : limitMs);
        if (got > 0) {
            frames_.feed(input, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && error == net::timedOutError() && !frameLimit) {
            return got; // the request's own limit ran out
        }
        if (midFrame && (got == 0 || error != net::wouldBlockError())) {
            // Closed, reset or silent for the frame idle limit with a frame unfinished.
            rejected = true;
            return 0;
        }
        return got;
    }
}

// The limit of the next receive for a request: the greeting shares the connect deadline; a
// request after it waits at most the reply limit for its next byte.
int Connection::receiveTimeout(const Request& request) const {
    if (request.kind == RequestKind::Greeting && connectDeadlineSet_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            connectDeadline_ - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<long long>(0, left.count()));
    }
    const int limit = replyTimeoutMs_;
    return limit > 0 ? limit : net::kNoTimeout;
}

void Connection::receiveFor(const std::shared_ptr<Request>& request) {
    char buffer[protocol::kMaxLineLength];
    for (;;) {
        int error = 0;
        bool rejected = false;
        const char* text = nullptr;
        const int limit = receiveTimeout(*request);
        const long got = receiveChunk(buffer, text, error, rejected, limit);
        if (got < 0) {
            // Only a limit of ours ends the request this way; the OS's own time-outs keep the
            // socket error path.
            if (limit != net::kNoTimeout && error == net::timedOutError()) {
                timedOut(request);
            } else if (error != net::wouldBlockError()) {
                onSocketError(error);
            }
            return;
        }
        peerAnswered_ = true;
        if (got == 0) {
            peerClosed(request, rejected);
            return;
        }
        std::size_t offset = 0;
        const auto length = static_cast<std::size_t>(got);
        while (offset < length) {
            std::size_t used = 0;
            const auto result = request->lines.feed(text + offset, length - offset, used);
            offset += used;
            if (result == protocol::LineAssembler::Result::Line &&
                !request->consumeLine(request->lines.line())) {
                closeAndFailAll();
                return;
            }
            if (request->complete()) {
                // Whatever else this read held belongs to no request; so do the frames and
                // the part of one received after it.
                frames_.reset();
                finishReply(request);
                return;
            }
        }
    }
}

void Connection::finishReply(const std::shared_ptr<Request>& request) {
    int status = request->reply.status;
    if (request->kind == RequestKind::Greeting) {
        status = kStatusOk;
    } else if (request->kind == RequestKind::GetLog) {
        // The file is complete on disk before anyone learns of the completion.
        status = request->finishLogFile() ? kStatusOk : kStatusClientFailure;
    }
    std::lock_guard guard(queueLock_);
    completeFront(request, status);
}

void Connection::peerClosed(const std::shared_ptr<Request>& request, bool rejected) {
    std::lock_guard guard(queueLock_);
    if (!rejected && request->kind == RequestKind::Shutdown && !queue_.empty() &&
        queue_.front() == request) {
        // The server ending the connection is what "shutdown" asks for.
        completeFront(request, kStatusOk);
    } else if (rejected) {
        request->failWith(DRAVOLIN_REASON_FRAME_REJECTED,
                          "frame rejected: an encrypted frame from the server failed its checks");
    } else {
        request->failWith(DRAVOLIN_REASON_CONNECTION_LOST,
                          request->kind == RequestKind::Greeting && !peerAnswered_
                              ? "connection lost: the server closed it before its greeting"
                              : "connection lost: closed by the server");
    }
    state_ = ConnectionState::Disconnected;
    socket_.close();
    pendingSend_.clear();
    frames_.reset();
    // The request in progress stays queued; the next pass fails it with the rest.
}

void Connection::completeFront(const std::shared_ptr<Request>& request, int status) {
    std::lock_guard guard(queueLock_);
    if (!queue_.empty() && queue_.front() == request) {
        queue_.pop_front();
    }
    request->reply.status = status;
    onRequestComplete(request);
}

void Connection::timedOut(const std::shared_ptr<Request>& request) {
    std::lock_guard guard(queueLock_);
    const bool connecting = request->kind == RequestKind::Greeting;
    request->failWith(DRAVOLIN_REASON_TIMED_OUT,
                      connecting ? "timed out: no connection or no greeting within " +
                                       std::to_string(connectTimeoutMs_.load()) + " ms"
                                 : "timed out: no reply byte for " +
                                       std::to_string(replyTimeoutMs_.load()) + " ms");
    if (!queue_.empty() && queue_.front() == request) {
        queue_.pop_front();
        request->reply.status = kStatusClientFailure;
        onRequestComplete(request);
    }
    // The end of the reply can no longer be found: nothing later could be read in step.
    closeAndFailAll("connection lost: closed after a request timed out");
}

namespace {
// A system message as one line.
std::string oneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}
} // namespace

void Connection::onSocketError(int code) {
    std::lock_guard guard(queueLock_);
    if (queue_.empty()) {
        failAll();
        return;
    }
    std::shared_ptr<Request> front = queue_.front();
    queue_.pop_front();
    if (front->kind == RequestKind::Shutdown) {
        front->reply.status = kStatusOk;
        onRequestComplete(front);
        return;
    }
    front->reply.status = kStatusClientFailure;
    const std::string system = CSysError(static_cast<std::uint32_t>(code)).text(true);
    front->bodyText += system;
    if (code == net::timedOutError()) {
        front->failWith(DRAVOLIN_REASON_TIMED_OUT, "timed out: " + oneLine(system));
    } else if (front->kind == RequestKind::Greeting && !peerAnswered_) {
        front->failWith(DRAVOLIN_REASON_CONNECT_FAILED, "connection refused: " + oneLine(system));
    } else {
        front->failWith(DRAVOLIN_REASON_CONNECTION_LOST, "connection lost: " + oneLine(system));
    }
    onRequestComplete(front);
    failAll();
}

void Connection::failAll(std::string_view why) {
    std::lock_guard guard(queueLock_);
    while (!queue_.empty()) {
        std::shared_ptr<Request> front = queue_.front();
        queue_.pop_front();
        front->reply.status = kStatusClientFailure;
        front->failWith(DRAVOLIN_REASON_CONNECTION_LOST, std::string(why));
        onRequestComplete(front);
    }
    closeAndFailAll(why);
}

void Connection::closeAndFailAll(std::string_view why) {
    std::lock_guard guard(queueLock_);
    state_ = ConnectionState::Disconnected;
    socket_.close();
    pendingSend_.clear();
    while (!queue_.empty()) {
        std::shared_ptr<Request> front = queue_.front();
        queue_.pop_front();
        front->reply.status = kStatusClientFailure;
        front->failWith(DRAVOLIN_REASON_CONNECTION_LOST, std::string(why));
        onRequestComplete(front);
    }
}

void Connection::onRequestComplete(const std::shared_ptr<Request>& request) {
    std::lock_guard guard(queueLock_);
    if (request->kind == RequestKind::Shutdown || request->kind == RequestKind::Disconnect) {
        state_ = ConnectionState::Disconnected;
    }
    if (request->kind == RequestKind::GetLog && !request->finishLogFile() &&
        request->reply.status == kStatusOk) {
        request->reply.status = kStatusClientFailure;
    }
    bool deliverNow = request->deliver;
    followUp(request, deliverNow);
    if (deliverNow) {
        Outcome outcome{request->reply.status, request->reply.statusText, {}};
        if (outcome.status != kStatusOk) {
            outcome.failure = request->failure;
            if (!request->afterDelivery) {
                lastFailure_ = outcome;
            }
        }
        deliveries_.push_back(
            {request->requestId, std::move(outcome), std::move(request->reply.records)});
        request->reply.records.clear();
    }
}

void Connection::followUp(const std::shared_ptr<Request>& request, bool& deliverNow) {
    int& status = request->reply.status;
    const std::uint32_t id = request->requestId;
    switch (request->kind) {
    case RequestKind::Login:
    case RequestKind::ListDevices:
    case RequestKind::ListPermissions:
        if (status != kStatusOk) {
            auto logoff = std::make_shared<Request>(RequestKind::Logoff,
                                                    std::string(protocol::kLogoffLine), id, true);
            logoff->afterDelivery = true; // its outcome is not the operation's
            enqueue(std::move(logoff));
        }
        return;
    case RequestKind::Control:
        if (status == kStatusOk) {
            signal_->wake();
        }
        return;
    case RequestKind::AuthMode:
        if (status == kStatusOk && !protocol::authModeIsChap(request->reply.records)) {
            status = protocol::kStatusNotChap; // noted only: the login goes on
        }
        return;
    case RequestKind::AuthStart: {
        LoginSession& session = *request->login;
        if (status != kStatusOk) {
            deliverNow = true; // the login ends here, and the caller must hear of it
            return;
        }
        const protocol::StartReply start = protocol::readStartReply(request->reply.records);
        if (session.data.encryptRequested && !start.cryptOffered) {
            status = kStatusClientFailure;
            request->failWith(DRAVOLIN_REASON_LOGIN,
                              "login failed: the server offers no encrypted channel");
            deliverNow = true;
            return;
        }
        session.serverChallenge = protocol::decodeChallenge(start.challengeText);
        session.clientChallenge.clear();
        if (session.data.mutualAuth) {
            session.clientChallenge.resize(protocol::kClientChallengeSize);
            crypto::CryptoProvider random;
            if (!random.fill(session.clientChallenge.data(), session.clientChallenge.size())) {
                status = kStatusClientFailure;
                request->failWith(DRAVOLIN_REASON_LOGIN,
                                  "login failed: no random challenge could be made");
                deliverNow = true;
                return;
            }
        }
        auto check = std::make_shared<Request>(
            RequestKind::AuthCheck,
            protocol::buildCheckLine(session.data.chapName, session.data.chapSecret,
                                     session.serverChallenge, session.data.encryptRequested,
                                     session.clientChallenge),
            id, !session.data.mutualAuth);
        check->login = request->login;
        enqueue(std::move(check));
        return;
    }
    case RequestKind::AuthCheck: {
        const LoginSession& session = *request->login;
        if (!session.data.mutualAuth) {
            if (status == kStatusOk && session.data.encryptRequested) {
                switchOnEncryption(session);
            }
            return;
        }
        if (status != kStatusOk) {
            deliverNow = true;
            return;
        }
        if (!protocol::verifyServerProof(request->reply.records, session.data.peerName,
                                         session.data.peerSecret, session.clientChallenge)) {
            status = kStatusClientFailure;
            request->failWith(DRAVOLIN_REASON_LOGIN,
                              "login failed: the server could not prove it is '" +
                                  session.data.peerName.substr(0, 80) + "'");
            deliverNow = true;
            return;
        }
        auto ok = std::make_shared<Request>(
            RequestKind::AuthOk, protocol::authOkLine(session.data.encryptRequested), id, true);
        ok->login = request->login;
        enqueue(std::move(ok));
        return;
    }
    case RequestKind::AuthOk:
        if (status == kStatusOk && request->login->data.encryptRequested) {
            switchOnEncryption(*request->login);
        }
        return;
    default:
        return;
    }
}

void Connection::switchOnEncryption(const LoginSession& session) {
    cipher_ = crypto::ChannelCipher(session.serverChallenge.data(), session.serverChallenge.size(),
                                    session.data.chapSecret.data(), session.data.chapSecret.size());
    frames_.reset();
    if (!frameInput_) {
        frameInput_ = std::make_unique<std::uint8_t[]>(crypto::kMaxFrameSize);
    }
    encrypted_ = true;
}

void Connection::runDeliveries() {
    std::vector<Delivery> batch;
    {
        std::lock_guard guard(queueLock_);
        batch.swap(deliveries_);
    }
    if (batch.empty()) {
        return;
    }
    // Callbacks run without any lock of this connection, so they may queue further work,
    // cancel, disconnect or end the library.
    const std::shared_ptr<DeliveryTarget> owner = owner_.lock();
    if (!owner) {
        return;
    }
    for (Delivery& delivery : batch) {
        owner->deliver(delivery.requestId, delivery.outcome, delivery.records);
    }
}

} // namespace dravolin
