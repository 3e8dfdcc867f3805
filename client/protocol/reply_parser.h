// Turns the lines of one server reply into a status and name/value records.
#pragma once

#include "record_list.h"

#include <string>
#include <string_view>
#include <vector>

namespace dravolin::protocol {

inline constexpr int kStatusOk = 200;
inline constexpr int kStatusNotChap = 104;
inline constexpr int kStatusClientFailure = 105;

// Status of a status line (terminator included): the first three characters as a decimal
// number; anything outside 100..105 and 200 becomes 105.
int parseStatusLine(std::string_view line);

// The free text of a status line: what follows its first three characters, without the
// blanks before it and the line end after it.
std::string_view statusLineText(std::string_view line);

// Removes " \t\r\n" from both ends.
std::string_view trim(std::string_view text);

// Removes one pair of enclosing double quotes.
std::string_view unquote(std::string_view text);

// A header line "name=value"; false when the line holds no '='.
bool parseHeaderLine(std::string_view line, Record& record);

enum class ParseState { StatusLine = 0, Headers = 1, Body = 2, Complete = 3 };

class ReplyParser {
  public:
    enum class Event {
        Status,     // the status line was read
        Header,     // a header line (a record was added, or the line had no '=')
        HeadersEnd, // the empty line after the headers
        Body,       // a body line: the caller stores the line
        End,        // the reply is complete
        Invalid,    // a line after the end of the reply
    };

    // One complete line including its CR LF.
    Event consumeLine(std::string_view line);

    ParseState state() const { return state_; }
    int status = kStatusClientFailure;
    std::string statusText; // the status line's free text; empty until it arrived
    RecordList records;

  private:
    ParseState state_ = ParseState::StatusLine;
};

} // namespace dravolin::protocol
