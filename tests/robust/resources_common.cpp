#include "resources.h"

#include <chrono>
#include <sstream>
#include <thread>

namespace dravolin::robust {

std::string ResourceUse::describe() const {
    std::ostringstream out;
    out << "threads " << threads << ", handles " << handles << ", sockets " << sockets
        << ", memory " << memoryBytes / 1024 << " KiB";
    if (heapBytes >= 0)
        out << ", heap in use " << heapBytes / 1024 << " KiB";
    return out.str();
}

ResourceUse SettledResources(const ResourceUse& target) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        const ResourceUse now = MeasureResources();
        if ((now.threads <= target.threads && now.handles <= target.handles) ||
            std::chrono::steady_clock::now() > deadline)
            return now;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ResourceUse StableResources() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    ResourceUse last = MeasureResources();
    int same = 0;
    while (same < 10 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const ResourceUse now = MeasureResources();
        same = (now.threads == last.threads && now.handles == last.handles) ? same + 1 : 0;
        last = now;
    }
    return last;
}

} // namespace dravolin::robust
