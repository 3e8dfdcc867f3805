#include "line_assembler.h"

#include <cstring>

namespace dravolin::protocol {

LineAssembler::Result LineAssembler::feed(const char* data, std::size_t length,
                                          std::size_t& consumed) {
    if (ready_) {
        buffer_.clear();
        ready_ = false;
    }
    consumed = 0;
    while (consumed < length) {
        const char* start = data + consumed;
        const std::size_t rest = length - consumed;
        const void* lf = std::memchr(start, '\n', rest);
        const std::size_t piece = lf ? static_cast<const char*>(lf) - start + 1 : rest;
        consumed += piece;

        if (!tooLong_ && buffer_.size() + piece > kMaxLineLength) {
            // Keep nothing past the limit; only remember whether the text ends in CR.
            tooLong_ = true;
            lastWasCr_ = !buffer_.empty() && buffer_.back() == '\r';
            buffer_.clear();
            buffer_.shrink_to_fit();
        }
        if (tooLong_) {
            bool crlf = false;
            if (lf) {
                crlf = piece >= 2 ? start[piece - 2] == '\r' : lastWasCr_;
            }
            lastWasCr_ = start[piece - 1] == '\r';
            if (crlf) {
                tooLong_ = false;
                lastWasCr_ = false;
                return Result::Skipped;
            }
            continue;
        }
        buffer_.append(start, piece);
        if (lf && buffer_.size() >= 2 && buffer_[buffer_.size() - 2] == '\r') {
            ready_ = true;
            return Result::Line;
        }
    }
    return Result::Partial;
}

} // namespace dravolin::protocol
