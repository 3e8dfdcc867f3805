// The conversation of one connection without its I/O: the queue of requests, what the front
// one needs from the byte side, reply text to outcomes, the follow-up steps (the next login
// step, the logoff after a refused login or listing, the channel switch) and cancel.
//
// Pure code: no socket, file, clock or thread. The worker asks next() what to do, does it with the
// transport and reports back (connected or connectFailed, sent, feed, shutDown, linkEnded); the
// outcomes of finished operations wait in completions() in the order they finished.
#pragma once

#include "log_file.h"
#include "login_steps.h"
#include "outcome.h"
#include "random_source.h"
#include "request.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dravolin {

class Engine {
  public:
    // `random` makes the client's login challenges; "getlog" writes into files of `logFiles`.
    Engine(crypto::RandomSource& random, LogFiles& logFiles)
        : random_(random), logFiles_(logFiles) {}

    // Queue the steps of one operation.
    void queueConnect(std::uint32_t requestId);
    void queueDisconnect(std::uint32_t requestId);
    void queueCommand(std::uint32_t requestId, unsigned code, const char* argument,
                      const std::string& logDirectory);
    void queueLogin(std::uint32_t requestId, const LoginData& data);

    // Withdraws the queued steps of an operation unless the front one is its; returns how
    // many were removed.
    std::size_t cancel(std::uint32_t requestId);

    struct Action {
        enum class Kind {
            Idle,         // nothing to do until more is queued
            Connect,      // open the link (then connected())
            Send,         // send `line` (then sent())
            Receive,      // receive reply text and feed() it
            ShutdownSend, // shut the sending side down (then shutDown())
        };
        Kind kind = Kind::Idle;
        std::string_view line; // valid while the front step is served
        bool greeting = false; // the reply awaited is the greeting
        protocol::RequestKind request = protocol::RequestKind::Connect; // of the front step
    };
    // What the front step needs; steps that need no I/O complete on the way.
    Action next();

    void connected();
    // The connect of the front step failed: its operation ends with `failure`, every later
    // step with reason "connection lost" and `restText`.
    void connectFailed(const Failure& failure, std::string_view restText);
    void sent();
    enum class Fed { NeedMore, ReplyDone, Broken };
    // Reply text for the front step. ReplyDone: its reply is complete, and whatever else was
    // received belongs to no request. Broken: the link is no longer usable (closeRequested).
    Fed feed(std::string_view text);
    void shutDown();
    // The link failed: the front step ends with `failure` (a "shutdown" in service counts as
    // done when `endsShutdown`), every other queued step with reason "connection lost" and
    // `restText`.
    void linkEnded(const Failure& failure, std::string_view restText, bool endsShutdown);

    // What later steps on the ended link fail with instead of "not connected any more" (until
    // the next connect).
    void rememberLoss(std::string text) { lossText_ = std::move(text); }

    // Whether the front step is the greeting, and whether any reply byte came since connect.
    bool awaitingGreeting() const;
    bool answered() const { return answered_; }

    // Outcomes of finished operations, oldest first; the worker takes them.
    std::vector<Completion>& completions() { return completions_; }
    // Whether there is a completion, a channel key or a close request to take.
    bool hasNews() const { return !completions_.empty() || channelKey_ || closeRequested_; }
    // Once: the channel switches to encryption before anything else is sent.
    std::optional<ChannelKey> takeChannelKey() { return std::exchange(channelKey_, std::nullopt); }
    // Once: the link must be closed.
    bool takeCloseRequest();

  private:
    enum class State { Disconnected, Connected, ShuttingDown };

    void push(std::unique_ptr<Request> request) { queue_.push_back(std::move(request)); }
    void completeFront(Outcome outcome);
    void finish(std::unique_ptr<Request> request, Outcome outcome);
    Outcome replyOutcome(Request& request);
    void followUp(Request& request, Outcome& outcome, bool& deliver);
    void failAll(std::string_view text);

    crypto::RandomSource& random_;
    LogFiles& logFiles_;
    std::deque<std::unique_ptr<Request>> queue_;
    std::vector<Completion> completions_;
    std::optional<ChannelKey> channelKey_;
    State state_ = State::Disconnected;
    bool answered_ = false;
    bool closeRequested_ = false;
    std::string lossText_;
};

} // namespace dravolin
