#include "net.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <thread>
#include <unistd.h>

namespace dravolin::testserver::net {

namespace {

int fd(Handle h) {
    return static_cast<int>(h);
}

// An IPv4 or IPv6 address (the latter also in brackets); the family is in sa.ss_family.
bool makeAddress(std::string address, std::uint16_t port, sockaddr_storage& sa, socklen_t& size) {
    std::memset(&sa, 0, sizeof sa);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&sa);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
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

} // namespace

NetworkInit::NetworkInit() : ok_(true) {}
NetworkInit::~NetworkInit() = default;

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
        ssize_t n = ::send(fd(handle_), p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

long Socket::receive(void* buffer, std::size_t capacity) {
    for (;;) {
        ssize_t n = ::recv(fd(handle_), buffer, capacity, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

void Socket::setNoDelay() {
    int one = 1;
    ::setsockopt(fd(handle_), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void Socket::setReceiveTimeout(unsigned milliseconds) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    ::setsockopt(fd(handle_), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void Socket::shutdownSend() {
    if (valid())
        ::shutdown(fd(handle_), SHUT_WR);
}

void Socket::closeWithReset() {
    if (!valid())
        return;
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    ::setsockopt(fd(handle_), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close();
}

void Socket::close() {
    if (valid())
        ::close(fd(release()));
}

bool interruptHandle(Handle handle) {
    if (handle != kInvalidHandle)
        ::shutdown(fd(handle), SHUT_RDWR);
    return false;
}

bool Listener::open(const std::string& address, std::uint16_t port, std::string& error) {
    sockaddr_storage sa;
    socklen_t size = 0;
    if (!makeAddress(address, port, sa, size)) {
        error = "not an IPv4 or IPv6 address: " + address;
        return false;
    }
    Socket s(::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(fd(s.handle()), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (sa.ss_family == AF_INET6) {
        // "::" takes IPv4 too (dual stack).
        int off = 0;
        ::setsockopt(fd(s.handle()), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    if (::bind(fd(s.handle()), reinterpret_cast<sockaddr*>(&sa), size) != 0 ||
        ::listen(fd(s.handle()), 128) != 0) {
        error = std::string("bind/listen: ") + std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd(s.handle()), reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(reinterpret_cast<sockaddr_in*>(&sa)->sin_port); // same place in both families
    socket_ = std::move(s);
    return true;
}

Socket Listener::accept() {
    for (;;) {
        int c = ::accept4(fd(socket_.handle()), nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0 && (errno == EINTR || errno == ECONNABORTED))
            continue;
        return Socket(c < 0 ? kInvalidHandle : c);
    }
}

Socket connectTo(const std::string& address, std::uint16_t port) {
    sockaddr_storage sa;
    socklen_t size = 0;
    if (!makeAddress(address, port, sa, size))
        return Socket();
    Socket s(::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid())
        return s;
    int r;
    do {
        r = ::connect(fd(s.handle()), reinterpret_cast<sockaddr*>(&sa), size);
    } while (r != 0 && errno == EINTR);
    if (r != 0)
        return Socket();
    return s;
}

struct StopSignals::Impl {
    std::function<void()> onSignal;
    std::thread waiter;
    std::atomic<bool> ending{false};
    sigset_t set;
};

StopSignals::StopSignals(std::function<void()> onSignal) : impl_(new Impl) {
    impl_->onSignal = std::move(onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    sigemptyset(&impl_->set);
    sigaddset(&impl_->set, SIGINT);
    sigaddset(&impl_->set, SIGTERM);
    sigaddset(&impl_->set, SIGUSR1); // our own wake-up at destruction
    pthread_sigmask(SIG_BLOCK, &impl_->set, nullptr);
    // Blocked first, then made deliverable: an ignored signal is discarded,
    // never pending, so sigwait would not see it (a shell starts background
    // jobs with SIGINT ignored).
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    Impl* impl = impl_;
    impl_->waiter = std::thread([impl] {
        for (;;) {
            int sig = 0;
            if (sigwait(&impl->set, &sig) != 0)
                continue;
            if (impl->ending.load())
                return;
            if (sig == SIGINT || sig == SIGTERM)
                impl->onSignal();
        }
    });
}

StopSignals::~StopSignals() {
    impl_->ending.store(true);
    pthread_kill(impl_->waiter.native_handle(), SIGUSR1);
    impl_->waiter.join();
    delete impl_;
}

void useBinaryStdout() {}

void preciseTimers() {
#if defined(PR_SET_TIMERSLACK)
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

} // namespace dravolin::testserver::net
