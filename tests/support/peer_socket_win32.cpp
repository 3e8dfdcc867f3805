#include "peer_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace testpeer {

bool socketsStart() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

namespace {
SOCKET native(std::intptr_t h) {
    return static_cast<SOCKET>(h);
}
bool waitReadable(SOCKET s, Millis limit) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{static_cast<long>(limit.count() / 1000),
               static_cast<long>((limit.count() % 1000) * 1000)};
    return ::select(0, &set, nullptr, nullptr, &tv) > 0;
}
} // namespace

PeerSocket::~PeerSocket() {
    close();
}

PeerSocket& PeerSocket::operator=(PeerSocket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

std::uint16_t PeerSocket::listenLoopback(int backlog) {
    close();
    socketsStart();
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return 0;
    }
    handle_ = static_cast<std::intptr_t>(s);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, backlog) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return 0;
    }
    return ::ntohs(a.sin_port);
}

PeerSocket PeerSocket::accept(Millis limit) {
    if (!valid() || !waitReadable(native(handle_), limit)) {
        return {};
    }
    const SOCKET s = ::accept(native(handle_), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        return {};
    }
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return PeerSocket(static_cast<std::intptr_t>(s));
}

bool PeerSocket::connectLoopback(std::uint16_t port) {
    close();
    socketsStart();
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return false;
    }
    handle_ = static_cast<std::intptr_t>(s);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    a.sin_port = ::htons(port);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close();
        return false;
    }
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return true;
}

bool PeerSocket::readable(Millis limit) {
    return valid() && waitReadable(native(handle_), limit);
}

long PeerSocket::receive(char* buffer, std::size_t capacity, Millis limit) {
    if (!valid() || !waitReadable(native(handle_), limit)) {
        return -1;
    }
    const int n = ::recv(native(handle_), buffer, static_cast<int>(capacity), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

bool PeerSocket::send(const char* data, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const int n = ::send(native(handle_), data + done, static_cast<int>(length - done), 0);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void PeerSocket::shutdownSend() {
    if (valid()) {
        ::shutdown(native(handle_), SD_SEND);
    }
}

void PeerSocket::abort() {
    if (valid()) {
        linger l{1, 0};
        ::setsockopt(native(handle_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                     sizeof l);
        close();
    }
}

void PeerSocket::close() {
    if (valid()) {
        ::closesocket(native(handle_));
        handle_ = -1;
    }
}

} // namespace testpeer
