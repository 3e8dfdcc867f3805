#include "executable_path.h"

#include <windows.h>

namespace dravolin::os {

char pathSeparator() {
    return '\\';
}

std::string executablePath() {
    char path[MAX_PATH + 1] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return {};
    }
    return std::string(path, n);
}

} // namespace dravolin::os
