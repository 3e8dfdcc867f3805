// How an operation ended, decided once where the cause is known and handed on unchanged.
#pragma once

#include "reply_parser.h"

#include <cstdint>
#include <string>

namespace dravolin {

// Why the client ended a request itself: a DRAVOLIN_REASON_ code and a short text; reason 0
// while the server's reply decides.
struct Failure {
    int reason = 0;
    std::string text;
};

// The status, the status line's text, and for the client's own failures the reason.
struct Outcome {
    int status = protocol::kStatusClientFailure;
    std::string statusText;
    Failure failure;

    bool failed() const { return status != protocol::kStatusOk; }
};

// What an operation that memory ran out under ends with (reason "connection lost").
inline constexpr char kOutOfMemoryText[] = "connection lost: the client ran out of memory";

// A failure of the client's: status 105 with the reason.
inline Outcome clientFailure(Failure failure, std::string statusText = {}) {
    return {protocol::kStatusClientFailure, std::move(statusText), std::move(failure)};
}

// The outcome of one operation, as the worker hands it to the caller's side.
struct Completion {
    std::uint32_t requestId = 0;
    Outcome outcome;
    protocol::RecordList records;
};

} // namespace dravolin
