#include "log_names.h"

namespace dravolin::protocol {

bool isPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || c == ':' || u < 0x20 || u == 0x7f) {
            return false;
        }
    }
    return true;
}

std::string normaliseLogDirectory(std::string_view directory, char separator) {
    std::string result(directory);
    if (!result.empty() && result.back() != '/' && result.back() != '\\') {
        result.push_back(separator);
    }
    return result;
}

std::string directoryOfPath(std::string_view path, char separator) {
    const auto cut =
        path.find_last_of(separator == '/' ? std::string_view("/") : std::string_view("\\/"));
    if (cut == std::string_view::npos) {
        std::string result(path);
        result.push_back(separator);
        return result;
    }
    return std::string(path.substr(0, cut + 1));
}

} // namespace dravolin::protocol
