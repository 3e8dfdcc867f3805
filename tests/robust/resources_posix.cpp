#include "resources.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace dravolin::robust {

namespace {

// Entries of a /proc directory, except "." and "..", and the descriptor
// the walk itself holds open.
template <class Visit> long CountEntries(const char* path, Visit visit) {
    DIR* dir = opendir(path);
    if (!dir)
        return -1;
    const int own = dirfd(dir);
    long count = 0;
    while (const dirent* e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        if (std::to_string(own) == e->d_name)
            continue;
        ++count;
        visit(e->d_name);
    }
    closedir(dir);
    return count;
}

// A thread that has ended (and may already be joined) can stay listed for a moment while the
// kernel releases it: from the start of its exit (flag PF_EXITING, set before a joiner is
// released) it runs no user code any more; later it shows as a zombie or dead task.
bool TaskHasEnded(const char* tid) {
    const std::string path = std::string("/proc/self/task/") + tid + "/stat";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        return true; // already gone
    char line[512] = {};
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    const char* close = read ? std::strrchr(line, ')') : nullptr;
    if (!close || close[1] != ' ')
        return false;
    if (close[2] == 'Z' || close[2] == 'X')
        return true;
    // After the state: ppid, pgrp, session, tty_nr, tpgid, then the flags.
    unsigned flags = 0;
    if (std::sscanf(close + 3, "%*d %*d %*d %*d %*d %u", &flags) != 1)
        return false;
    constexpr unsigned kExiting = 0x4; // PF_EXITING
    return (flags & kExiting) != 0;
}

} // namespace

ResourceUse MeasureResources() {
    ResourceUse use;
    long ended = 0;
    use.threads = CountEntries("/proc/self/task", [&ended](const char* tid) {
        if (TaskHasEnded(tid))
            ++ended;
    });
    if (use.threads > 0)
        use.threads -= ended;
    long sockets = 0;
    use.handles = CountEntries("/proc/self/fd", [&sockets](const char* name) {
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::strncmp(target, "socket:", 7) == 0)
            ++sockets;
    });
    use.sockets = sockets;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        long size = 0, resident = 0;
        if (std::fscanf(f, "%ld %ld", &size, &resident) == 2)
            use.memoryBytes = static_cast<std::int64_t>(resident) * sysconf(_SC_PAGESIZE);
        std::fclose(f);
    }
    const struct mallinfo2 heap = mallinfo2();
    use.heapBytes = static_cast<std::int64_t>(heap.uordblks + heap.hblkhd);
    return use;
}

} // namespace dravolin::robust
