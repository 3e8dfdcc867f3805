// Names of the local service log copy.
#pragma once

#include <string>
#include <string_view>

namespace dravolin::protocol {

// A name the server gives for the log file is used only when it names a file inside the log
// directory: no separators, drive colons or control characters, not "." or "..".
bool isPlainFileName(std::string_view name);

// The log directory as stored: empty stays empty (the current directory); otherwise a
// directory not ending in '/' or '\\' gets `separator` appended.
std::string normaliseLogDirectory(std::string_view directory, char separator);

// The directory part of an executable's path, up to and including its last separator
// (`separator` or '/'); without one, the whole path followed by `separator`.
std::string directoryOfPath(std::string_view path, char separator);

} // namespace dravolin::protocol
