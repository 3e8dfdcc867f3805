#include "socket.h"

#include "connect_race.h"
#include "socket_os.h"
#include "system_error.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

namespace dravolin::net {

bool startup() {
    return true;
}
void cleanup() {}
int timedOutError() {
    return ETIMEDOUT;
}

namespace {

// Waits until `fd` is ready for `events` or `timeoutMs` has passed: 1 ready, 0 timed out,
// otherwise the negated error code. Signals do not shorten the wait.
int waitFor(int fd, short events, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready >= 0) {
            return ready > 0 ? 1 : 0;
        }
        if (errno != EINTR) {
            return -errno;
        }
    }
}

struct AddressList {
    addrinfo* head = nullptr;
    ~AddressList() {
        if (head) {
            ::freeaddrinfo(head);
        }
    }
};

std::string numericText(const addrinfo& entry) {
    char text[INET6_ADDRSTRLEN] = "?";
    ::getnameinfo(entry.ai_addr, entry.ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    return text;
}

int applyKeepAlive(int fd, const KeepAlive& keepAlive) {
    const int on = keepAlive.idleMs > 0 ? 1 : 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        return errno;
    }
    unsigned userTimeout = 0;
    if (on) {
        const auto seconds = [](int ms, int most) {
            return std::clamp((ms + 999) / 1000, 1, most);
        };
        const int idle = seconds(keepAlive.idleMs, 32767);
        const int interval = seconds(std::max(1, keepAlive.intervalMs), 32767);
        const int count = std::clamp(keepAlive.count, 1, 127);
        if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
            ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
            ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0) {
            return errno;
        }
        // Data sent and never acknowledged stops keep-alive probes; the same total ends it.
        userTimeout = static_cast<unsigned>(std::min<long long>(
            (static_cast<long long>(idle) + 1LL * interval * count) * 1000, 0x7fffffff));
    }
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
    return 0;
}

} // namespace

namespace sys {

int resolve(const std::string& host, std::uint16_t port, std::vector<Address>& addresses,
            std::vector<std::string>& endpoints, std::string& why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    AddressList list;
    const int resolved =
        ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list.head);
    if (resolved != 0 || !list.head) {
        why = resolved == EAI_SYSTEM
                  ? systemErrorText(static_cast<std::uint32_t>(errno))
                  : std::string(resolved != 0 ? ::gai_strerror(resolved) : "no address");
        return kHostNotFound;
    }
    for (const addrinfo* entry = list.head; entry; entry = entry->ai_next) {
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
    const int fd =
        ::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        return errno;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const auto* target = reinterpret_cast<const sockaddr*>(address.bytes.data());
    if (::connect(fd, target, static_cast<socklen_t>(address.bytes.size())) == 0 ||
        errno == EINPROGRESS) {
        handle = fd;
        return 0;
    }
    const int error = errno;
    ::close(fd);
    return error;
}

int waitConnects(const std::vector<Handle>& handles, int waitMs, std::vector<int>& outcomes) {
    std::vector<pollfd> polled;
    for (const Handle handle : handles) {
        polled.push_back({static_cast<int>(handle), POLLOUT, 0});
    }
    const int ready = ::poll(polled.data(), polled.size(), waitMs);
    if (ready < 0) {
        return errno == EINTR ? 0 : errno;
    }
    for (std::size_t i = 0; ready > 0 && i < polled.size(); ++i) {
        if (polled[i].revents == 0) {
            continue;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(polled[i].fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
            error = errno;
        }
        outcomes[i] = error;
    }
    return 0;
}

void finishConnect(Handle handle, const KeepAlive& keepAlive) {
    const int fd = static_cast<int>(handle);
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    applyKeepAlive(fd, keepAlive);
}

void closeHandle(Handle handle) {
    ::close(static_cast<int>(handle));
}

int interruptedError() {
    return ECANCELED;
}

int refusedError() {
    return ECONNREFUSED;
}

} // namespace sys

Socket::~Socket() {
    close();
}

int Socket::setKeepAlive(const KeepAlive& keepAlive) {
    std::lock_guard guard(lock_);
    if (handle_ < 0) {
        return 0;
    }
    return applyKeepAlive(static_cast<int>(handle_), keepAlive);
}

long Socket::send(const char* data, std::size_t length, int& error) {
    if (handle_ < 0) {
        error = ENOTCONN;
        return -1;
    }
    const ssize_t sent = ::send(static_cast<int>(handle_), data, length, MSG_NOSIGNAL);
    if (sent < 0) {
        error = errno == ETIMEDOUT ? kPeerStoppedAnswering : errno;
        return -1;
    }
    return static_cast<long>(sent);
}

long Socket::receive(char* buffer, std::size_t capacity, int& error, int timeoutMs) {
    if (handle_ < 0) {
        error = ENOTCONN;
        return -1;
    }
    if (timeoutMs >= 0) {
        // interrupt() shuts the socket down, which makes it readable (end of stream) at once.
        const int ready = waitFor(static_cast<int>(handle_), POLLIN, timeoutMs);
        if (ready <= 0) {
            error = ready == 0 ? ETIMEDOUT : -ready;
            return -1;
        }
    }
    ssize_t got;
    do {
        got = ::recv(static_cast<int>(handle_), buffer, capacity, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        // An established connection times out only when keep-alive or sent data went unanswered.
        error = errno == ETIMEDOUT ? kPeerStoppedAnswering : errno;
        return -1;
    }
    return static_cast<long>(got);
}

int Socket::shutdownSend() {
    std::lock_guard guard(lock_);
    if (handle_ < 0) {
        return EBADF;
    }
    return ::shutdown(static_cast<int>(handle_), SHUT_WR) == 0 ? 0 : errno;
}

void Socket::interrupt() {
    std::lock_guard guard(lock_);
    interrupted_ = true;
    if (handle_ >= 0) {
        ::shutdown(static_cast<int>(handle_), SHUT_RDWR);
    }
}

void Socket::close() {
    std::lock_guard guard(lock_);
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
}

} // namespace dravolin::net
