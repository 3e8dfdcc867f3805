#include "scale_os.h"

#include <windows.h>

#include <psapi.h>

namespace scale {

std::int64_t residentKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) {
        return -1;
    }
    return static_cast<std::int64_t>(counters.WorkingSetSize / 1024);
}

std::int64_t raiseDescriptorLimit() {
    return -1; // sockets are handles, without a per-process limit of their own
}

} // namespace scale
