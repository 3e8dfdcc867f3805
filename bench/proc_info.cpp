#include "proc_info.h"

#include <charconv>
#include <fstream>
#include <iterator>
#include <malloc.h>
#include <sstream>
#include <string>
#include <sys/resource.h>

namespace bench {

namespace {

// Value of "Name:   123 kB" when the line starts with name, else -1.
std::int64_t fieldValue(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line.substr(0, name.size()) != name ||
        line[name.size()] != ':')
        return -1;
    std::size_t i = name.size() + 1;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    std::int64_t value = -1;
    auto [ptr, ec] = std::from_chars(line.data() + i, line.data() + line.size(), value);
    if (ec != std::errc() || ptr == line.data() + i)
        return -1;
    return value;
}

} // namespace

MemoryStatus parseStatus(std::string_view text) {
    MemoryStatus m;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (auto v = fieldValue(line, "VmRSS"); v >= 0)
            m.rssKiB = v;
        else if (auto h = fieldValue(line, "VmHWM"); h >= 0)
            m.peakKiB = h;
        else if (auto t = fieldValue(line, "Threads"); t >= 0)
            m.threads = t;
    }
    return m;
}

MemoryStatus memoryStatus() {
    std::ifstream in("/proc/self/status");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parseStatus(text);
}

bool resetPeak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

void trimHeap() {
    malloc_trim(0);
}

double processCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto secs = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    return secs(ru.ru_utime) + secs(ru.ru_stime);
}

} // namespace bench
