#include "reply_scanner.h"

#include <cstring>

namespace bench {

void ReplyScanner::reset() {
    phase_ = Phase::Status;
    status_ = -1;
    records_ = 0;
    bytes_ = 0;
    lineLen_ = 0;
    last_ = 0;
    hasEquals_ = false;
}

void ReplyScanner::append(std::string_view piece) {
    if (piece.empty())
        return;
    const std::size_t before = lineLen_;
    for (std::size_t i = 0; before + i < sizeof head_ && i < piece.size(); ++i)
        head_[before + i] = piece[i];
    lineLen_ += piece.size();
    last_ = piece.back();
    if (phase_ == Phase::Headers && !hasEquals_ && piece.find('=') != std::string_view::npos)
        hasEquals_ = true;
    if (phase_ == Phase::Body && lineLen_ > sizeof head_) {
        // The line is too long to be the end line: release what was held back.
        if (before <= sizeof head_) {
            emit(std::string_view(head_, before));
            emit(piece);
        } else {
            emit(piece);
        }
    }
}

void ReplyScanner::endLine() {
    const bool empty = lineLen_ == 2;
    const bool crcrlf = lineLen_ == 3 && head_[0] == '\r' && head_[1] == '\r';
    switch (phase_) {
    case Phase::Status: {
        int code = 0;
        bool digits = lineLen_ > 3;
        for (std::size_t i = 0; digits && i < 3; ++i) {
            if (head_[i] < '0' || head_[i] > '9')
                digits = false;
            else
                code = code * 10 + (head_[i] - '0');
        }
        status_ = digits ? code : 0;
        phase_ = Phase::Headers;
        break;
    }
    case Phase::Headers:
        if (empty)
            phase_ = Phase::Body;
        else if (hasEquals_)
            ++records_;
        break;
    case Phase::Body:
        if (empty || crcrlf)
            phase_ = Phase::Complete;
        else if (lineLen_ <= sizeof head_)
            emit(std::string_view(head_, lineLen_));
        break;
    case Phase::Complete:
        break;
    }
    lineLen_ = 0;
    last_ = 0;
    hasEquals_ = false;
}

std::size_t ReplyScanner::feed(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size() && phase_ != Phase::Complete) {
        const char* start = bytes.data() + pos;
        const void* nl = std::memchr(start, '\n', bytes.size() - pos);
        if (!nl) {
            append(bytes.substr(pos));
            pos = bytes.size();
            break;
        }
        const std::size_t end =
            static_cast<std::size_t>(static_cast<const char*>(nl) - bytes.data()) + 1;
        // Whether the byte before this LF is a CR, possibly from an earlier piece.
        const bool crBefore = end - pos >= 2 ? bytes[end - 2] == '\r' : last_ == '\r';
        append(bytes.substr(pos, end - pos));
        pos = end;
        if (crBefore)
            endLine();
    }
    bytes_ += pos;
    return pos;
}

} // namespace bench
