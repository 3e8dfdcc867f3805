#include "scale_os.h"

#include "proc_info.h"

#include <sys/resource.h>

namespace scale {

std::int64_t residentKiB() {
    return bench::memoryStatus().rssKiB;
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
