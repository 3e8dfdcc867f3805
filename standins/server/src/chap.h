// Server side of the challenge-handshake login: "auth start" hands out a
// fresh challenge, "auth check" verifies the client's digest and, when the
// client sends a challenge of its own, answers with the server's proof;
// "auth ok" ends a mutual exchange. A successful login that asked for
// encryption yields the channel key, which the connection switches to after
// the accepting reply has gone out in plain text.
#pragma once

#include "command.h"
#include "config.h"
#include "fault.h"
#include "reply.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace dravolin::testserver {

using ChannelKey = std::array<std::uint8_t, 16>;
// Fills a buffer with random bytes; false when no randomness is available.
using RandomFill = std::function<bool(std::uint8_t*, std::size_t)>;

// The operating system's cryptographic random source.
RandomFill systemRandom();

class ChapServer {
  public:
    static constexpr std::size_t kChallengeSize = 16;

    ChapServer(const ServerConfig& config, RandomFill random);
    ~ChapServer();
    ChapServer(const ChapServer&) = delete;
    ChapServer& operator=(const ChapServer&) = delete;

    struct Outcome {
        Reply reply;
        bool loggedIn = false;             // the login is complete and accepted
        std::string user;                  // who logged in
        std::optional<ChannelKey> channel; // switch to encrypted frames after this reply
    };

    Outcome start(const std::optional<FaultSpec>& fault);
    Outcome check(const Command& command, const std::optional<FaultSpec>& fault);
    Outcome confirm(const Command& command);

    // Forgets a login in progress (after "logoff").
    void reset();

  private:
    enum class Step { Idle, Started, AwaitingOk };
    const ChapUser* findUser(const std::string& name) const;
    void wipe();

    const ServerConfig& config_;
    RandomFill random_;
    Step step_ = Step::Idle;
    std::uint8_t challenge_[kChallengeSize] = {};
    bool cryptOffered_ = false;
    // Kept between "auth check" and "auth ok" of a mutual login.
    std::string user_;
    std::string secret_;
};

} // namespace dravolin::testserver
