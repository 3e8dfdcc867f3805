// Cuts a received byte stream into CR LF terminated reply lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace dravolin::protocol {

// Longest line kept in memory, terminator included; longer lines are skipped whole.
inline constexpr std::size_t kMaxLineLength = 32768;

class LineAssembler {
  public:
    enum class Result {
        Partial, // all input consumed, no line ended
        Line,    // line() holds a complete line, CR LF included
        Skipped, // an over-long line ended; its text was dropped
    };

    // Consumes input up to and including the first line feed that ends a line (a lone LF not
    // preceded by CR does not), or all of it. `consumed` tells how much was taken.
    Result feed(const char* data, std::size_t length, std::size_t& consumed);

    // The complete line after Result::Line; valid until the next feed().
    std::string_view line() const { return buffer_; }

    bool empty() const { return buffer_.empty() && !tooLong_; }

  private:
    std::string buffer_;
    bool tooLong_ = false;
    bool lastWasCr_ = false; // last byte taken in while tooLong_, for a CR LF across pieces
    bool ready_ = false;     // buffer_ holds a line handed out by the previous feed()
};

} // namespace dravolin::protocol
