/*
 * DravolinClient.h - client library of the storage server's management service.
 *
 * Usage (synchronous; error checks left out):
 *
 *     uint32_t conn = 0;
 *     DravolinClient_Init();
 *     DravolinClient_Connect("127.0.0.1", 3260, &conn, NULL, NULL); // reaches port 3261
 *     LoginParameters lp = {DRAVOLIN_LOGIN_PLAIN, "admin", "secret", NULL, NULL, 0};
 *     DravolinClient_Login(conn, &lp, NULL, NULL);
 *     Response* r = NULL;
 *     if (DravolinClient_SendRequest(conn, DRAVOLIN_REQUEST_LIST_DEVICES, NULL, &r, NULL, NULL) ==
 *         DRAVOLIN_OK) {
 *         char name[DRAVOLIN_MAX_LINE + 1], value[DRAVOLIN_MAX_LINE + 1];
 *         DravolinClient_ResponseReset(r);
 *         while (DravolinClient_ResponseGetNext(r, name, value))
 *             printf("%s=%s\n", name, value);
 *     }
 *     DravolinClient_ResponseFree(r);
 *     DravolinClient_Disconnect(conn, NULL, NULL);
 *     DravolinClient_Free();
 *
 * Asynchronous mode: pass a CompletionCallback; the call returns DRAVOLIN_OK at once after
 * writing the request identifier, and the callback reports the outcome later.
 *
 * Threading rules:
 *  - Every function may be called from any thread; connections are independent of each other.
 *  - Callbacks run on the worker thread of the connection, one at a time per connection, in
 *    the order the operations completed. A synchronous call on the same connection from inside
 *    a callback is served in place by that worker and returns once its operation completed;
 *    the callbacks of operations that completed before it run first (nested inside the calling
 *    callback, still one at a time and in order). DravolinClient_Free and
 *    DravolinClient_Disconnect may be called from inside a callback.
 *  - Each submitted operation completes exactly once (callback called or waiter woken), unless
 *    it was withdrawn by DravolinClient_CancelRequest before the worker started on it, in which
 *    case its callback is never called. DravolinClient_Free completes every outstanding
 *    operation as failed before it returns.
 *  - Each connection has a worker thread of its own with a 256 KiB stack, whatever the host
 *    program's default (callbacks run on it), so a process holds as many connections as it
 *    can start threads: natively over 10,000, under Wine about 900 in a 32-bit program and
 *    1,800 in a large-address-aware one (Wine takes 2 MiB of address space per thread); when
 *    no thread can be started, Connect returns 1 at once, and DravolinClient_GetLastFailure on
 *    the handle DravolinClient_ConnectWithTimeouts keeps says why ("no worker thread: ...").
 *
 * Ownership:
 *  - The library copies every text it keeps. A Response handed out by DravolinClient_SendRequest
 *    or DravolinClient_ResponseInit belongs to the caller, whatever the result code, and is
 *    released with DravolinClient_ResponseFree. While an operation carrying it is outstanding,
 *    the library fills it: read it only after completion.
 *
 * Buffers: DravolinClient_ResponseGetNext copies a name and a value with their NUL into the
 * caller's buffers without knowing their sizes. A record never exceeds one reply line, so
 * buffers of DRAVOLIN_MAX_LINE + 1 bytes each are always large enough.
 *
 * Windows: there are two DLLs of the same name, one per architecture; a program loads the
 * one of its own (a 64-bit process cannot load a 32-bit DLL, nor the other way round).
 *  - x64 (64-bit programs): one calling convention, so DravolinClient.dll exports the plain
 *    names, as declared below: GetProcAddress(dll, "DravolinClient_GetVersion").
 *  - x86 (32-bit programs): the functions use the standard-call convention, and
 *    DravolinClient.dll exports them under their decorated names only: an underscore, the
 *    name, "@" and the number of argument bytes. GetProcAddress needs exactly these names:
 *     _DravolinClient_Init@0                _DravolinClient_CancelRequest@4
 *     _DravolinClient_Free@0                _DravolinClient_ResponseInit@4
 *     _DravolinClient_GetVersion@0          _DravolinClient_ResponseReset@4
 *     _DravolinClient_Connect@20            _DravolinClient_ResponseGetNext@12
 *     _DravolinClient_Disconnect@12         _DravolinClient_ResponseFree@4
 *     _DravolinClient_Login@16              _DravolinClient_SetServiceLogDirectory@8
 *     _DravolinClient_SendRequest@24
 * and those of the extension (time-outs, failure reasons, keep-alive, below):
 *     _DravolinClient_ConnectWithTimeouts@28  _DravolinClient_ResponseGetReason@16
 *     _DravolinClient_SetReplyTimeout@8       _DravolinClient_GetLastFailure@20
 *     _DravolinClient_ResponseGetStatus@16    _DravolinClient_SetKeepAlive@16
 *     _DravolinClient_SetTrace@12
 * for example (int(__stdcall*)(void))GetProcAddress(dll, "_DravolinClient_GetVersion@0").
 * A loader that serves both picks the name by pointer size (sizeof(void*) == 4: decorated).
 * Linking through an import library needs none of this (DravolinClient.lib for the Microsoft
 * toolchain, DravolinClient.dll.a or the .def for mingw-w64, each of the architecture's own
 * SDK). On x64 the pointers of LoginParameters are 8 bytes wide, as the compiler lays out.
 *
 * Wire: every command goes out in one send call. After a CHAP login with encryption, each
 * command travels as one encrypted frame in one send call ("one send call, one frame"). The
 * server's frames may arrive cut over any number of receives or several in one; the library
 * reassembles them. A frame is rejected, and the connection closes with every outstanding
 * request failed, when its digest does not check out, when more than 32,784 bytes come without
 * a frame end, or when the peer closes or stays silent for 10 s in the middle of a frame. There
 * is no other receive time limit.
 */
#ifndef DRAVOLIN_CLIENT_H
#define DRAVOLIN_CLIENT_H

#include <stdint.h>

#if defined(_WIN32)
#define DRAVOLIN_CALL __stdcall
#else
#define DRAVOLIN_CALL
#endif

#if defined(DRAVOLIN_CLIENT_BUILDING)
#if defined(_WIN32)
#define DRAVOLIN_API
#else
#define DRAVOLIN_API __attribute__((visibility("default")))
#endif
#else
#define DRAVOLIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Version reported by DravolinClient_GetVersion. */
#define DRAVOLIN_CLIENT_VERSION 20050118

/* Longest reply line the library keeps; longer lines are skipped whole. */
#define DRAVOLIN_MAX_LINE 32768

/* Result codes. */
#define DRAVOLIN_OK 0              /* success; async: accepted, request identifier written */
#define DRAVOLIN_FAILED 1          /* failure (see the function) */
#define DRAVOLIN_NOT_INITIALISED 2 /* DravolinClient_Init has not run (or Free has) */
#define DRAVOLIN_UNKNOWN_HANDLE 3  /* unknown connection handle or request code */
#define DRAVOLIN_NO_MEMORY 4       /* the Response could not be allocated */

/* Request codes of DravolinClient_SendRequest. */
#define DRAVOLIN_REQUEST_LOGOFF 0           /* "logoff"; argument not used */
#define DRAVOLIN_REQUEST_ADD 1              /* "add <argument>"; argument required */
#define DRAVOLIN_REQUEST_REMOVE 2           /* "remove <argument>"; argument required */
#define DRAVOLIN_REQUEST_ALLOW 3            /* "allow <argument>"; argument required */
#define DRAVOLIN_REQUEST_LIST_DEVICES 4     /* list devices; argument appended, null = "1" */
#define DRAVOLIN_REQUEST_LIST_PERMISSIONS 5 /* list permissions; argument appended, null = "" */
#define DRAVOLIN_REQUEST_SET_PARAMETER 6    /* "set <argument>" */
#define DRAVOLIN_REQUEST_GET_PARAMETER 7    /* "get <argument>" */
#define DRAVOLIN_REQUEST_GET_LOG 8          /* "getlog"; the body lands in the log directory */
#define DRAVOLIN_REQUEST_SHUTDOWN 9         /* "shutdown" */
#define DRAVOLIN_REQUEST_STATISTICS 10      /* "statistics <argument>" */
#define DRAVOLIN_REQUEST_CONTROL 11         /* "control <argument> " */

/* Login modes of LoginParameters.mode. */
#define DRAVOLIN_LOGIN_PLAIN 0
#define DRAVOLIN_LOGIN_CHAP 1

/* Opaque result set: ordered name/value text records with a read cursor. */
typedef struct Response Response;

/* Completion of an asynchronous operation: failed is 0 or 1; response is the Response of a
 * SendRequest, null for Connect, Login and Disconnect. Runs on the connection's worker. */
typedef void(DRAVOLIN_CALL* CompletionCallback)(uint32_t requestId, int failed, Response* response);

/* What DravolinClient_Login sends. Mode 0: name/password are the user name and password
 * (null means empty). Mode 1 (CHAP): name/password are the CHAP name and secret (not null);
 * peerName and peerPassword, when both non-null, make the server prove it knows the peer
 * secret; encrypt non-zero switches the connection to the encrypted channel after login. */
typedef struct LoginParameters {
    int mode;
    const char* name;
    const char* password;
    const char* peerName;
    const char* peerPassword;
    unsigned char encrypt;
} LoginParameters;

/* 0 ready, 1 failed. Call once before anything else. */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_Init(void);

/* Completes every outstanding operation as failed, stops all connections, uninitialises. */
DRAVOLIN_API void DRAVOLIN_CALL DravolinClient_Free(void);

/* Always DRAVOLIN_CLIENT_VERSION, initialised or not. */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_GetVersion(void);

/* Connects to port + 1 of host (name or dotted IPv4). Synchronous: returns once the server's
 * greeting has been read; 1 when the connection or greeting failed. The handle is written in
 * both modes (asynchronous: at once). */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_Connect(const char* host, int port,
                                                      uint32_t* connection, uint32_t* requestId,
                                                      CompletionCallback callback);

/* Half-closes the connection; the handle is invalid once this returns 0. */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_Disconnect(uint32_t connection, uint32_t* requestId,
                                                         CompletionCallback callback);

/* Plain (mode 0) or CHAP (mode 1) login; 1 for any other mode (nothing sent) or a failed
 * login (synchronous). */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_Login(uint32_t connection,
                                                    const LoginParameters* parameters,
                                                    uint32_t* requestId,
                                                    CompletionCallback callback);

/* Sends one command (request codes above). A new Response is written through response at
 * once (when non-null) and belongs to the caller whatever the result. Synchronous result: 0
 * for reply status 200, 1 otherwise. Also 1, with nothing sent, when add, remove or allow is
 * given a null argument, or when the whole line of set, get, statistics or control (command,
 * argument and newline) would exceed 4096 characters; add, remove, allow and the two listings
 * send an argument of any length. */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_SendRequest(uint32_t connection, unsigned int code,
                                                          const char* argument, Response** response,
                                                          uint32_t* requestId,
                                                          CompletionCallback callback);

/* Withdraws a queued operation that the worker has not started on; its callback never runs.
 * An operation already being served completes normally. 0, or 2 when not initialised. */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_CancelRequest(uint32_t requestId);

/* New empty Response (also stored through response when non-null); null without memory. */
DRAVOLIN_API Response* DRAVOLIN_CALL DravolinClient_ResponseInit(Response** response);

/* Sets the read cursor back to the first record; returns response. */
DRAVOLIN_API Response* DRAVOLIN_CALL DravolinClient_ResponseReset(Response* response);

/* Copies the next record into name and value (see Buffers above); 1 copied, 0 no more. */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_ResponseGetNext(Response* response, char* name,
                                                              char* value);

/* Releases a Response; null does nothing. */
DRAVOLIN_API void DRAVOLIN_CALL DravolinClient_ResponseFree(Response* response);

/* Directory for "getlog" files of this connection. An empty text means the current
 * directory; a directory without a trailing separator gets one ("\\" on Windows, "/" else).
 * 0, 2 or 3. */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_SetServiceLogDirectory(uint32_t connection,
                                                                     const char* directory);

/* ---------------------------------------------------------------------------------------
 * Extension: time-outs and failure reasons.
 *
 * Additive functions beside the ones above, with the same conventions (standard call, result
 * codes 0-4, no exception crosses them). A program that never calls them sees the library
 * exactly as before: no time-outs, and nothing else changes.
 *
 * Time-outs are in milliseconds; 0 means no limit, a negative value is refused (1).
 *  - The connect time-out covers the whole Connect: the TCP connect AND the server's greeting
 *    share one deadline, so a server that accepts and never greets cannot escape it. When it
 *    runs out, Connect fails with status 105, reason DRAVOLIN_REASON_TIMED_OUT. (Resolving a
 *    host name is left to the system's resolver and its own limits; a numeric address needs
 *    none. A name that resolves to no address fails the Connect at the greeting with
 *    status 105, reason DRAVOLIN_REASON_HOST_NOT_FOUND and the resolver's own text.)
 *  - The reply time-out is an idle limit: a request in service that receives no byte for that
 *    long fails with status 105, reason DRAVOLIN_REASON_TIMED_OUT. A reply that keeps arriving
 *    (a long "getlog") never trips it. The end of the timed-out reply can no longer be found,
 *    so the connection then closes and every queued request fails with
 *    DRAVOLIN_REASON_CONNECTION_LOST, as after a lost connection.
 *
 * Addresses: every Connect takes a host name, a dotted IPv4 address or an IPv6 address (also in
 * brackets, "[::1]"). A name is resolved to all its IPv4 and IPv6 addresses, which are tried in
 * the resolver's order: the next one starts when the previous one failed or after 250 ms
 * without an answer from it, the first to connect wins and the others are closed. The connect
 * time-out bounds all of it together; without one, each attempt ends when the system gives
 * up on it. When none connects, the reason's text names every address tried and why it
 * failed ("connection refused: [::1]:3261: Connection refused; 192.0.2.7:3261: no answer
 * within the time-out").
 *
 * Dead peers: TCP keep-alive is on for every connection. After `idle` without traffic the
 * system probes the server every `interval`; after `count` unanswered probes the connection
 * counts as dead (the same total also bounds data that the server never acknowledges). The
 * default, 60,000 ms idle, 10,000 ms interval and 6 probes, finds a silently dead server
 * (a host that lost power, a firewall or NAT that dropped the connection) within 120 s of
 * idleness. The request waiting on it, and every later one, then fails with status 105,
 * reason DRAVOLIN_REASON_CONNECTION_LOST, text "connection lost: the server stopped
 * answering ...". On Windows the probe count is the system's own (10) before Windows 10
 * version 1703; later versions take the given count.
 *
 * Status and reason of an operation:
 *  - status: 200 success; 100-105 as the server's status line gave it; 105 for the client's
 *    own failures (and 104 when a CHAP login found the server not in CHAP mode).
 *  - status text: the free text after the status code on the server's status line (without
 *    the code, the leading blanks and the line end); empty when no status line arrived.
 *  - reason: DRAVOLIN_REASON_NONE when the server's reply decided the outcome (look at the
 *    status), otherwise one of the DRAVOLIN_REASON_ codes below with a short text
 *    ("timed out", "connection lost: ...", with the system's error text where there is one).
 * Operations with a Response carry them in it; for Connect, Login and Disconnect ask the
 * connection with DravolinClient_GetLastFailure (before the callback runs or the synchronous
 * call returns, it is already recorded).
 *
 * Text buffers: `capacity` bytes including the NUL; longer texts are cut. A null buffer or a
 * capacity of 0 skips the text. DRAVOLIN_MAX_LINE + 1 bytes are always enough; reasons are
 * shorter than DRAVOLIN_MAX_REASON bytes.
 */

/* Reasons of a failure on the client side. */
#define DRAVOLIN_REASON_NONE 0             /* no client failure: the server's status decided */
#define DRAVOLIN_REASON_CONNECT_FAILED 1   /* "connection refused": no TCP connection was made */
#define DRAVOLIN_REASON_CONNECTION_LOST 2  /* closed by the server, socket error, not connected */
#define DRAVOLIN_REASON_TIMED_OUT 3        /* the connect or reply time-out ran out */
#define DRAVOLIN_REASON_FRAME_REJECTED 4   /* an encrypted frame failed its checks */
#define DRAVOLIN_REASON_LOG_NAME_UNSAFE 5  /* "getlog": the server's file name was refused */
#define DRAVOLIN_REASON_LOG_FILE 6         /* "getlog": the local file not created or written */
#define DRAVOLIN_REASON_LINE_TOO_LONG 7    /* the command line would exceed 4096 characters */
#define DRAVOLIN_REASON_ARGUMENT_MISSING 8 /* the command needs an argument; null was given */
#define DRAVOLIN_REASON_LOGIN 9            /* a CHAP check of the client failed (proof, crypt) */
#define DRAVOLIN_REASON_ENDED 10           /* cancelled while waiting, or the library was freed */
#define DRAVOLIN_REASON_HOST_NOT_FOUND 11  /* "host name not found": no address for it */

/* Reason texts are shorter than this (with their NUL). */
#define DRAVOLIN_MAX_REASON 512

/* DravolinClient_Connect with time-outs (milliseconds, 0 = no limit) for this connection:
 * connectTimeoutMs bounds the TCP connect and the greeting together, replyTimeoutMs is the
 * idle limit of every later request. Results and modes as DravolinClient_Connect; 1 also
 * for a negative time-out (nothing done then). The handle is written whenever a Connection
 * was made, so DravolinClient_GetLastFailure can tell why a Connect failed. */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_ConnectWithTimeouts(
    const char* host, int port, int connectTimeoutMs, int replyTimeoutMs, uint32_t* connection,
    uint32_t* requestId, CompletionCallback callback);

/* Changes the reply time-out of a connection (milliseconds, 0 = no limit) for the requests
 * that the worker starts on after the call. 0, 1 (negative), 2 or 3. */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_SetReplyTimeout(uint32_t connection,
                                                              int replyTimeoutMs);

/* Status of the completed operation that filled this Response, and the status line's text.
 * 0 written; 1 when the Response has not been completed by any operation (or is null):
 * then *status is 0 and the text empty. status and text may be null. */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_ResponseGetStatus(Response* response, int* status,
                                                                char* text, unsigned int capacity);

/* The client's reason (DRAVOLIN_REASON_) and its text for the operation that filled this
 * Response; DRAVOLIN_REASON_NONE and an empty text when the server's reply decided. 0
 * written; 1 as for DravolinClient_ResponseGetStatus. */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_ResponseGetReason(Response* response, int* reason,
                                                                char* text, unsigned int capacity);

/* The most recent failed operation on this connection (any kind; meant for Connect, Login and
 * Disconnect, which have no Response): its status, reason and text (the reason's text, or the
 * server's status text when reason is DRAVOLIN_REASON_NONE). Status 200 with
 * DRAVOLIN_REASON_NONE and an empty text when none failed. 0, 2 or 3 (a Disconnect that
 * returned 0 has removed the handle). */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_GetLastFailure(uint32_t connection, int* status,
                                                             int* reason, char* text,
                                                             unsigned int capacity);

/* TCP keep-alive of a connection, in milliseconds (rounded up to whole seconds): idleMs of
 * silence before the first probe, intervalMs between probes, count unanswered probes until
 * the connection is dead. idleMs 0 turns keep-alive off (the other two are then ignored).
 * Applies at once to an open connection. Connection 0 sets the default of the connections
 * created afterwards (until DravolinClient_Free; initially 60000, 10000, 6). 0; 1 for a
 * negative value, or idleMs above 0 with intervalMs or count 0; 2; 3. */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_SetKeepAlive(uint32_t connection, int idleMs,
                                                           int intervalMs, int count);

/* Wire trace: what a connection sends and receives, line by line.
 *
 * The callback runs on the connection's worker thread, one line at a time and in order, with
 * the connection's handle, a direction and the line as NUL-terminated text without its line
 * end (valid only during the call):
 *  - DRAVOLIN_TRACE_SENT: each command line as sent;
 *  - DRAVOLIN_TRACE_RECEIVED: each reply line as received, after decryption on an encrypted
 *    channel (the lines of a "getlog" body included);
 *  - DRAVOLIN_TRACE_EVENT: "connect ADDRESS:PORT: OUTCOME" for each address tried,
 *    "encrypted channel on", "disconnect: sending side shut down", "link ended: REASON TEXT",
 *    "closed".
 * Secrets never appear: the password of a plain login ("login NAME <redacted>"), the CHAP
 * responses sent and received (-CHAP_R:"<redacted>", CHAP_R="<redacted>"); the key material
 * of the encrypted channel is never traced. The callback may call any function of the library
 * except that a synchronous operation on its own connection is served in place (as for a
 * CompletionCallback). Without a callback nothing is formatted: the trace costs nothing. */
#define DRAVOLIN_TRACE_SENT 0
#define DRAVOLIN_TRACE_RECEIVED 1
#define DRAVOLIN_TRACE_EVENT 2

typedef void(DRAVOLIN_CALL* TraceCallback)(uint32_t connection, int direction, const char* line,
                                           void* context);

/* Sets the trace of a connection from now on (a null callback ends it); context is handed to
 * every call. Connection 0 sets the trace of the connections created afterwards (until
 * DravolinClient_Free), from their first connect attempt on; connections that exist keep
 * theirs. 0, 2 or 3. */
DRAVOLIN_API int DRAVOLIN_CALL DravolinClient_SetTrace(uint32_t connection, TraceCallback callback,
                                                       void* context);

#ifdef __cplusplus
}
#endif

#endif /* DRAVOLIN_CLIENT_H */
