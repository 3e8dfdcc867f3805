#include "socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

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

// A connect that gives up after `timeoutMs`; the error code, or 0 when connected.
int connectWithin(int fd, const sockaddr_in& address, int timeoutMs) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return errno;
    }
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            const int ready = waitFor(fd, POLLOUT, timeoutMs);
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0) {
                error = -ready;
            } else {
                socklen_t size = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                    error = errno;
                }
            }
        }
    }
    if (::fcntl(fd, F_SETFL, flags) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

} // namespace

Socket::~Socket() {
    close();
}

int Socket::open(const std::string& host, std::uint16_t port, int timeoutMs) {
    close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        return errno;
    }
    {
        std::lock_guard guard(lock_);
        if (interrupted_) {
            ::close(fd);
            return ECANCELED;
        }
        handle_ = fd;
        pendingError_ = 0;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = INADDR_NONE;
    in_addr parsed{};
    // inet_aton accepts what the Windows parser does; 255.255.255.255 is resolved as a name.
    if (::inet_aton(host.c_str(), &parsed) != 0 && parsed.s_addr != INADDR_NONE) {
        address.sin_addr = parsed;
    } else {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
            close();
            return kHostNotFound;
        }
        address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        ::freeaddrinfo(found);
    }
    if (timeoutMs >= 0) {
        pendingError_ = connectWithin(fd, address, timeoutMs);
    } else if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        pendingError_ = errno;
    }
    return 0;
}

long Socket::send(const char* data, std::size_t length, int& error) {
    if (pendingError_ != 0) {
        error = pendingError_;
        return -1;
    }
    const ssize_t sent = ::send(static_cast<int>(handle_), data, length, MSG_NOSIGNAL);
    if (sent < 0) {
        error = errno;
        return -1;
    }
    return static_cast<long>(sent);
}

long Socket::receive(char* buffer, std::size_t capacity, int& error, int timeoutMs) {
    if (pendingError_ != 0) {
        error = pendingError_;
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
        error = errno;
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
