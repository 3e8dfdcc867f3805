// What the process holds right now: threads, open handles (sockets among
// them) and memory. Used to check that a run gives back all it took.
#pragma once

#include <cstdint>
#include <string>

namespace dravolin::robust {

struct ResourceUse {
    long threads = 0;
    long handles = 0;             // file descriptors, or OS handles on Windows
    long sockets = 0;             // of those, sockets (-1 where the OS cannot tell)
    std::int64_t memoryBytes = 0; // resident set / working set
    std::int64_t heapBytes = -1;  // allocated from the C heap (-1 where unknown)

    std::string describe() const;
};

ResourceUse MeasureResources();

// Measures until threads and handles are back at `target` or the bound has
// passed, and returns the last measurement: a thread that has finished its
// work can take a moment to be gone.
ResourceUse SettledResources(const ResourceUse& target);

// Measures until threads and handles have stayed the same for a while (or
// a bound has passed): the baseline to compare a run with.
ResourceUse StableResources();

} // namespace dravolin::robust
