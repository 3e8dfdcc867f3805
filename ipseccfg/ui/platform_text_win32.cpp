#include "platform_text.h"

// Windows Sockets must come before the rest of the platform headers.
#include <winsock2.h>

#include <windows.h>

#include <vector>

namespace ipseccfg {

std::u16string LowerCaseText(std::u16string text) {
    if (!text.empty())
        CharLowerBuffW(reinterpret_cast<wchar_t*>(text.data()), static_cast<DWORD>(text.size()));
    return text;
}

namespace {

std::string ToThreadAnsi(const std::u16string& text) {
    if (text.empty())
        return {};
    const int size =
        WideCharToMultiByte(CP_THREAD_ACP, 0, reinterpret_cast<const wchar_t*>(text.data()),
                            static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, reinterpret_cast<const wchar_t*>(text.data()),
                        static_cast<int>(text.size()), narrow.data(), size, nullptr, nullptr);
    return narrow;
}

// Windows Sockets, started for version 2.0 exactly and ended on scope exit.
class WinsockSession {
  public:
    WinsockSession() {
        WSADATA data{};
        started_ = WSAStartup(MAKEWORD(2, 0), &data) == 0;
        usable_ = started_ && data.wVersion == MAKEWORD(2, 0);
    }
    ~WinsockSession() {
        if (started_)
            WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool usable() const { return usable_; }

  private:
    bool started_ = false;
    bool usable_ = false;
};

} // namespace

bool ResolveAddress(const std::u16string& text, std::uint32_t& address) {
    const std::string narrow = ToThreadAnsi(text);
    const unsigned long literal = inet_addr(narrow.c_str());
    if (literal != INADDR_NONE) {
        address = ntohl(literal);
        return true;
    }
    WinsockSession session;
    if (!session.usable())
        return false;
    const hostent* entry = gethostbyname(narrow.c_str());
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4 ||
        entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr)
        return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(entry->h_addr_list[0]);
    address = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
              (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
    return true;
}

} // namespace ipseccfg
