#include "raw_client.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

constexpr std::size_t kBufferSize = 32 * 1024;

bool writeAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

} // namespace

RawClient::~RawClient() {
    close();
}

void RawClient::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool RawClient::connect(std::uint16_t port, int timeoutMs) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close();
        return false;
    }
    ReplyScanner greeting;
    if (!readReply(greeting)) {
        close();
        return false;
    }
    return true;
}

bool RawClient::readReply(ReplyScanner& scanner) {
    char buf[kBufferSize];
    while (!scanner.complete()) {
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        // Bytes past the end line belong to nothing we asked for: dropped.
        scanner.feed(std::string_view(buf, static_cast<std::size_t>(n)));
    }
    return true;
}

bool RawClient::request(std::string_view line, ReplyScanner& scanner) {
    if (fd_ < 0)
        return false;
    scanner.reset();
    const ssize_t sent = ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(line.size()))
        return false;
    return readReply(scanner);
}

std::int64_t RawClient::getlog(const std::string& path) {
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        return -1;
    std::vector<char> pending;
    pending.reserve(kBufferSize);
    std::int64_t total = 0;
    bool writeFailed = false;
    ReplyScanner scanner([&](std::string_view piece) {
        total += static_cast<std::int64_t>(piece.size());
        while (!piece.empty()) {
            const std::size_t take = std::min(piece.size(), kBufferSize - pending.size());
            pending.insert(pending.end(), piece.data(), piece.data() + take);
            piece.remove_prefix(take);
            if (pending.size() == kBufferSize) {
                writeFailed |= !writeAll(out, pending.data(), pending.size());
                pending.clear();
            }
        }
    });
    const bool ok = request("getlog\n", scanner);
    writeFailed |= !writeAll(out, pending.data(), pending.size());
    writeFailed |= ::close(out) != 0;
    return ok && !writeFailed ? total : -1;
}

} // namespace bench
