// One connection's conversation: turns each command line into the reply to
// send, the fault to apply while sending it, and what happens afterwards.
// No sockets here; the connection loop carries the result out.
#pragma once

#include "chap.h"
#include "command.h"
#include "config.h"
#include "fault.h"
#include "log_body.h"
#include "reply.h"
#include "state.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace dravolin::testserver {

struct Outgoing {
    bool silent = false;           // nothing to send (blank line)
    std::string head;              // status line, records, end of headers
    std::unique_ptr<LogBody> body; // streamed body of a log transfer
    std::string tail;              // small body and the end line
    std::optional<FaultSpec> fault;
    bool closeAfter = false;           // close the connection once sent
    bool stopServer = false;           // ask the whole server to stop once sent
    std::optional<ChannelKey> channel; // switch to encrypted frames once sent
    std::string what;                  // for the log: the command (never its arguments)
    int status = 0;                    // for the log: the reply's status
    unsigned delayUs = 0;              // think time before the reply goes out

    std::uint64_t size() const { return head.size() + (body ? body->size() : 0) + tail.size(); }
};

class Session {
  public:
    Session(const ServerConfig& config, ServerState& state, std::uint64_t connectionIndex,
            RandomFill random);

    Outgoing greeting();
    Outgoing handle(std::string_view line);

    bool loggedIn() const { return loggedIn_; }
    const std::string& user() const { return user_; }

  private:
    struct Answer {
        Reply reply;
        std::unique_ptr<LogBody> body;
        bool close = false;
        bool stopServer = false;
        std::optional<ChannelKey> channel;
    };

    std::optional<FaultSpec> nextFault(const std::string& key);
    Outgoing finish(Answer answer, std::optional<FaultSpec> fault, std::string what);

    Answer dispatch(const Command& cmd, const std::string& key,
                    const std::optional<FaultSpec>& fault);
    Answer login(const Command& cmd);
    Answer list(const Command& cmd);
    Answer add(const Command& cmd);
    Answer remove(const Command& cmd);
    Answer allow(const Command& cmd);
    Answer get(const Command& cmd);
    Answer set(const Command& cmd);
    Answer statistics(const Command& cmd);
    Answer control(const Command& cmd);
    Answer testControl(const Command& cmd);
    Answer getlog();

    const ServerConfig& config_;
    ServerState& state_;
    ChapServer chap_;
    FaultQueue faults_;
    std::mt19937_64 rng_;
    bool loggedIn_ = false;
    bool encrypted_ = false;
    std::string user_;
    std::optional<std::uint64_t> logSize_;
    std::optional<std::string> logName_;
    std::optional<unsigned> replyDelayUs_; // this connection's think time
};

// True for a control line that only steers this server's test behaviour.
bool isTestControl(const Command& cmd);

} // namespace dravolin::testserver
