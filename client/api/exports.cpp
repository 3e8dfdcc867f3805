// The exported functions: thin entries that check initialisation and forward to the Client.
#include "DravolinClient.h"
#include "client.h"
#include "exports_support.h"
#include "response.h"
#include "socket.h"
#include "thread_registry.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

using dravolin::Client;
using dravolin::Connection;

namespace {

// The library handle. Deliberately never destroyed at process exit: a program that does not
// call DravolinClient_Free must not have its exit wait for connection workers.
struct Library {
    std::mutex lock;
    std::condition_variable closed;
    std::shared_ptr<Client> client;
    int closing = 0; // DravolinClient_Free calls still ending a client
};

Library& library() {
    static Library* instance = new Library;
    return *instance;
}

} // namespace

namespace dravolin::exports {

std::shared_ptr<Client> currentClient() {
    Library& lib = library();
    std::lock_guard guard(lib.lock);
    return lib.client;
}

int connectWith(const char* host, int port, int connectMs, int replyMs, bool keepOnFailure,
                uint32_t* connectionHandle, uint32_t* requestId, CompletionCallback callback) {
    const auto client = currentClient();
    if (!client) {
        return DRAVOLIN_NOT_INITIALISED;
    }
    try {
        auto connection = Connection::create(client);
        // Without a thread for it, it fails at once; its last failure tells why.
        int result = DRAVOLIN_FAILED;
        if (connection->hasWorker()) {
            connection->setEndpoint(host ? host : "", port);
            connection->setTimeouts(connectMs, replyMs);
            connection->setKeepAlive(client->defaultKeepAlive());
            if (const dravolin::TraceSink trace = client->defaultTrace(); trace.callback) {
                // Traced from its first line on, under the handle it will have.
                connection->handle = client->newHandle();
                connection->setTrace(trace);
            }
            result = client->submit(
                connection, [](Connection& c, uint32_t id) { c.startConnect(id); }, nullptr,
                requestId, callback);
        }
        if (result != DRAVOLIN_OK && !(keepOnFailure && result == DRAVOLIN_FAILED)) {
            return result;
        }
        const uint32_t handle = client->add(connection);
        if (connectionHandle) {
            *connectionHandle = handle;
        }
        return result;
    } catch (...) {
        return DRAVOLIN_FAILED;
    }
}

void copyText(const std::string& text, char* buffer, unsigned int capacity) {
    if (!buffer || capacity == 0) {
        return;
    }
    const std::size_t n = std::min<std::size_t>(text.size(), capacity - 1u);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

std::string boundedReason(const std::string& text) {
    return text.substr(0, DRAVOLIN_MAX_REASON - 1);
}

} // namespace dravolin::exports

using dravolin::exports::connectWith;
using dravolin::exports::currentClient;
using dravolin::exports::withConnection;

extern "C" {

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_Init(void) {
    try {
        Library& lib = library();
        std::lock_guard guard(lib.lock);
        if (lib.client) {
            return DRAVOLIN_OK;
        }
        auto client = std::make_shared<Client>();
        if (!dravolin::net::startup()) {
            return DRAVOLIN_FAILED;
        }
        lib.client = std::move(client);
        return DRAVOLIN_OK;
    } catch (...) {
        return DRAVOLIN_FAILED;
    }
}

DRAVOLIN_API void DRAVOLIN_CALL DravolinClient_Free(void) {
    Library& lib = library();
    std::shared_ptr<Client> client;
    {
        std::unique_lock guard(lib.lock);
        client.swap(lib.client);
        if (!client) {
            // Another thread's Free (a callback's, say) may still be ending the client: once
            // this one returns, no library thread may run, so wait for it. A callback does not
            // wait: the Free in progress may itself be waiting for that callback's worker.
            if (!dravolin::threads::onWorkerThread()) {
                lib.closed.wait(guard, [&] { return lib.closing == 0; });
            }
            return;
        }
        ++lib.closing;
    }
    try {
        client->close();
    } catch (...) {
    }
    dravolin::net::cleanup();
    {
        std::lock_guard guard(lib.lock);
        --lib.closing;
    }
    lib.closed.notify_all();
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_GetVersion(void) {
    return DRAVOLIN_CLIENT_VERSION;
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_Connect(const char* host, int port,
                                                      uint32_t* connectionHandle,
                                                      uint32_t* requestId,
                                                      CompletionCallback callback) {
    return connectWith(host, port, 0, 0, false, connectionHandle, requestId, callback);
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_Disconnect(uint32_t connectionHandle,
                                                         uint32_t* requestId,
                                                         CompletionCallback callback) {
    return withConnection(
        connectionHandle, DRAVOLIN_FAILED, [&](Client& client, const auto& connection) {
            const int result = client.submit(
                connection, [](Connection& c, uint32_t id) { c.startDisconnect(id); }, nullptr,
                requestId, callback);
            if (result != DRAVOLIN_OK) {
                return result;
            }
            client.remove(connectionHandle);
            return DRAVOLIN_OK;
        });
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_Login(uint32_t connectionHandle,
                                                    const LoginParameters* parameters,
                                                    uint32_t* requestId,
                                                    CompletionCallback callback) {
    return withConnection(
        connectionHandle, DRAVOLIN_FAILED, [&](Client& client, const auto& connection) {
            if (!parameters) {
                return DRAVOLIN_FAILED;
            }
            dravolin::LoginData login;
            if (parameters->mode == DRAVOLIN_LOGIN_PLAIN) {
                login.userName = parameters->name ? parameters->name : "";
                login.userPassword = parameters->password ? parameters->password : "";
            } else if (parameters->mode == DRAVOLIN_LOGIN_CHAP) {
                if (!parameters->name || !parameters->password) {
                    return DRAVOLIN_FAILED; // the CHAP name and secret are required
                }
                login.mode = 1;
                login.chapName = parameters->name;
                login.chapSecret = parameters->password;
                login.mutualAuth = parameters->peerName && parameters->peerPassword;
                if (login.mutualAuth) {
                    login.peerName = parameters->peerName;
                    login.peerSecret = parameters->peerPassword;
                }
                login.encryptRequested = parameters->encrypt != 0;
            } else {
                return DRAVOLIN_FAILED;
            }
            return client.submit(
                connection, [&login](Connection& c, uint32_t id) { c.startLogin(id, login); },
                nullptr, requestId, callback);
        });
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_SendRequest(uint32_t connectionHandle,
                                                          unsigned int code, const char* argument,
                                                          Response** response, uint32_t* requestId,
                                                          CompletionCallback callback) {
    const auto client = currentClient();
    if (!client) {
        return DRAVOLIN_NOT_INITIALISED;
    }
    Response* created = new (std::nothrow) Response;
    if (!created) {
        return DRAVOLIN_NO_MEMORY;
    }
    if (response) {
        *response = created;
    }
    // Without a place to hand it out, the Response is ours to release.
    std::unique_ptr<Response> orphan(response ? nullptr : created);
    try {
        const auto connection = client->find(connectionHandle);
        if (!connection) {
            return DRAVOLIN_UNKNOWN_HANDLE;
        }
        if (!dravolin::protocol::kindForRequestCode(code)) {
            return DRAVOLIN_UNKNOWN_HANDLE;
        }
        const bool handOver = orphan && callback;
        if (handOver) {
            // The callback receives the Response; the operation owns it and frees it when done.
            orphan.release();
        }
        return client->submit(
            connection,
            [code, argument](Connection& c, uint32_t id) { c.startCommand(id, code, argument); },
            created, requestId, callback, handOver);
    } catch (...) {
        return DRAVOLIN_FAILED;
    }
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_CancelRequest(uint32_t requestId) {
    const auto client = currentClient();
    if (!client) {
        return DRAVOLIN_NOT_INITIALISED;
    }
    try {
        return client->cancel(requestId);
    } catch (...) {
        return DRAVOLIN_OK;
    }
}

DRAVOLIN_API Response* DRAVOLIN_CALL DravolinClient_ResponseInit(Response** response) {
    Response* created = new (std::nothrow) Response;
    if (response) {
        *response = created;
    }
    return created;
}

DRAVOLIN_API Response* DRAVOLIN_CALL DravolinClient_ResponseReset(Response* response) {
    if (response) {
        response->cursor = 0;
    }
    return response;
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_ResponseGetNext(Response* response, char* name,
                                                              char* value) {
    if (!response || response->cursor >= response->records.size()) {
        return 0;
    }
    const dravolin::protocol::RecordView record = response->records[response->cursor];
    if (name) {
        std::memcpy(name, record.name.data(), record.name.size());
        name[record.name.size()] = '\0';
    }
    if (value) {
        std::memcpy(value, record.value.data(), record.value.size());
        value[record.value.size()] = '\0';
    }
    ++response->cursor;
    return 1;
}

DRAVOLIN_API void DRAVOLIN_CALL DravolinClient_ResponseFree(Response* response) {
    delete response;
}

DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_SetServiceLogDirectory(uint32_t connectionHandle,
                                                                     const char* directory) {
    return withConnection(connectionHandle, DRAVOLIN_OK, [&](Client&, const auto& connection) {
        connection->setLogDirectory(directory ? directory : "");
        return DRAVOLIN_OK;
    });
}

} // extern "C"
