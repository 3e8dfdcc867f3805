// The caller-visible result set of one request.
#pragma once

#include "reply_parser.h"

#include <cstdint>
#include <vector>

struct Response {
    dravolin::protocol::RecordList records;
    std::uint32_t cursor = 0;
};
