#include "socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace dravolin::net {

bool startup() {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 0), &data) != 0) {
        return false;
    }
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 0) {
        ::WSACleanup();
        return false;
    }
    return true;
}

void cleanup() {
    ::WSACleanup();
}

int wouldBlockError() {
    return WSAEWOULDBLOCK;
}

namespace {
SOCKET native(std::intptr_t handle) {
    return static_cast<SOCKET>(handle);
}
constexpr std::intptr_t kNone = -1;
} // namespace

Socket::~Socket() {
    close();
}

bool Socket::isOpen() const {
    std::lock_guard guard(lock_);
    return handle_ != kNone;
}

int Socket::open(const std::string& host, std::uint16_t port) {
    close();
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return ::WSAGetLastError();
    }
    {
        std::lock_guard guard(lock_);
        if (interrupted_) {
            ::closesocket(s);
            return WSAEINTR;
        }
        handle_ = static_cast<std::intptr_t>(s);
        pendingError_ = 0;
    }
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::inet_addr(host.c_str());
    if (address.sin_addr.s_addr == INADDR_NONE) {
        if (const hostent* entry = ::gethostbyname(host.c_str());
            entry && entry->h_addrtype == AF_INET && entry->h_addr_list[0]) {
            std::memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof address.sin_addr);
        }
    }
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
        pendingError_ = ::WSAGetLastError();
    }
    return 0;
}

long Socket::send(const char* data, std::size_t length, int& error) {
    if (pendingError_ != 0) {
        error = pendingError_;
        return -1;
    }
    const int sent = ::send(native(handle_), data, static_cast<int>(length), 0);
    if (sent == SOCKET_ERROR) {
        error = ::WSAGetLastError();
        return -1;
    }
    return sent;
}

long Socket::receive(char* buffer, std::size_t capacity, int& error) {
    if (pendingError_ != 0) {
        error = pendingError_;
        return -1;
    }
    const int got = ::recv(native(handle_), buffer, static_cast<int>(capacity), 0);
    if (got == SOCKET_ERROR) {
        error = ::WSAGetLastError();
        return -1;
    }
    return got;
}

int Socket::shutdownSend() {
    std::lock_guard guard(lock_);
    if (handle_ == kNone) {
        return WSAENOTSOCK;
    }
    return ::shutdown(native(handle_), SD_SEND) == 0 ? 0 : ::WSAGetLastError();
}

void Socket::interrupt() {
    std::lock_guard guard(lock_);
    interrupted_ = true;
    if (handle_ != kNone) {
        ::shutdown(native(handle_), SD_BOTH);
    }
}

void Socket::close() {
    std::lock_guard guard(lock_);
    if (handle_ != kNone) {
        ::closesocket(native(handle_));
        handle_ = kNone;
    }
}

} // namespace dravolin::net
