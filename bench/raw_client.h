// The baseline client: the least a program can do to talk to the management
// service. One blocking TCP socket used on the calling thread, each command in
// one send call, the reply read into a 32 KiB buffer until its end line.
#pragma once

#include "reply_scanner.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

class RawClient {
  public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Connects to 127.0.0.1:port (the listening port itself) and reads the
    // greeting. Every later receive gives up after timeoutMs without data.
    bool connect(std::uint16_t port, int timeoutMs);
    void close();

    // Sends one command line and reads its reply to the end; false when the
    // connection failed. The reply's status and counts stay in scanner.
    bool request(std::string_view line, ReplyScanner& scanner);

    // "getlog": writes the body into path with 32 KiB writes. Returns the
    // number of body bytes written, or -1 on failure.
    std::int64_t getlog(const std::string& path);

  private:
    bool readReply(ReplyScanner& scanner);
    int fd_ = -1;
};

} // namespace bench
