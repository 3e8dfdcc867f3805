// Command lines as the management clients send them: a command word, then
// blank-separated words and options of the form -name:"value" (or -name:value).
// Pure text handling, no I/O.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dravolin::testserver {

struct CommandOption {
    std::string name;
    std::string value;
};

struct Command {
    std::string word;               // first token, e.g. "list", "auth"
    std::string rest;               // raw text after the word and its blanks
    std::vector<std::string> words; // plain tokens after the word, in order
    std::vector<CommandOption> options;

    // Value of the last option with this exact name, or null.
    const std::string* option(std::string_view name) const;
};

// The line without its terminator (LF, CR LF, or nothing).
std::string_view stripLineEnd(std::string_view line);

// Splits one command line. Never fails: text it cannot read as an option is
// taken as a plain word. A quoted value runs to the next double quote (no
// escapes); text glued to the closing quote starts a new word.
Command parseCommand(std::string_view line);

} // namespace dravolin::testserver
