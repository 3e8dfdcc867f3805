#include "socket.h"

#include "connect_race.h"
#include "socket_os.h"
#include "system_error.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mstcpip.h> // after winsock2.h: SIO_KEEPALIVE_VALS

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

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
// An established connection that keep-alive found dead: WSAENETRESET for a call in progress,
// WSAETIMEDOUT or WSAECONNABORTED for the next one (unacknowledged data ran out its time).
int stoppedAnsweringOr(int error) {
    return error == WSAENETRESET || error == WSAETIMEDOUT || error == WSAECONNABORTED
               ? kPeerStoppedAnswering
               : error;
}
} // namespace

namespace {
SOCKET native(std::intptr_t handle) {
    return static_cast<SOCKET>(handle);
}
constexpr std::intptr_t kNone = -1;

// Option numbers of ws2ipdef.h that older headers lack.
constexpr int kTcpMaxRetransmitTime = 5; // TCP_MAXRT
constexpr int kTcpKeepCount = 16;        // TCP_KEEPCNT

// Time-limited receives look at the interrupt mark between slices of this length.
constexpr int kSliceMs = 50;

// Waits until `s` is readable or `timeoutMs` has passed, ending early once `interrupted`
// holds: 1 ready, 0 timed out, otherwise the negated error code.
template <typename Interrupted> int waitReadable(SOCKET s, int timeoutMs, Interrupted interrupted) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (interrupted()) {
            return -WSAEINTR;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const long slice = std::max<long>(0, std::min<long>(left.count(), kSliceMs));
        timeval limit{slice / 1000, (slice % 1000) * 1000};
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        const int ready = ::select(0, &readable, nullptr, nullptr, &limit);
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

struct AddressList {
    ADDRINFOA* head = nullptr;
    ~AddressList() {
        if (head) {
            ::freeaddrinfo(head);
        }
    }
};

std::string numericText(const ADDRINFOA& entry) {
    char text[NI_MAXHOST] = "?";
    ::getnameinfo(entry.ai_addr, static_cast<socklen_t>(entry.ai_addrlen), text, sizeof text,
                  nullptr, 0, NI_NUMERICHOST);
    return text;
}

// The keep-alive settings: SIO_KEEPALIVE_VALS takes the idle time and the interval; the probe
// count is the system's own (10) unless TCP_KEEPCNT is taken (Windows 10 1703 and later).
// TCP_MAXRT bounds data that goes unacknowledged by the same total, where it is taken.
int applyKeepAlive(SOCKET s, const KeepAlive& keepAlive) {
    tcp_keepalive values{};
    values.onoff = keepAlive.idleMs > 0 ? 1 : 0;
    values.keepalivetime = static_cast<ULONG>(std::max(1, keepAlive.idleMs));
    values.keepaliveinterval = static_cast<ULONG>(std::max(1, keepAlive.intervalMs));
    DWORD returned = 0;
    if (::WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                   nullptr) == SOCKET_ERROR) {
        return ::WSAGetLastError();
    }
    if (values.onoff) {
        const DWORD count = static_cast<DWORD>(std::clamp(keepAlive.count, 1, 255));
        ::setsockopt(s, IPPROTO_TCP, kTcpKeepCount, reinterpret_cast<const char*>(&count),
                     sizeof count);
    }
    if (values.onoff) {
        const long long totalMs = keepAlive.idleMs + 1LL * keepAlive.intervalMs * keepAlive.count;
        const DWORD seconds =
            static_cast<DWORD>(std::clamp<long long>((totalMs + 999) / 1000, 1, 65535));
        ::setsockopt(s, IPPROTO_TCP, kTcpMaxRetransmitTime, reinterpret_cast<const char*>(&seconds),
                     sizeof seconds);
    }
    return 0;
}
} // namespace

namespace sys {

int resolve(const std::string& host, std::uint16_t port, std::vector<Address>& addresses,
            std::vector<std::string>& endpoints, std::string& why) {
    ADDRINFOA hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    AddressList list;
    const int resolved =
        ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list.head);
    if (resolved != 0 || !list.head) {
        why = resolved != 0 ? systemErrorText(static_cast<std::uint32_t>(resolved))
                            : std::string("no address");
        return kHostNotFound;
    }
    for (const ADDRINFOA* entry = list.head; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET || entry->ai_family == AF_INET6) {
            addresses.push_back(
                {entry->ai_family,
                 std::string(reinterpret_cast<const char*>(entry->ai_addr), entry->ai_addrlen)});
            endpoints.push_back(endpointText(numericText(*entry), port));
        }
    }
    if (addresses.empty()) {
        why = "no IPv4 or IPv6 address";
        return kHostNotFound;
    }
    return 0;
}

int startConnect(const Address& address, Handle& handle) {
    const SOCKET s = ::socket(address.family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return ::WSAGetLastError();
    }
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    u_long nonBlocking = 1;
    int error = 0;
    const auto* target = reinterpret_cast<const sockaddr*>(address.bytes.data());
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        error = ::WSAGetLastError();
    } else if (::connect(s, target, static_cast<int>(address.bytes.size())) == SOCKET_ERROR) {
        error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            error = 0;
        }
    }
    if (error != 0) {
        ::closesocket(s);
        return error;
    }
    handle = static_cast<Handle>(s);
    return 0;
}

// A connect in flight shows as writable once connected, in the except set when failed.
int waitConnects(const std::vector<Handle>& handles, int waitMs, std::vector<int>& outcomes) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    for (const Handle handle : handles) {
        FD_SET(native(handle), &writable);
        FD_SET(native(handle), &failed);
    }
    timeval limit{waitMs / 1000, (waitMs % 1000) * 1000};
    const int ready = ::select(0, nullptr, &writable, &failed, &limit);
    if (ready == SOCKET_ERROR) {
        return ::WSAGetLastError();
    }
    for (std::size_t i = 0; ready > 0 && i < handles.size(); ++i) {
        const SOCKET s = native(handles[i]);
        if (!FD_ISSET(s, &writable) && !FD_ISSET(s, &failed)) {
            continue;
        }
        int error = 0;
        int size = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) ==
            SOCKET_ERROR) {
            error = ::WSAGetLastError();
        }
        if (error == 0 && !FD_ISSET(s, &writable)) {
            error = WSAECONNREFUSED; // failed, and the system kept no code for it
        }
        outcomes[i] = error;
    }
    return 0;
}

void finishConnect(Handle handle, const KeepAlive& keepAlive) {
    u_long blocking = 0;
    ::ioctlsocket(native(handle), FIONBIO, &blocking);
    applyKeepAlive(native(handle), keepAlive);
}

void closeHandle(Handle handle) {
    ::closesocket(native(handle));
}

int interruptedError() {
    return WSAEINTR;
}

int refusedError() {
    return WSAECONNREFUSED;
}

} // namespace sys

Socket::~Socket() {
    close();
}

int Socket::setKeepAlive(const KeepAlive& keepAlive) {
    std::lock_guard guard(lock_);
    if (handle_ == kNone) {
        return 0;
    }
    return applyKeepAlive(native(handle_), keepAlive);
}

long Socket::send(const char* data, std::size_t length, int& error) {
    if (handle_ == kNone) {
        error = WSAENOTCONN;
        return -1;
    }
    const int sent = ::send(native(handle_), data, static_cast<int>(length), 0);
    if (sent == SOCKET_ERROR) {
        error = stoppedAnsweringOr(::WSAGetLastError());
        return -1;
    }
    return sent;
}

long Socket::receive(char* buffer, std::size_t capacity, int& error, int timeoutMs) {
    if (handle_ == kNone) {
        error = WSAENOTCONN;
        return -1;
    }
    if (timeoutMs >= 0) {
        const int ready = waitReadable(native(handle_), timeoutMs, [this] {
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
        error = stoppedAnsweringOr(::WSAGetLastError());
        return -1;
    }
    if (got == 0) {
        // Some socket layers end a connection that keep-alive found dead as if the peer had
        // closed it; the pending error code tells the two apart.
        int pending = 0;
        int size = sizeof pending;
        if (::getsockopt(native(handle_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending),
                         &size) == 0 &&
            stoppedAnsweringOr(pending) == kPeerStoppedAnswering) {
            error = kPeerStoppedAnswering;
            return -1;
        }
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
