// One TCP connection to the management service, served by its own worker thread.
#pragma once

#include "event.h"
#include "frame_codec.h"
#include "frame_reassembler.h"
#include "reply_parser.h"
#include "request.h"
#include "socket.h"
#include "worker_thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dravolin {

// How a delivered request ended: the status, the status line's text, and for the client's
// own failures the reason (a DRAVOLIN_REASON_ code) with its text.
struct Outcome {
    int status = protocol::kStatusClientFailure;
    std::string statusText;
    Failure failure;
};

class Connection;

// Receives the outcome of every delivered request (the client object).
class DeliveryTarget {
  public:
    virtual ~DeliveryTarget() = default;
    virtual void deliver(std::uint32_t requestId, const Outcome& outcome,
                         protocol::RecordList& records) = 0;
    // Completes as failed whatever is still outstanding on `connection`, whose worker could
    // not deliver it (memory ran out); later deliveries of those operations are ignored.
    virtual void abandonAll(const Connection& /*connection*/) noexcept {}
};

enum class ConnectionState { Disconnected = 0, Connected = 2, ShuttingDown = 4 };

// What a login sends; copied from the caller's parameters.
struct LoginData {
    int mode = 0; // 0 plain, 1 CHAP
    std::string userName;
    std::string userPassword;
    std::string chapName;
    std::string chapSecret;
    std::string peerName;
    std::string peerSecret;
    bool mutualAuth = false;
    bool encryptRequested = false;
};

// State of one login while its steps run on the worker.
struct LoginSession {
    LoginData data;
    std::vector<std::uint8_t> serverChallenge;
    std::vector<std::uint8_t> clientChallenge;
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
    // Replaces the login data: mode 0 keeps user name and password; mode 1 the CHAP fields.
    void setPlainLogin(std::string user, std::string password);
    void setChapLogin(std::string name, std::string secret, const char* peerName,
                      const char* peerSecret, bool encrypt);
    void setLogDirectory(std::string_view directory);

    // Time limits in milliseconds, 0 = none. The connect limit bounds the TCP connect and the
    // greeting together; the reply limit is the idle limit of each later request.
    void setTimeouts(int connectMs, int replyMs);
    void setReplyTimeout(int replyMs);
    // The outcome of the most recent delivered request that failed; status 200 when none.
    Outcome lastFailure() const;

    // Starters: queue the requests of one operation and wake the worker.
    void startConnect(std::uint32_t requestId);
    void startDisconnect(std::uint32_t requestId);
    void startCommand(std::uint32_t requestId, unsigned code, const char* argument);
    void startLogin(std::uint32_t requestId);

    // Withdraws the queued requests of an operation unless the worker serves it; returns how
    // many were removed.
    std::size_t cancel(std::uint32_t requestId);

    // Ends the worker: wakes it (shutting the socket down) and joins it. From the worker
    // itself (a callback), only marks it to end when the callback returns.
    void stop();

    bool onWorkerThread() const { return os::WorkerThread::currentId() == workerId_; }
    bool hasWorker() const { return workerId_ != 0; }
    // True on the worker thread of any connection (inside a callback).
    static bool onAnyWorkerThread();

    // Waits (at most `limit`) until no worker of any connection runs but the calling one, and
    // joins the workers that ended their own connection: after it, no library thread is left
    // running code except the caller.
    static void joinEndedWorkers(std::chrono::milliseconds limit);

    // Serves the queue on the calling worker thread until done() holds: lets a callback wait
    // for an operation on its own connection.
    void serveUntil(const std::function<bool()>& done);

    ConnectionState state() const;
    std::uint32_t handle = 0;

  private:
    explicit Connection(std::weak_ptr<DeliveryTarget> owner);

    struct Delivery {
        std::uint32_t requestId;
        Outcome outcome;
        protocol::RecordList records;
    };

    static void workerMain(std::shared_ptr<WorkerSignal> signal, std::weak_ptr<Connection> self);
    void drain();
    bool serveFront();
    void serve(const std::shared_ptr<Request>& request);
    bool sendText(const std::string& text);
    void receiveFor(const std::shared_ptr<Request>& request);
    long receiveChunk(char* buffer, const char*& text, int& error, bool& rejected, int limitMs);
    int receiveTimeout(const Request& request) const;
    void timedOut(const std::shared_ptr<Request>& request);
    void finishReply(const std::shared_ptr<Request>& request);
    void peerClosed(const std::shared_ptr<Request>& request, bool rejected);
    void completeFront(const std::shared_ptr<Request>& request, int status);
    void onSocketError(int code);
    void failAll(std::string_view why = "connection lost");
    void closeAndFailAll(std::string_view why = "connection lost");
    void onRequestComplete(const std::shared_ptr<Request>& request);
    void followUp(const std::shared_ptr<Request>& request, bool& deliverNow);
    void switchOnEncryption(const LoginSession& session);
    void enqueue(std::shared_ptr<Request> request);
    void runDeliveries();

    const std::weak_ptr<DeliveryTarget> owner_;
    std::shared_ptr<WorkerSignal> signal_ = std::make_shared<WorkerSignal>();
    os::WorkerThread worker_;
    os::WorkerThread::Id workerId_ = 0;
    std::mutex stopLock_;
    std::atomic<bool> stopping_{false};

    // Guards state_, queue_, deliveries_, login data and the log directory. Re-entrant:
    // completions queue follow-up steps while holding it.
    mutable std::recursive_mutex queueLock_;
    ConnectionState state_ = ConnectionState::Disconnected;
    std::deque<std::shared_ptr<Request>> queue_;
    std::vector<Delivery> deliveries_;
    LoginData login_;
    std::string logDirectory_;
    std::string host_;
    int port_ = 3260;
    Outcome lastFailure_{protocol::kStatusOk, {}, {}};
    std::atomic<int> connectTimeoutMs_{0};
    std::atomic<int> replyTimeoutMs_{0};

    // Worker only.
    net::Socket socket_;
    std::string pendingSend_;
    bool encrypted_ = false;
    crypto::ChannelCipher cipher_;
    // The encrypted channel's receive side: TCP may cut a frame over several receives or
    // bring several in one, so the received bytes go through the reassembler.
    crypto::FrameReassembler frames_{cipher_};
    std::unique_ptr<std::uint8_t[]> frameInput_;            // one receive's bytes, kMaxFrameSize
    bool connectDeadlineSet_ = false;                       // the connect limit runs
    std::chrono::steady_clock::time_point connectDeadline_; // end of TCP connect + greeting
    bool peerAnswered_ = false;                             // a byte came since the connect
};

} // namespace dravolin
