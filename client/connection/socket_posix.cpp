#include "socket.h"

#include "connect_race.h"
#include "errors.h"

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

// The error text of an attempt, as the connection reports system errors.
std::string errorText(int error) {
    return systemErrorText(static_cast<std::uint32_t>(error));
}

// One socket of an attempt; closed unless kept.
struct Attempt {
    int fd = -1;
    std::size_t index = 0;
    Attempt() = default;
    Attempt(int f, std::size_t i) : fd(f), index(i) {}
    Attempt(Attempt&& other) noexcept : fd(std::exchange(other.fd, -1)), index(other.index) {}
    Attempt& operator=(Attempt&& other) noexcept {
        std::swap(fd, other.fd);
        index = other.index;
        return *this;
    }
    ~Attempt() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

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

// Starts a non-blocking connect: the socket in flight, or the error code.
int startAttempt(const addrinfo& entry, int& fd) {
    fd = ::socket(entry.ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        return errno;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, entry.ai_addr, entry.ai_addrlen) == 0 || errno == EINPROGRESS) {
        return 0;
    }
    const int error = errno;
    ::close(fd);
    fd = -1;
    return error;
}

// While attempts are in flight, the interrupt mark is looked at between slices of this length.
constexpr int kSliceMs = 50;

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
            pendingError_ = ECANCELED;
            return 0;
        }
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    AddressList addresses;
    const std::string portText = std::to_string(port);
    const int resolved =
        ::getaddrinfo(hostForResolver(host).c_str(), portText.c_str(), &hints, &addresses.head);
    if (resolved != 0 || !addresses.head) {
        report_ = resolved == EAI_SYSTEM
                      ? errorText(errno)
                      : std::string(resolved != 0 ? ::gai_strerror(resolved) : "no address");
        return kHostNotFound;
    }
    std::vector<const addrinfo*> entries;
    std::vector<std::string> endpoints;
    for (const addrinfo* entry = addresses.head; entry; entry = entry->ai_next) {
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
    int lastError = ECONNREFUSED;
    for (;;) {
        const ConnectRace::Step step = race.next(elapsedMs(), timeoutMs);
        if (step.kind == ConnectRace::Step::Kind::Start) {
            int fd = -1;
            const int error = startAttempt(*entries[step.index], fd);
            if (error != 0) {
                race.failed(step.index, errorText(error));
                lastError = error;
            } else {
                race.started(step.index, elapsedMs());
                flying.emplace_back(fd, step.index);
            }
            continue;
        }
        if (step.kind == ConnectRace::Step::Kind::Won) {
            auto winner = std::find_if(flying.begin(), flying.end(),
                                       [&](const Attempt& a) { return a.index == step.index; });
            const int fd = std::exchange(winner->fd, -1);
            flying.clear(); // the others are closed
            const int flags = ::fcntl(fd, F_GETFL);
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            applyKeepAlive(fd, keepAlive);
            std::lock_guard guard(lock_);
            if (interrupted_) {
                ::close(fd);
                pendingError_ = ECANCELED;
            } else {
                handle_ = fd;
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
            pendingError_ = ETIMEDOUT;
            attempts_ = race.outcomes();
            report_ = race.report();
            return 0;
        }
        if (interrupted()) {
            pendingError_ = ECANCELED;
            return 0;
        }
        std::vector<pollfd> polled;
        for (const Attempt& attempt : flying) {
            polled.push_back({attempt.fd, POLLOUT, 0});
        }
        const int slice = static_cast<int>(
            step.waitMs < 0 ? kSliceMs : std::min<long long>(step.waitMs, kSliceMs));
        const int ready = ::poll(polled.data(), polled.size(), slice);
        if (ready < 0 && errno != EINTR) {
            pendingError_ = errno;
            attempts_ = race.outcomes();
            report_ = race.report();
            return 0;
        }
        for (std::size_t i = polled.size(); ready > 0 && i-- > 0;) {
            if (polled[i].revents == 0) {
                continue;
            }
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(flying[i].fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                error = errno;
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
    if (handle_ < 0) {
        return 0;
    }
    return applyKeepAlive(static_cast<int>(handle_), keepAlive);
}

long Socket::send(const char* data, std::size_t length, int& error) {
    if (pendingError_ != 0) {
        error = pendingError_;
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
