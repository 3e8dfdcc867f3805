// The texts of a link's failures, in one place: what an operation ends with when the transport
// fails, made from the transport's result and what the connection knows. Pure code.
#pragma once

#include "outcome.h"
#include "transport.h"

#include <string>
#include <string_view>

namespace dravolin {

inline constexpr const char* kStoppedAnsweringText =
    "connection lost: the server stopped answering (keep-alive probes or data sent went "
    "unanswered)";

// What the connection knows when a transport call fails.
struct LinkContext {
    bool greeting = false;          // the step in service awaits the greeting
    bool answered = false;          // a reply byte came since the connect
    std::string_view host;          // as the caller gave it
    int connectLimitMs = 0;         // 0: none
    int replyLimitMs = 0;           // 0: none
    std::string_view connectReport; // every address tried and what became of it
    std::string systemText;         // the system's text for the result's error code
};

// The failure of a connect that reached no address.
Failure connectFailure(const TransportResult& result, const LinkContext& context);

// The failure of the step in service when a send or receive failed.
Failure linkFailure(const TransportResult& result, const LinkContext& context);

// What the steps queued after the failed one end with, and whether a "shutdown" in service
// counts as done.
struct LinkEnd {
    std::string_view restText;
    bool endsShutdown = false;
};
LinkEnd linkEndOf(TransportResult::Kind kind);

} // namespace dravolin
