#include "request.h"

#include "log_names.h"

namespace dravolin {

namespace {
// Body text of ordinary replies is never delivered; keep only a bounded head of it.
constexpr std::size_t kMaxBodyText = 64 * 1024;
} // namespace

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
        return false;
    }
    if (!logFile.open(logDirectory + logFileName)) {
        logFileFailed = true; // the body is still read, so the connection stays in step
    }
    reply.records.add("filename", logFileName);
    return true;
}

bool Request::finishLogFile() {
    if (!logFile.isOpen()) {
        return !logFileFailed;
    }
    if (!logFile.close()) {
        logFileFailed = true;
    }
    return !logFileFailed;
}

} // namespace dravolin
