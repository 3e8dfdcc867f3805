// What the exported functions share: the library handle, Connect, and text copies.
#pragma once

#include "DravolinClient.h"
#include "client.h"

#include <memory>
#include <string>

namespace dravolin::exports {

// The client while the library is initialised; null otherwise.
std::shared_ptr<Client> currentClient();

// Connect and its companion with time-outs. With keepOnFailure, a synchronous Connect that
// failed still publishes its handle, so that the caller can ask it why.
int connectWith(const char* host, int port, int connectMs, int replyMs, bool keepOnFailure,
                uint32_t* connectionHandle, uint32_t* requestId, CompletionCallback callback);

// Copies text with its NUL into a caller's buffer of `capacity` bytes, cut when longer.
void copyText(const std::string& text, char* buffer, unsigned int capacity);

// Reason texts stay below their documented bound.
std::string boundedReason(const std::string& text);

} // namespace dravolin::exports
