#include "executable_path.h"

#include <unistd.h>

#include <climits>

namespace dravolin::os {

char pathSeparator() {
    return '/';
}

std::string executablePath() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return {};
    }
    return std::string(path, static_cast<std::size_t>(n));
}

} // namespace dravolin::os
