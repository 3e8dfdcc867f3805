// One queued step of an operation on a connection.
#pragma once

#include "commands.h"
#include "line_assembler.h"
#include "os.h"
#include "reply_parser.h"

#include <cstdint>
#include <memory>
#include <string>

namespace dravolin {

struct LoginSession;

// Why the client ended a request itself (a DRAVOLIN_REASON_ code and a short text); reason 0
// while the server's reply decides.
struct Failure {
    int reason = 0;
    std::string text;
};

class Request {
  public:
    Request(protocol::RequestKind kind, std::string commandText, std::uint32_t requestId,
            bool deliver)
        : kind(kind), commandText(std::move(commandText)), requestId(requestId), deliver(deliver) {}

    // One complete reply line; false when the connection can no longer be used.
    bool consumeLine(std::string_view line);

    // Closes the local log file; false when it could not be written completely.
    bool finishLogFile();

    bool complete() const { return reply.state() == protocol::ParseState::Complete; }

    // Records why the client fails this request; the first reason given stays.
    void failWith(int reason, std::string text);

    const protocol::RequestKind kind;
    const std::string commandText;
    const std::uint32_t requestId;
    const bool deliver;
    bool failLocally = false;            // nothing to send: completes with 105 when reached
    bool afterDelivery = false;          // a follow-up of an operation already delivered
    std::shared_ptr<LoginSession> login; // the login that this step belongs to

    protocol::ReplyParser reply; // status (105 until read) and records
    protocol::LineAssembler lines;
    std::string bodyText; // body of non-log replies and error texts; not delivered
    Failure failure;

    // Log transfer.
    std::string logDirectory;
    std::string logFileName;
    os::OutputFile logFile;
    bool logFileFailed = false;

  private:
    bool onHeadersComplete();
};

} // namespace dravolin
