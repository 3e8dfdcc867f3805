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

    std::string describe() const;
};

ResourceUse MeasureResources();

} // namespace dravolin::robust
