#include "engine.h"

#include "DravolinClient.h"

#include <algorithm>
#include <utility>

namespace dravolin {

using protocol::kStatusOk;
using protocol::RequestKind;
using Kind = Engine::Action::Kind;

void Engine::queueConnect(std::uint32_t requestId) {
    push(std::make_unique<Request>(RequestKind::Connect, "", requestId, false));
    push(std::make_unique<Request>(RequestKind::Greeting, "", requestId, true));
}

void Engine::queueDisconnect(std::uint32_t requestId) {
    push(std::make_unique<Request>(RequestKind::Disconnect, "", requestId, true));
}

void Engine::queueCommand(std::uint32_t requestId, unsigned code, const char* argument,
                          const std::string& logDirectory) {
    const auto kind = protocol::kindForRequestCode(code);
    protocol::CommandLine line = protocol::buildCommandLine(code, argument);
    auto request = std::make_unique<Request>(kind.value_or(RequestKind::Logoff),
                                             std::move(line.text), requestId, true);
    using Problem = protocol::CommandLine::Problem;
    if (line.problem == Problem::TooLong) {
        request->localFailure =
            Failure{DRAVOLIN_REASON_LINE_TOO_LONG, "command line too long: at most " +
                                                       std::to_string(protocol::kMaxFormattedLine) +
                                                       " characters"};
    } else if (line.problem == Problem::MissingArgument) {
        request->localFailure =
            Failure{DRAVOLIN_REASON_ARGUMENT_MISSING, "argument missing: the command needs one"};
    } else if (!line.valid || !kind) {
        request->localFailure = Failure{};
    }
    if (request->kind == RequestKind::GetLog) {
        request->logDirectory = logDirectory;
    }
    push(std::move(request));
}

void Engine::queueLogin(std::uint32_t requestId, const LoginData& data) {
    for (auto& step : firstLoginSteps(requestId, data)) {
        push(std::move(step));
    }
}

std::size_t Engine::cancel(std::uint32_t requestId) {
    if (queue_.empty() || queue_.front()->requestId == requestId) {
        return 0; // the front step is in service (or about to be)
    }
    const auto before = queue_.size();
    queue_.erase(std::remove_if(queue_.begin() + 1, queue_.end(),
                                [&](const auto& r) { return r->requestId == requestId; }),
                 queue_.end());
    return before - queue_.size();
}

Engine::Action Engine::next() {
    while (!queue_.empty() && state_ != State::ShuttingDown) {
        Request& front = *queue_.front();
        if (state_ == State::Disconnected) {
            if (front.kind == RequestKind::Connect) {
                return {Kind::Connect, {}, false};
            }
            if (front.kind == RequestKind::Disconnect) {
                completeFront(Outcome{kStatusOk, {}, {}});
            } else {
                failAll(lossText_.empty() ? "connection lost: not connected any more"
                                          : std::string_view(lossText_));
            }
            continue;
        }
        switch (front.kind) {
        case RequestKind::Connect:
            completeFront(Outcome{kStatusOk, {}, {}});
            continue;
        case RequestKind::Disconnect:
            state_ = State::ShuttingDown;
            return {Kind::ShutdownSend, {}, false};
        case RequestKind::Greeting:
            return {Kind::Receive, {}, true};
        default:
            break;
        }
        if (front.localFailure) {
            // Nothing was sent, so the connection stays in step and usable.
            completeFront(clientFailure(*front.localFailure));
            continue;
        }
        if (!front.sent) {
            return {Kind::Send, front.commandText, false, front.kind};
        }
        return {Kind::Receive, {}, false, front.kind};
    }
    return {};
}

void Engine::connected() {
    state_ = State::Connected;
    answered_ = false;
    closeRequested_ = false;
    lossText_.clear();
    completeFront(Outcome{kStatusOk, {}, {}});
}

void Engine::connectFailed(const Failure& failure, std::string_view restText) {
    if (!queue_.empty() && queue_.front()->kind == RequestKind::Connect) {
        queue_.pop_front(); // its outcome is the greeting's, which follows it
    }
    answered_ = false;
    lossText_.clear();
    linkEnded(failure, restText, false);
}

void Engine::sent() {
    if (!queue_.empty()) {
        queue_.front()->sent = true;
    }
}

Engine::Fed Engine::feed(std::string_view text) {
    answered_ = true;
    if (queue_.empty()) {
        return Fed::NeedMore;
    }
    Request& request = *queue_.front();
    std::size_t offset = 0;
    while (offset < text.size()) {
        std::size_t used = 0;
        const auto result = request.lines.feed(text.data() + offset, text.size() - offset, used);
        offset += used;
        if (result == protocol::LineAssembler::Result::Line) {
            if (const auto broken = request.consumeLine(request.lines.line(), logFiles_)) {
                linkEnded(*broken, "connection lost", false);
                return Fed::Broken;
            }
        }
        if (request.complete()) {
            completeFront(replyOutcome(request));
            return Fed::ReplyDone;
        }
    }
    return Fed::NeedMore;
}

void Engine::shutDown() {
    completeFront(Outcome{kStatusOk, {}, {}});
}

void Engine::linkEnded(const Failure& failure, std::string_view restText, bool endsShutdown) {
    state_ = State::Disconnected;
    closeRequested_ = true;
    if (!queue_.empty()) {
        std::unique_ptr<Request> front = std::move(queue_.front());
        queue_.pop_front();
        std::string statusText = std::move(front->reply.statusText);
        if (endsShutdown && front->kind == RequestKind::Shutdown) {
            // The server ending the connection is what "shutdown" asks for.
            finish(std::move(front), Outcome{kStatusOk, std::move(statusText), {}});
        } else {
            finish(std::move(front), clientFailure(failure, std::move(statusText)));
        }
    }
    failAll(restText);
}

bool Engine::awaitingGreeting() const {
    return !queue_.empty() && queue_.front()->kind == RequestKind::Greeting;
}

bool Engine::takeCloseRequest() {
    return std::exchange(closeRequested_, false);
}

void Engine::failAll(std::string_view text) {
    while (!queue_.empty()) {
        std::unique_ptr<Request> front = std::move(queue_.front());
        queue_.pop_front();
        std::string statusText = std::move(front->reply.statusText);
        finish(std::move(front), clientFailure({DRAVOLIN_REASON_CONNECTION_LOST, std::string(text)},
                                               std::move(statusText)));
    }
}

Outcome Engine::replyOutcome(Request& request) {
    Outcome outcome{request.reply.status, std::move(request.reply.statusText), {}};
    if (request.kind == RequestKind::Greeting) {
        outcome.status = kStatusOk; // any greeting will do
    } else if (request.kind == RequestKind::GetLog) {
        outcome.status = kStatusOk; // decided by the local file (finish)
    }
    return outcome;
}

void Engine::completeFront(Outcome outcome) {
    std::unique_ptr<Request> front = std::move(queue_.front());
    queue_.pop_front();
    finish(std::move(front), std::move(outcome));
}

// The one place where a step ends: the log file is complete on disk, the follow-up queued,
// and the operation's outcome (when this step decides it) joins the completions.
void Engine::finish(std::unique_ptr<Request> request, Outcome outcome) {
    if (request->kind == RequestKind::GetLog) {
        const auto failure = request->finishLogFile();
        if (failure && !outcome.failed()) {
            outcome = clientFailure(*failure, std::move(outcome.statusText));
        }
    }
    if (request->kind == RequestKind::Shutdown || request->kind == RequestKind::Disconnect) {
        state_ = State::Disconnected;
    }
    bool deliver = request->deliver;
    followUp(*request, outcome, deliver);
    if (deliver) {
        completions_.push_back(
            {request->requestId, std::move(outcome), std::move(request->reply.records)});
    }
}

void Engine::followUp(Request& request, Outcome& outcome, bool& deliver) {
    switch (request.kind) {
    case RequestKind::Login:
    case RequestKind::ListDevices:
    case RequestKind::ListPermissions:
        if (outcome.failed() && state_ == State::Connected) {
            // Its outcome is not the operation's: it is never delivered.
            push(std::make_unique<Request>(RequestKind::Logoff, std::string(protocol::kLogoffLine),
                                           request.requestId, false));
        }
        return;
    default:
        break;
    }
    StepResult step = afterLoginStep(request, !outcome.failed(), random_);
    if (step.failure) {
        outcome = clientFailure(std::move(*step.failure), std::move(outcome.statusText));
    }
    deliver = deliver || step.deliver;
    if (step.next) {
        push(std::move(step.next));
    }
    if (step.key) {
        channelKey_ = std::move(step.key);
    }
}

} // namespace dravolin
