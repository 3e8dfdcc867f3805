// Incremental scanner of one management reply: status line, "name=value"
// header lines, an empty line, body lines, and an end line (exactly CR LF or
// CR CR LF). A line ends only where the text ends in CR LF; a lone LF does not
// end it. The scanner keeps no line text, so a reply of any size is followed
// in constant memory; body bytes are handed to a sink as they arrive.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace bench {

class ReplyScanner {
  public:
    // Receives the body, byte for byte, line terminators included, the end line
    // excluded. Pieces may split lines anywhere.
    using BodySink = std::function<void(std::string_view)>;

    explicit ReplyScanner(BodySink sink = {}) : sink_(std::move(sink)) {}

    // Starts over for the next reply.
    void reset();

    // Consumes bytes up to and including the end line of the reply; returns how
    // many of the given bytes were consumed (all of them unless the reply ended
    // inside the piece).
    std::size_t feed(std::string_view bytes);

    bool complete() const { return phase_ == Phase::Complete; }
    // Decimal value of the status line's first three characters (digits only;
    // anything else counts as 0), or -1 before the status line has ended.
    int status() const { return status_; }
    // Header lines that hold a "=".
    std::size_t records() const { return records_; }
    // Every byte consumed for this reply.
    std::size_t bytes() const { return bytes_; }

  private:
    enum class Phase { Status, Headers, Body, Complete };

    void append(std::string_view piece);
    void endLine();
    void emit(std::string_view piece) {
        if (sink_ && !piece.empty())
            sink_(piece);
    }

    BodySink sink_;
    Phase phase_ = Phase::Status;
    int status_ = -1;
    std::size_t records_ = 0;
    std::size_t bytes_ = 0;
    // The line in progress: its length, its first three bytes (a body line of
    // at most three bytes may turn out to be the end line, so those are held
    // back from the sink), its last byte, whether a header line holds a "=".
    std::size_t lineLen_ = 0;
    char head_[3] = {};
    char last_ = 0;
    bool hasEquals_ = false;
};

} // namespace bench
