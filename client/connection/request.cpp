#include "request.h"

#include "DravolinClient.h"
#include "errors.h"
#include "log_names.h"

namespace dravolin {

namespace {
// Body text of ordinary replies is never delivered; keep only a bounded head of it.
constexpr std::size_t kMaxBodyText = 64 * 1024;
} // namespace

void Request::failWith(int reason, std::string text) {
    if (failure.reason == DRAVOLIN_REASON_NONE) {
        failure.reason = reason;
        failure.text = std::move(text);
    }
}

bool Request::consumeLine(std::string_view line) {
    switch (reply.consumeLine(line)) {
    case protocol::ReplyParser::Event::HeadersEnd:
        return onHeadersComplete();
    case protocol::ReplyParser::Event::Body:
        if (kind == protocol::RequestKind::GetLog) {
            if (!logFileFailed && !logFile.write(line.data(), line.size())) {
                logFileFailed = true;
            }
        } else if (bodyText.size() < kMaxBodyText) {
            bodyText.append(line.substr(0, kMaxBodyText - bodyText.size()));
        }
        return true;
    case protocol::ReplyParser::Event::Invalid:
        return false;
    default:
        return true;
    }
}

bool Request::onHeadersComplete() {
    if (kind != protocol::RequestKind::GetLog) {
        return true;
    }
    logFileName.clear();
    for (const protocol::RecordView record : reply.records) {
        if (record.name == "LogFilename") {
            logFileName = record.value;
        }
    }
    // A name that is not a plain file name could make the server write anywhere.
    if (!protocol::isPlainFileName(logFileName)) {
        reply.status = protocol::kStatusClientFailure;
        failWith(DRAVOLIN_REASON_LOG_NAME_UNSAFE,
                 logFileName.empty()
                     ? "log name unsafe: the reply names no log file"
                     : "log name unsafe: the server named '" + logFileName.substr(0, 80) + "'");
        return false;
    }
    if (!logFile.open(logDirectory + logFileName)) {
        logFileFailed = true; // the body is still read, so the connection stays in step
    }
    reply.records.add("filename", logFileName);
    return true;
}

bool Request::finishLogFile() {
    const bool wasOpen = logFile.isOpen();
    if (wasOpen && !logFile.close()) {
        logFileFailed = true;
    }
    if (logFileFailed) {
        std::string text = wasOpen ? "log file not written: " : "log file not created: ";
        text += logDirectory + logFileName;
        if (const std::uint32_t code = logFile.error(); code != 0) {
            std::string system = CSysError(code).text(true);
            while (!system.empty() && (system.back() == '\n' || system.back() == '\r')) {
                system.pop_back();
            }
            text += ": " + system;
        }
        failWith(DRAVOLIN_REASON_LOG_FILE, std::move(text));
    }
    return !logFileFailed;
}

} // namespace dravolin
