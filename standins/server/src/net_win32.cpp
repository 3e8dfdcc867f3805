#include "net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <mutex>

namespace dravolin::testserver::net {

namespace {

SOCKET sock(Handle h) {
    return static_cast<SOCKET>(h);
}
Handle handleOf(SOCKET s) {
    return s == INVALID_SOCKET ? kInvalidHandle : static_cast<Handle>(s);
}

// An IPv4 or IPv6 address (the latter also in brackets); the family is in sa.ss_family.
bool makeAddress(std::string address, std::uint16_t port, sockaddr_storage& sa, int& size) {
    std::memset(&sa, 0, sizeof sa);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&sa);
    unsigned long a = inet_addr(address.c_str());
    if (a != INADDR_NONE || address == "255.255.255.255") {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = a;
        size = sizeof *v4;
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&sa);
    if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) != 1)
        return false;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    size = sizeof *v6;
    return true;
}

std::string lastError(const char* what) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s: error %d", what, WSAGetLastError());
    return buf;
}

} // namespace

NetworkInit::NetworkInit() {
    WSADATA data;
    ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

NetworkInit::~NetworkInit() {
    if (ok_)
        WSACleanup();
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.release();
    }
    return *this;
}

bool Socket::sendAll(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        int piece = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
        int n = ::send(sock(handle_), p, piece, 0);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

long Socket::receive(void* buffer, std::size_t capacity) {
    int cap = capacity > 0x40000000 ? 0x40000000 : static_cast<int>(capacity);
    int n = ::recv(sock(handle_), static_cast<char*>(buffer), cap, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

void Socket::setNoDelay() {
    BOOL one = TRUE;
    ::setsockopt(sock(handle_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                 sizeof one);
}

void Socket::setReceiveTimeout(unsigned milliseconds) {
    DWORD ms = milliseconds;
    ::setsockopt(sock(handle_), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
                 sizeof ms);
}

void Socket::shutdownSend() {
    if (valid())
        ::shutdown(sock(handle_), SD_SEND);
}

void Socket::closeWithReset() {
    if (!valid())
        return;
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    ::setsockopt(sock(handle_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    close();
}

void Socket::close() {
    if (valid())
        ::closesocket(sock(release()));
}

bool interruptHandle(Handle handle) {
    if (handle == kInvalidHandle)
        return false;
    ::shutdown(sock(handle), SD_BOTH);
    ::closesocket(sock(handle));
    return true;
}

bool Listener::open(const std::string& address, std::uint16_t port, std::string& error) {
    sockaddr_storage sa;
    int size = 0;
    if (!makeAddress(address, port, sa, size)) {
        error = "not an IPv4 or IPv6 address: " + address;
        return false;
    }
    Socket s(handleOf(::socket(sa.ss_family, SOCK_STREAM, IPPROTO_TCP)));
    if (!s.valid()) {
        error = lastError("socket");
        return false;
    }
    // An exclusive port: another program cannot bind it behind our back.
    BOOL one = TRUE;
    ::setsockopt(sock(s.handle()), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&one), sizeof one);
    if (sa.ss_family == AF_INET6) {
        // "::" takes IPv4 too (dual stack).
        DWORD off = 0;
        ::setsockopt(sock(s.handle()), IPPROTO_IPV6, IPV6_V6ONLY,
                     reinterpret_cast<const char*>(&off), sizeof off);
    }
    if (::bind(sock(s.handle()), reinterpret_cast<sockaddr*>(&sa), size) != 0 ||
        ::listen(sock(s.handle()), 128) != 0) {
        error = lastError("bind/listen");
        return false;
    }
    int len = sizeof sa;
    ::getsockname(sock(s.handle()), reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(reinterpret_cast<sockaddr_in*>(&sa)->sin_port); // same place in both families
    socket_ = std::move(s);
    return true;
}

Socket Listener::accept() {
    for (;;) {
        SOCKET c = ::accept(sock(socket_.handle()), nullptr, nullptr);
        if (c == INVALID_SOCKET && WSAGetLastError() == WSAECONNRESET)
            continue;
        return Socket(handleOf(c));
    }
}

Socket connectTo(const std::string& address, std::uint16_t port) {
    sockaddr_storage sa;
    int size = 0;
    if (!makeAddress(address, port, sa, size))
        return Socket();
    Socket s(handleOf(::socket(sa.ss_family, SOCK_STREAM, IPPROTO_TCP)));
    if (!s.valid())
        return s;
    if (::connect(sock(s.handle()), reinterpret_cast<sockaddr*>(&sa), size) != 0)
        return Socket();
    return s;
}

namespace {
std::mutex gSignalLock;
std::function<void()>* gOnSignal = nullptr;

BOOL WINAPI consoleHandler(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
        std::lock_guard g(gSignalLock);
        if (gOnSignal)
            (*gOnSignal)();
        return TRUE;
    }
    default:
        return FALSE;
    }
}
} // namespace

struct StopSignals::Impl {
    std::function<void()> onSignal;
};

StopSignals::StopSignals(std::function<void()> onSignal) : impl_(new Impl) {
    impl_->onSignal = std::move(onSignal);
    {
        std::lock_guard g(gSignalLock);
        gOnSignal = &impl_->onSignal;
    }
    SetConsoleCtrlHandler(consoleHandler, TRUE);
}

StopSignals::~StopSignals() {
    SetConsoleCtrlHandler(consoleHandler, FALSE);
    {
        std::lock_guard g(gSignalLock);
        gOnSignal = nullptr;
    }
    delete impl_;
}

void useBinaryStdout() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

void preciseTimers() {}

} // namespace dravolin::testserver::net
