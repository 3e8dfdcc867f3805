#include "multi_string.h"

namespace ipseccfg {

std::vector<std::uint8_t> JoinMultiString(const std::vector<std::string>& list) {
    std::vector<std::uint8_t> bytes;
    for (const std::string& s : list) {
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.push_back(0);
    }
    bytes.push_back(0);
    return bytes;
}

bool SplitMultiString(const std::uint8_t* data, std::size_t size,
                      std::vector<std::string>& list) noexcept {
    list.clear();
    try {
        std::size_t pos = 0;
        while (pos < size) {
            if (data[pos] == 0) {
                // The terminating empty string: it must end the value.
                if (pos + 1 == size)
                    return true;
                break;
            }
            std::size_t end = pos;
            while (end < size && data[end] != 0)
                ++end;
            if (end == size)
                break; // last string without its NUL
            list.emplace_back(reinterpret_cast<const char*>(data + pos), end - pos);
            pos = end + 1;
        }
    } catch (...) {
    }
    list.clear();
    return false;
}

} // namespace ipseccfg
