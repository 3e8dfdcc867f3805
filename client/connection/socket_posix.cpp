#include "socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace dravolin::net {

bool startup() {
    return true;
}
void cleanup() {}
int wouldBlockError() {
    return EWOULDBLOCK;
}

Socket::~Socket() {
    close();
}

bool Socket::isOpen() const {
    std::lock_guard guard(lock_);
    return handle_ >= 0;
}

int Socket::open(const std::string& host, std::uint16_t port) {
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
        if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found) {
            address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
            ::freeaddrinfo(found);
        }
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
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

long Socket::receive(char* buffer, std::size_t capacity, int& error) {
    if (pendingError_ != 0) {
        error = pendingError_;
        return -1;
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
