// Formatting of replies (name=value lines or JSON) and of the getlog progress bar. Pure code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dravolinctl {

struct Record {
    std::string name;
    std::string value;
};

struct StepResult {
    std::string command;
    std::optional<std::string> arg;
    bool ok = false;
    int status = 0;                    // the reply's status (105 for the client's failures)
    std::string text;                  // the status line's text; empty when none came
    std::optional<std::string> reason; // the client's reason, when it failed on this side
    std::vector<Record> records;
    std::optional<std::string> file; // getlog: where the log landed
};

// A JSON string literal, quotes included. Valid UTF-8 passes through; control characters,
// quotes and backslashes are escaped, and bytes that are not valid UTF-8 are taken as
// Latin-1 and escaped, so the output is always valid JSON whatever the server sent.
std::string jsonString(std::string_view text);

// The records as name=value lines; with a header, a "# command arg" line comes first.
std::string formatText(const StepResult& result, bool withHeader);

// One JSON object per result; an array when asArray (batch runs), else the single object.
std::string formatJson(const std::vector<StepResult>& results, bool asArray);

// "1.5 MiB", "512 B".
std::string formatBytes(std::uint64_t bytes);

// A one-line progress bar of at most width columns. Without a total it shows the bytes so far.
std::string renderProgress(std::uint64_t done, std::optional<std::uint64_t> total, int width);

// A bar for a transfer whose size is not known yet: a marker that moves with each tick, and
// the bytes so far. At most width columns.
std::string renderActivity(std::uint64_t done, unsigned tick, int width);

// A decimal size as the server's "LogSize" gives it; nothing for anything else.
std::optional<std::uint64_t> parseSize(std::string_view text);

// One line of --trace: the time of day in UTC with milliseconds (from the milliseconds since
// the epoch), a mark ("> " sent, "< " received, "* " an event) and the line, with its end.
// direction: 0 sent, 1 received, anything else an event.
std::string formatTraceLine(std::int64_t epochMs, int direction, std::string_view line);

// The value of the first record with this name.
std::optional<std::string> findRecord(const std::vector<Record>& records, std::string_view name);

} // namespace dravolinctl
