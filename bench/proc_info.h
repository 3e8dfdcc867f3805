// Memory and CPU figures of this process, from /proc and getrusage.
#pragma once

#include <cstdint>
#include <string_view>

namespace bench {

struct MemoryStatus {
    std::int64_t rssKiB = -1;  // VmRSS
    std::int64_t peakKiB = -1; // VmHWM
    std::int64_t threads = -1; // Threads
};

// Reads the fields above out of the text of /proc/<pid>/status; a field that
// is missing stays -1.
MemoryStatus parseStatus(std::string_view text);

// The current figures of this process.
MemoryStatus memoryStatus();

// Sets VmHWM back to the current VmRSS, so that a later peak belongs to what
// ran in between. Returns false where the kernel does not allow it.
bool resetPeak();

// Hands freed heap memory back to the system, so that a growth measured next
// is not hidden by memory the allocator kept.
void trimHeap();

// User plus system CPU time of this process, in seconds.
double processCpuSeconds();

} // namespace bench
