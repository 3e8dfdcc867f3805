// The caller-visible result set of one request.
#pragma once

#include "reply_parser.h"

#include <cstdint>
#include <string>
#include <vector>

struct Response {
    dravolin::protocol::RecordList records;
    std::uint32_t cursor = 0;
    // Outcome of the operation that filled it; completed is false until one did.
    bool completed = false;
    int status = 0;
    std::string statusText;
    int reason = 0;
    std::string reasonText;
};
