// The caller-visible result set of one request.
#pragma once

#include "outcome.h"
#include "reply_parser.h"

#include <cstdint>
#include <optional>

struct Response {
    dravolin::protocol::RecordList records;
    std::uint32_t cursor = 0;
    // The outcome of the operation that filled it; empty until one did.
    std::optional<dravolin::Outcome> outcome;
};
