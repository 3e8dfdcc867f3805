// Where the host program lives: the default log directory of a connection.
#pragma once

#include <string>

namespace dravolin::os {

// Separator appended to a log directory that has none.
char pathSeparator();

// Full path of the host program's executable; empty when unknown.
std::string executablePath();

} // namespace dravolin::os
