#include "resources.h"

#include <sstream>

namespace dravolin::robust {

std::string ResourceUse::describe() const {
    std::ostringstream out;
    out << "threads " << threads << ", handles " << handles << ", sockets " << sockets
        << ", memory " << memoryBytes / 1024 << " KiB";
    return out.str();
}

} // namespace dravolin::robust
