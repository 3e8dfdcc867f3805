#include <iostream>
#include <string>
#include <vector>

#include "app.h"
#include "console.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto console = dravolinctl::makeSystemConsole();
    return dravolinctl::runMain(args, *console, std::cout, std::cerr);
}
