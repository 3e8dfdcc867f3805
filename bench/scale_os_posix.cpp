#include "scale_os.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstring>

namespace scale {

std::int64_t residentKiB() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) {
        return -1;
    }
    char line[256];
    long long kib = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            std::sscanf(line + 6, "%lld", &kib);
            break;
        }
    }
    std::fclose(status);
    return kib;
}

std::int64_t raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return -1;
    }
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return static_cast<std::int64_t>(limit.rlim_cur);
}

} // namespace scale
