#include "request.h"

#include "DravolinClient.h"
#include "byte_order.h"
#include "log_names.h"

namespace dravolin {

Request::~Request() {
    if (kind == protocol::RequestKind::Login || login) {
        crypto::detail::secureWipe(const_cast<char*>(commandText.data()), commandText.size());
    }
}

std::optional<Failure> Request::consumeLine(std::string_view line, LogFiles& files) {
    switch (reply.consumeLine(line)) {
    case protocol::ReplyParser::Event::HeadersEnd:
        return onHeadersComplete(files);
    case protocol::ReplyParser::Event::Body:
        // Only a log's body is kept; that of other replies is read past.
        if (kind == protocol::RequestKind::GetLog && !logFileFailed &&
            !logFile->write(line.data(), line.size())) {
            logFileFailed = true;
        }
        return std::nullopt;
    case protocol::ReplyParser::Event::Invalid:
        return Failure{DRAVOLIN_REASON_CONNECTION_LOST, "connection lost"};
    default:
        return std::nullopt;
    }
}

std::optional<Failure> Request::onHeadersComplete(LogFiles& files) {
    if (kind != protocol::RequestKind::GetLog) {
        return std::nullopt;
    }
    logFileName.clear();
    for (const protocol::RecordView record : reply.records) {
        if (record.name == "LogFilename") {
            logFileName = record.value;
        }
    }
    // A name that is not a plain file name could make the server write anywhere.
    if (!protocol::isPlainFileName(logFileName)) {
        return Failure{DRAVOLIN_REASON_LOG_NAME_UNSAFE,
                       logFileName.empty() ? "log name unsafe: the reply names no log file"
                                           : "log name unsafe: the server named '" +
                                                 logFileName.substr(0, 80) + "'"};
    }
    logFile = files.create(logDirectory + logFileName, logFileFailure);
    if (!logFile) {
        logFileFailed = true; // the body is still read, so the connection stays in step
    }
    reply.records.add("filename", logFileName);
    return std::nullopt;
}

std::optional<Failure> Request::finishLogFile() {
    const bool wasOpen = logFile != nullptr;
    if (wasOpen && !logFile->close()) {
        logFileFailed = true;
    }
    if (!logFileFailed) {
        return std::nullopt;
    }
    std::string text = wasOpen ? "log file not written: " : "log file not created: ";
    text += logDirectory + logFileName;
    if (const std::string why = wasOpen ? logFile->failureText() : logFileFailure; !why.empty()) {
        text += ": " + why;
    }
    return Failure{DRAVOLIN_REASON_LOG_FILE, std::move(text)};
}

} // namespace dravolin
