// What the exported functions share: the library handle, the handle-to-connection preamble,
// Connect, and text copies.
#pragma once

#include "DravolinClient.h"
#include "client.h"

#include <memory>
#include <string>

namespace dravolin::exports {

// The client while the library is initialised; null otherwise.
std::shared_ptr<Client> currentClient();

// Runs body(client, connection) for the connection behind `handle` and returns its result:
// 2 when the library is not initialised, 3 for an unknown handle, `onThrow` when anything
// throws (out of memory).
template <typename Body> int withConnection(uint32_t handle, int onThrow, Body&& body) {
    const std::shared_ptr<Client> client = currentClient();
    if (!client) {
        return DRAVOLIN_NOT_INITIALISED;
    }
    try {
        const std::shared_ptr<Connection> connection = client->find(handle);
        if (!connection) {
            return DRAVOLIN_UNKNOWN_HANDLE;
        }
        return body(*client, connection);
    } catch (...) {
        return onThrow;
    }
}

// Connect and its companion with time-outs. With keepOnFailure, a synchronous Connect that
// failed still publishes its handle, so that the caller can ask it why.
int connectWith(const char* host, int port, int connectMs, int replyMs, bool keepOnFailure,
                uint32_t* connectionHandle, uint32_t* requestId, CompletionCallback callback);

// Copies text with its NUL into a caller's buffer of `capacity` bytes, cut when longer.
void copyText(const std::string& text, char* buffer, unsigned int capacity);

// Reason texts stay below their documented bound.
std::string boundedReason(const std::string& text);

} // namespace dravolin::exports
