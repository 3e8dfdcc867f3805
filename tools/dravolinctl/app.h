// dravolinctl as a function: parses the arguments, runs the session through the client
// library and reports on the given streams. main() is a thin wrapper, and tests call this.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "console.h"

namespace dravolinctl {

// args excludes the program name; returns the exit code.
int runMain(const std::vector<std::string>& args, Console& console, std::ostream& out,
            std::ostream& err);

} // namespace dravolinctl
