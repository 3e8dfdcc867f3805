#include "resources.h"

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

namespace dravolin::robust {

ResourceUse MeasureResources() {
    ResourceUse use;
    const DWORD self = GetCurrentProcessId();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry))
            if (entry.th32OwnerProcessID == self)
                ++use.threads;
        CloseHandle(snapshot);
    }
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles))
        use.handles = static_cast<long>(handles);
    use.sockets = -1;
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        use.memoryBytes = static_cast<std::int64_t>(counters.WorkingSetSize);
    return use;
}

} // namespace dravolin::robust
