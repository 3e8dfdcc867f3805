#include "platform_text.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cwctype>

namespace ipseccfg {

std::u16string LowerCaseText(std::u16string text) {
    for (auto& c : text)
        c = static_cast<char16_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

bool ResolveAddress(const std::u16string& text, std::uint32_t& address) {
    // Host names here are plain ASCII; anything else cannot name a host.
    std::string narrow;
    for (char16_t c : text) {
        if (c == 0 || c > 0x7F)
            return false;
        narrow.push_back(static_cast<char>(c));
    }
    const in_addr_t literal = inet_addr(narrow.c_str());
    if (literal != INADDR_NONE) {
        address = ntohl(literal);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(narrow.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    address = ntohl(in->sin_addr.s_addr);
    freeaddrinfo(found);
    return true;
}

} // namespace ipseccfg
