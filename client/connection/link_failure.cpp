#include "link_failure.h"

#include "DravolinClient.h"

namespace dravolin {

using Kind = TransportResult::Kind;

namespace {
std::string hostText(std::string_view host) {
    return std::string(host.substr(0, 80));
}
} // namespace

Failure connectFailure(const TransportResult& result, const LinkContext& context) {
    const std::string report(context.connectReport);
    switch (result.kind) {
    case Kind::HostNotFound:
        return {DRAVOLIN_REASON_HOST_NOT_FOUND,
                "host name not found: '" + hostText(context.host) + "': " + report};
    case Kind::TimedOut:
    case Kind::SystemTimedOut:
        // No address took the connection in time: name each one and what became of it.
        return {DRAVOLIN_REASON_TIMED_OUT,
                (context.connectLimitMs > 0 ? "timed out: no connection within " +
                                                  std::to_string(context.connectLimitMs) + " ms: "
                                            : std::string("timed out: no connection: ")) +
                    report};
    default:
        return {DRAVOLIN_REASON_CONNECT_FAILED, "connection refused: " + report};
    }
}

Failure linkFailure(const TransportResult& result, const LinkContext& context) {
    const bool beforeGreeting = context.greeting && !context.answered;
    switch (result.kind) {
    case Kind::PeerClosed:
        return {DRAVOLIN_REASON_CONNECTION_LOST,
                beforeGreeting ? "connection lost: the server closed it before its greeting"
                               : "connection lost: closed by the server"};
    case Kind::FrameRejected:
        return {DRAVOLIN_REASON_FRAME_REJECTED,
                "frame rejected: an encrypted frame from the server failed its checks"};
    case Kind::TimedOut:
        return {DRAVOLIN_REASON_TIMED_OUT, context.greeting
                                               ? "timed out: no connection or no greeting within " +
                                                     std::to_string(context.connectLimitMs) + " ms"
                                               : "timed out: no reply byte for " +
                                                     std::to_string(context.replyLimitMs) + " ms"};
    case Kind::SystemTimedOut:
        return {DRAVOLIN_REASON_TIMED_OUT, "timed out: " + context.systemText};
    case Kind::NotEncoded:
        return {DRAVOLIN_REASON_CONNECTION_LOST, "connection lost: no frame could be made"};
    default:
        break;
    }
    if (result.error == net::kPeerStoppedAnswering) {
        // Keep-alive probes or sent data went unanswered: the peer or the path to it is gone.
        return {DRAVOLIN_REASON_CONNECTION_LOST, kStoppedAnsweringText};
    }
    if (beforeGreeting) {
        return {DRAVOLIN_REASON_CONNECT_FAILED, "connection refused: " + context.systemText};
    }
    return {DRAVOLIN_REASON_CONNECTION_LOST, "connection lost: " + context.systemText};
}

LinkEnd linkEndOf(Kind kind) {
    switch (kind) {
    case Kind::TimedOut:
        // The end of the reply can no longer be found: nothing later could be read in step.
        return {"connection lost: closed after a request timed out", false};
    case Kind::PeerClosed:
        return {"connection lost: not connected any more", true};
    case Kind::FrameRejected:
        return {"connection lost: not connected any more", false};
    default:
        return {"connection lost", kind == Kind::SystemError || kind == Kind::SystemTimedOut};
    }
}

} // namespace dravolin
