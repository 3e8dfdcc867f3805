// The few OS figures and limits the connections-per-process benchmark needs.
#pragma once

#include <cstdint>

namespace scale {

// Resident memory of this process in KiB; -1 when unknown.
std::int64_t residentKiB();

// Raises this process's limit of open descriptors to the most it may have (a socket per
// connection); returns that limit, or -1 where there is no such limit.
std::int64_t raiseDescriptorLimit();

} // namespace scale
