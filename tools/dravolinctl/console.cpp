#include "console.h"

#include <cstdlib>
#include <iostream>
#include <iterator>

namespace dravolinctl {

std::optional<std::string> SystemConsole::readSecret(const std::string& prompt) {
    std::cerr << prompt << std::flush;
    std::string line;
    bool got = false;
    {
        const auto quiet = echoOff();
        got = static_cast<bool>(std::getline(std::cin, line));
    }
    std::cerr << "\n";
    if (!got)
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::optional<std::string> SystemConsole::environment(const char* name) const {
    const char* v = std::getenv(name);
    if (!v)
        return std::nullopt;
    return std::string(v);
}

std::optional<std::string> SystemConsole::readAllInput() {
    std::string text(std::istreambuf_iterator<char>(std::cin), {});
    if (std::cin.bad())
        return std::nullopt;
    return text;
}

} // namespace dravolinctl
