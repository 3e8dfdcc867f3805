// The listening server: one thread accepts, one thread serves each
// connection. Stopping wakes every thread and joins it.
#pragma once

#include "config.h"
#include "net.h"
#include "state.h"

#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace dravolin::testserver {

struct Outgoing;

class Server {
  public:
    explicit Server(ServerConfig config);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds, listens and starts accepting. False with a message on failure.
    bool start(std::string& error);
    // The port actually listened on (the service port + 1).
    std::uint16_t port() const { return listener_.port(); }
    // Closes every connection and joins every thread. Idempotent.
    void stop();

    // Set by a "shutdown" under --exit-on-shutdown, or by requestStop().
    void requestStop();
    // Waits until a stop is requested or the time runs out (0 = no limit);
    // true when a stop was requested.
    bool waitForStopRequest(unsigned seconds);

    ServerState& state() { return state_; }
    const ServerConfig& config() const { return config_; }

    // Pauses for a while unless the server is stopping; false when it is.
    bool pause(unsigned milliseconds);
    bool pauseMicros(unsigned microseconds);
    bool stopping() const;

  private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void acceptLoop();
    void serve(net::Socket socket, std::uint64_t id);
    void reapFinished();
    void logReply(std::uint64_t id, const Outgoing& out, bool sent);
    // --wire-log: `text` cut into lines, each written as "#id MARK line" without its end.
    void logWire(std::uint64_t id, char mark, std::string_view text);

    ServerConfig config_;
    ServerState state_;
    net::Listener listener_;
    std::thread acceptThread_;

    std::mutex logLock_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool stopRequested_ = false;
    bool started_ = false;
    std::map<std::uint64_t, net::Handle> open_;  // connection sockets, for waking them
    std::map<std::uint64_t, bool> closedByStop_; // handles stop() had to close
    std::list<Worker> workers_;
    std::uint64_t nextId_ = 1;
};

} // namespace dravolin::testserver
