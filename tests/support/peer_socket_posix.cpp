#include "peer_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testpeer {

bool socketsStart() {
    return true;
}

namespace {
bool waitReadable(int fd, Millis limit) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(limit.count())) > 0;
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
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    handle_ = fd;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return 0;
    }
    return ntohs(a.sin_port);
}

PeerSocket PeerSocket::accept(Millis limit) {
    if (!valid() || !waitReadable(static_cast<int>(handle_), limit)) {
        return {};
    }
    const int fd = ::accept4(static_cast<int>(handle_), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return PeerSocket(fd);
}

bool PeerSocket::connectLoopback(std::uint16_t port) {
    close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    handle_ = fd;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close();
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

bool PeerSocket::readable(Millis limit) {
    return valid() && waitReadable(static_cast<int>(handle_), limit);
}

long PeerSocket::receive(char* buffer, std::size_t capacity, Millis limit) {
    if (!valid() || !waitReadable(static_cast<int>(handle_), limit)) {
        return -1;
    }
    return static_cast<long>(::recv(static_cast<int>(handle_), buffer, capacity, 0));
}

bool PeerSocket::send(const char* data, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n =
            ::send(static_cast<int>(handle_), data + done, length - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void PeerSocket::shutdownSend() {
    if (valid()) {
        ::shutdown(static_cast<int>(handle_), SHUT_WR);
    }
}

void PeerSocket::abort() {
    if (valid()) {
        linger l{1, 0};
        ::setsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }
}

void PeerSocket::close() {
    if (valid()) {
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
}

} // namespace testpeer
