#include "socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
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

int timedOutError() {
    return WSAETIMEDOUT;
}

namespace {
SOCKET native(std::intptr_t handle) {
    return static_cast<SOCKET>(handle);
}
constexpr std::intptr_t kNone = -1;

// A shutdown does not wake a select() on a socket that is still connecting, so time-limited
// waits look at the interrupt mark between slices of this length.
constexpr int kSliceMs = 50;

enum class Wait { Read, Connect };

// Waits until `s` is readable (or, for Connect, connected or failed) or `timeoutMs` has
// passed, ending early once `interrupted` holds: 1 ready, 0 timed out, otherwise the negated
// error code.
template <typename Interrupted>
int waitFor(SOCKET s, Wait what, int timeoutMs, Interrupted interrupted) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (interrupted()) {
            return -WSAEINTR;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const long slice = std::max<long>(0, std::min<long>(left.count(), kSliceMs));
        timeval limit{slice / 1000, (slice % 1000) * 1000};
        fd_set primary;
        fd_set failed;
        FD_ZERO(&primary);
        FD_ZERO(&failed);
        FD_SET(s, &primary);
        FD_SET(s, &failed);
        const int ready = what == Wait::Read ? ::select(0, &primary, nullptr, nullptr, &limit)
                                             : ::select(0, nullptr, &primary, &failed, &limit);
        if (ready == SOCKET_ERROR) {
            return -::WSAGetLastError();
        }
        if (ready > 0) {
            return 1;
        }
        if (left.count() <= kSliceMs) {
            return 0;
        }
    }
}
} // namespace

Socket::~Socket() {
    close();
}

int Socket::open(const std::string& host, std::uint16_t port, int timeoutMs) {
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
        const hostent* entry = ::gethostbyname(host.c_str());
        if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0]) {
            close();
            return kHostNotFound;
        }
        std::memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof address.sin_addr);
    }
    if (timeoutMs < 0) {
        if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
            pendingError_ = ::WSAGetLastError();
        }
        return 0;
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        pendingError_ = ::WSAGetLastError();
        return 0;
    }
    int error = 0;
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
        error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            const int ready = waitFor(s, Wait::Connect, timeoutMs, [this] {
                std::lock_guard guard(lock_);
                return interrupted_;
            });
            if (ready == 0) {
                error = WSAETIMEDOUT;
            } else if (ready < 0) {
                error = -ready;
            } else {
                int size = sizeof error;
                if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) ==
                    SOCKET_ERROR) {
                    error = ::WSAGetLastError();
                }
            }
        }
    }
    u_long blocking = 0;
    if (::ioctlsocket(s, FIONBIO, &blocking) == SOCKET_ERROR && error == 0) {
        error = ::WSAGetLastError();
    }
    pendingError_ = error;
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

long Socket::receive(char* buffer, std::size_t capacity, int& error, int timeoutMs) {
    if (pendingError_ != 0) {
        error = pendingError_;
        return -1;
    }
    if (timeoutMs >= 0) {
        const int ready = waitFor(native(handle_), Wait::Read, timeoutMs, [this] {
            std::lock_guard guard(lock_);
            return interrupted_;
        });
        if (ready <= 0) {
            error = ready == 0 ? WSAETIMEDOUT : -ready;
            return -1;
        }
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
