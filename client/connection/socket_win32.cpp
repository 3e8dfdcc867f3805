#include "socket.h"

#include "connect_race.h"
#include "errors.h"

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

std::string errorText(int error) {
    return systemErrorText(static_cast<std::uint32_t>(error));
}

// One socket of an attempt; closed unless kept.
struct Attempt {
    SOCKET socket = INVALID_SOCKET;
    std::size_t index = 0;
    Attempt(SOCKET s, std::size_t i) : socket(s), index(i) {}
    Attempt(Attempt&& other) noexcept
        : socket(std::exchange(other.socket, INVALID_SOCKET)), index(other.index) {}
    Attempt& operator=(Attempt&& other) noexcept {
        std::swap(socket, other.socket);
        index = other.index;
        return *this;
    }
    ~Attempt() {
        if (socket != INVALID_SOCKET) {
            ::closesocket(socket);
        }
    }
};

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

// Starts a non-blocking connect: the socket in flight, or the error code.
int startAttempt(const ADDRINFOA& entry, SOCKET& s) {
    s = ::socket(entry.ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return ::WSAGetLastError();
    }
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    u_long nonBlocking = 1;
    int error = 0;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        error = ::WSAGetLastError();
    } else if (::connect(s, entry.ai_addr, static_cast<int>(entry.ai_addrlen)) == SOCKET_ERROR) {
        error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            return 0;
        }
    }
    if (error != 0) {
        ::closesocket(s);
        s = INVALID_SOCKET;
    }
    return error;
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

Socket::~Socket() {
    close();
}

int Socket::open(const std::string& host, std::uint16_t port, int timeoutMs,
                 const KeepAlive& keepAlive) {
    close();
    report_.clear();
    attempts_.clear();
    {
        std::lock_guard guard(lock_);
        pendingError_ = 0;
        if (interrupted_) {
            pendingError_ = WSAEINTR;
            return 0;
        }
    }
    ADDRINFOA hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    AddressList addresses;
    const std::string portText = std::to_string(port);
    const int resolved =
        ::getaddrinfo(hostForResolver(host).c_str(), portText.c_str(), &hints, &addresses.head);
    if (resolved != 0 || !addresses.head) {
        report_ = resolved != 0 ? errorText(resolved) : std::string("no address");
        return kHostNotFound;
    }
    std::vector<const ADDRINFOA*> entries;
    std::vector<std::string> endpoints;
    for (const ADDRINFOA* entry = addresses.head; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET || entry->ai_family == AF_INET6) {
            entries.push_back(entry);
            endpoints.push_back(endpointText(numericText(*entry), port));
        }
    }
    if (entries.empty()) {
        report_ = "no IPv4 or IPv6 address";
        return kHostNotFound;
    }

    ConnectRace race(std::move(endpoints));
    std::vector<Attempt> flying;
    const auto begin = std::chrono::steady_clock::now();
    const auto elapsedMs = [&begin] {
        return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - begin)
                                          .count());
    };
    const auto interrupted = [this] {
        std::lock_guard guard(lock_);
        return interrupted_;
    };
    int lastError = WSAECONNREFUSED;
    for (;;) {
        const ConnectRace::Step step = race.next(elapsedMs(), timeoutMs);
        if (step.kind == ConnectRace::Step::Kind::Start) {
            SOCKET s = INVALID_SOCKET;
            const int error = startAttempt(*entries[step.index], s);
            if (error != 0) {
                race.failed(step.index, errorText(error));
                lastError = error;
            } else {
                race.started(step.index, elapsedMs());
                flying.emplace_back(s, step.index);
            }
            continue;
        }
        if (step.kind == ConnectRace::Step::Kind::Won) {
            auto winner = std::find_if(flying.begin(), flying.end(),
                                       [&](const Attempt& a) { return a.index == step.index; });
            const SOCKET s = std::exchange(winner->socket, INVALID_SOCKET);
            flying.clear(); // the others are closed
            u_long blocking = 0;
            ::ioctlsocket(s, FIONBIO, &blocking);
            applyKeepAlive(s, keepAlive);
            std::lock_guard guard(lock_);
            if (interrupted_) {
                ::closesocket(s);
                pendingError_ = WSAEINTR;
            } else {
                handle_ = static_cast<std::intptr_t>(s);
            }
            attempts_ = race.outcomes();
            report_ = race.report();
            return 0;
        }
        if (step.kind == ConnectRace::Step::Kind::Failed) {
            pendingError_ = lastError;
            attempts_ = race.outcomes();
            report_ = race.report();
            return 0;
        }
        if (step.kind == ConnectRace::Step::Kind::TimedOut) {
            race.timedOut();
            pendingError_ = WSAETIMEDOUT;
            attempts_ = race.outcomes();
            report_ = race.report();
            return 0;
        }
        if (interrupted()) {
            pendingError_ = WSAEINTR;
            return 0;
        }
        // A connect in flight shows as writable once connected, in the except set when failed.
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        for (const Attempt& attempt : flying) {
            FD_SET(attempt.socket, &writable);
            FD_SET(attempt.socket, &failed);
        }
        const long slice = static_cast<long>(
            step.waitMs < 0 ? kSliceMs : std::min<long long>(step.waitMs, kSliceMs));
        timeval limit{slice / 1000, (slice % 1000) * 1000};
        const int ready = ::select(0, nullptr, &writable, &failed, &limit);
        if (ready == SOCKET_ERROR) {
            pendingError_ = ::WSAGetLastError();
            attempts_ = race.outcomes();
            report_ = race.report();
            return 0;
        }
        for (std::size_t i = flying.size(); ready > 0 && i-- > 0;) {
            const SOCKET s = flying[i].socket;
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
            if (error == 0) {
                race.won(flying[i].index);
                break;
            }
            race.failed(flying[i].index, errorText(error));
            lastError = error;
            flying.erase(flying.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

int Socket::setKeepAlive(const KeepAlive& keepAlive) {
    std::lock_guard guard(lock_);
    if (handle_ == kNone) {
        return 0;
    }
    return applyKeepAlive(native(handle_), keepAlive);
}

long Socket::send(const char* data, std::size_t length, int& error) {
    if (pendingError_ != 0) {
        error = pendingError_;
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
