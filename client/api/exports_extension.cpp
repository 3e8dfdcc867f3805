// The exported functions of the extension: time-outs and failure reasons.
#include "DravolinClient.h"
#include "exports_support.h"
#include "response.h"

using dravolin::Client;
using dravolin::exports::boundedReason;
using dravolin::exports::connectWith;
using dravolin::exports::copyText;
using dravolin::exports::currentClient;
using dravolin::exports::withConnection;

extern "C" {

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_ConnectWithTimeouts(
    const char* host, int port, int connectTimeoutMs, int replyTimeoutMs,
    uint32_t* connectionHandle, uint32_t* requestId, CompletionCallback callback) {
    if (!currentClient()) {
        return DRAVOLIN_NOT_INITIALISED;
    }
    if (connectTimeoutMs < 0 || replyTimeoutMs < 0) {
        return DRAVOLIN_FAILED;
    }
    return connectWith(host, port, connectTimeoutMs, replyTimeoutMs, true, connectionHandle,
                       requestId, callback);
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_SetReplyTimeout(uint32_t connectionHandle,
                                                              int replyTimeoutMs) {
    return withConnection(connectionHandle, DRAVOLIN_FAILED, [&](Client&, const auto& connection) {
        if (replyTimeoutMs < 0) {
            return DRAVOLIN_FAILED;
        }
        connection->setReplyTimeout(replyTimeoutMs);
        return DRAVOLIN_OK;
    });
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_ResponseGetStatus(Response* response, int* status,
                                                                char* text, unsigned int capacity) {
    const bool known = response && response->outcome;
    if (status) {
        *status = known ? response->outcome->status : 0;
    }
    try {
        copyText(known ? response->outcome->statusText : std::string(), text, capacity);
    } catch (...) {
    }
    return known ? DRAVOLIN_OK : DRAVOLIN_FAILED;
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_ResponseGetReason(Response* response, int* reason,
                                                                char* text, unsigned int capacity) {
    const bool known = response && response->outcome;
    if (reason) {
        *reason = known ? response->outcome->failure.reason : DRAVOLIN_REASON_NONE;
    }
    try {
        copyText(known ? boundedReason(response->outcome->failure.text) : std::string(), text,
                 capacity);
    } catch (...) {
    }
    return known ? DRAVOLIN_OK : DRAVOLIN_FAILED;
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_GetLastFailure(uint32_t connectionHandle, int* status,
                                                             int* reason, char* text,
                                                             unsigned int capacity) {
    return withConnection(connectionHandle, DRAVOLIN_FAILED, [&](Client&, const auto& connection) {
        const dravolin::Outcome last = connection->lastFailure();
        if (status) {
            *status = last.status;
        }
        if (reason) {
            *reason = last.failure.reason;
        }
        copyText(last.failure.reason != DRAVOLIN_REASON_NONE ? boundedReason(last.failure.text)
                                                             : last.statusText,
                 text, capacity);
        return DRAVOLIN_OK;
    });
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_SetKeepAlive(uint32_t connectionHandle, int idleMs,
                                                           int intervalMs, int count) {
    const auto client = currentClient();
    if (!client) {
        return DRAVOLIN_NOT_INITIALISED;
    }
    if (idleMs < 0 || intervalMs < 0 || count < 0 ||
        (idleMs > 0 && (intervalMs == 0 || count == 0))) {
        return DRAVOLIN_FAILED;
    }
    const dravolin::net::KeepAlive keepAlive{idleMs, idleMs > 0 ? intervalMs : 0,
                                             idleMs > 0 ? count : 0};
    if (connectionHandle == 0) {
        client->setDefaultKeepAlive(keepAlive);
        return DRAVOLIN_OK;
    }
    return withConnection(connectionHandle, DRAVOLIN_FAILED, [&](Client&, const auto& connection) {
        connection->setKeepAlive(keepAlive);
        return DRAVOLIN_OK;
    });
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_SetTrace(uint32_t connectionHandle,
                                                       TraceCallback callback, void* context) {
    const auto client = currentClient();
    if (!client) {
        return DRAVOLIN_NOT_INITIALISED;
    }
    const dravolin::TraceSink sink{callback, callback ? context : nullptr};
    if (connectionHandle == 0) {
        client->setDefaultTrace(sink);
        return DRAVOLIN_OK;
    }
    return withConnection(connectionHandle, DRAVOLIN_FAILED, [&](Client&, const auto& connection) {
        connection->setTrace(sink);
        return DRAVOLIN_OK;
    });
}

} // extern "C"
