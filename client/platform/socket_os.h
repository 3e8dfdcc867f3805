// What the connect of socket.cpp asks of each system: resolving, starting a non-blocking
// connect, waiting for several of them, and keeping the winner. socket_posix.cpp and
// socket_win32.cpp carry these out; the race itself is common code.
#pragma once

#include "socket.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravolin::net::sys {

using Handle = std::intptr_t;
constexpr Handle kNoHandle = -1;

// One resolved address: the system's socket address as bytes, and its family.
struct Address {
    int family = 0;
    std::string bytes;
};

// Resolves `host` (hostForResolver() form) for TCP on `port`: 0 with its IPv4 and IPv6
// addresses and each one's endpointText(), in the resolver's order; kHostNotFound with the
// resolver's text in `why`.
int resolve(const std::string& host, std::uint16_t port, std::vector<Address>& addresses,
            std::vector<std::string>& endpoints, std::string& why);

// Starts a non-blocking connect: 0 with the socket in flight in `handle`, or the error code.
int startConnect(const Address& address, Handle& handle);

// Waits at most `waitMs` for the connects in flight: `outcomes[i]` becomes 0 when handles[i]
// connected or its error code when it failed, and stays -1 while it is still in flight.
// Returns 0, or the error code of the wait itself.
int waitConnects(const std::vector<Handle>& handles, int waitMs, std::vector<int>& outcomes);

// Makes a connected socket blocking and gives it its keep-alive.
void finishConnect(Handle handle, const KeepAlive& keepAlive);

void closeHandle(Handle handle);

// The code of a connect that interrupt() ended, and the code of a failure that left none.
int interruptedError();
int refusedError();

} // namespace dravolin::net::sys
