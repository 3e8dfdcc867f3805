// One queued step of an operation on a connection, and the reply it reads.
#pragma once

#include "commands.h"
#include "line_assembler.h"
#include "log_file.h"
#include "outcome.h"
#include "reply_parser.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace dravolin {

struct LoginSession;

class Request {
  public:
    Request(protocol::RequestKind kind, std::string commandText, std::uint32_t requestId,
            bool deliver)
        : kind(kind), commandText(std::move(commandText)), requestId(requestId), deliver(deliver) {}
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // One complete reply line; a failure when the connection can no longer be used. A log's
    // file is created through `files` once its headers are complete.
    std::optional<Failure> consumeLine(std::string_view line, LogFiles& files);

    // Closes the local log file of a "getlog"; the failure when it was not written whole.
    std::optional<Failure> finishLogFile();

    bool complete() const { return reply.state() == protocol::ParseState::Complete; }

    const protocol::RequestKind kind;
    const std::string commandText; // a login's lines carry secrets: wiped on destruction
    const std::uint32_t requestId;
    const bool deliver;                  // its outcome is the operation's
    std::optional<Failure> localFailure; // nothing to send: completes with it when reached
    bool sent = false;                   // the command line went out
    std::shared_ptr<LoginSession> login; // the login that this step belongs to

    protocol::ReplyParser reply;
    protocol::LineAssembler lines;

    // Log transfer.
    std::string logDirectory;
    std::string logFileName;
    std::unique_ptr<LogFile> logFile;
    std::string logFileFailure; // why it could not be created
    bool logFileFailed = false;

  private:
    std::optional<Failure> onHeadersComplete(LogFiles& files);
};

} // namespace dravolin
