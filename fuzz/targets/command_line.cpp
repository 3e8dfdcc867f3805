// The configurator's command-line parser, against a small model of the
// switch rules: a line is accepted exactly when every blank-separated token
// is a known switch with an acceptable value, and then carries the last
// value of each switch. The full run applies exactly once for an accepted
// line and never for a rejected one, with the matching exit code. The
// whole-line commands (show, remove, help) are only ever lines the switch
// parser rejects, so no line that applies changes its meaning.
#include "harness.h"

#include "ui/command_line.h"
#include "ui/program_run.h"

#include <string>
#include <vector>

namespace {

using namespace ipseccfg;

// Never touches the network: the "address" is a function of the text, and
// text starting with 'x' does not resolve.
bool FakeResolve(const std::u16string& text, std::uint32_t& address) {
    if (text.empty() || text[0] == u'x')
        return false;
    address = static_cast<std::uint32_t>(text.size() * 2654435761u);
    return true;
}

std::optional<CommandLineSettings> Model(const std::u16string& line) {
    CommandLineSettings s;
    std::size_t start = 0;
    for (;;) {
        const std::size_t blank = line.find(u' ', start);
        const std::u16string token = line.substr(
            start, blank == std::u16string::npos ? std::u16string::npos : blank - start);
        if (token.size() < 2 || (token[0] != u'-' && token[0] != u'/'))
            return std::nullopt;
        const std::u16string value = token.substr(2);
        switch (token[1]) {
        case u'a':
            if (!FakeResolve(value, s.address))
                return std::nullopt;
            break;
        case u'p': {
            const auto port = static_cast<std::uint32_t>(ReadCStyleInteger(value));
            if (port == 0 || port > 65535)
                return std::nullopt;
            s.port = port;
            break;
        }
        case u'k':
            s.key = value;
            break;
        case u'u':
            s.deactivate = true;
            break;
        default:
            return std::nullopt;
        }
        if (blank == std::u16string::npos)
            return s;
        start = blank + 1;
    }
}

} // namespace

int FuzzCommandLine(const std::uint8_t* data, std::size_t size) {
    dravolin::fuzz::InputReader in(data, size);
    const std::uint8_t mode = in.byte();
    std::u16string line;
    if (mode & 1) {
        // Wide characters, as the program receives them.
        while (in.remaining() >= 2)
            line.push_back(static_cast<char16_t>(in.u16()));
    } else {
        for (char c : in.rest())
            line.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }

    const auto parsed = ParseSwitches(line, FakeResolve);
    if (!line.empty()) {
        const auto expected = Model(line);
        FUZZ_REQUIRE(parsed.has_value() == expected.has_value());
        if (parsed) {
            FUZZ_REQUIRE(parsed->address == expected->address);
            FUZZ_REQUIRE(parsed->port == expected->port);
            FUZZ_REQUIRE(parsed->key == expected->key);
            FUZZ_REQUIRE(parsed->deactivate == expected->deactivate);
        }
    }
    if (parsed)
        FUZZ_REQUIRE(parsed->port >= 1 && parsed->port <= 65535);

    int applied = 0;
    const bool applyResult = (mode & 2) != 0;
    const int code = RunCommandLine(line, FakeResolve, [&](const CommandLineSettings&) {
        ++applied;
        return applyResult;
    });
    if (parsed) {
        FUZZ_REQUIRE(applied == 1);
        FUZZ_REQUIRE(code == (applyResult ? kExitSuccess : kExitApplyFailed));
    } else {
        FUZZ_REQUIRE(applied == 0);
        FUZZ_REQUIRE(code == kExitRejectedLine);
    }

    // The explained parse agrees, and names a reason exactly when it rejects.
    const SwitchParse explained = ParseSwitchesExplained(line, FakeResolve);
    FUZZ_REQUIRE(explained.settings.has_value() == parsed.has_value());
    FUZZ_REQUIRE((explained.rejection == Rejection::None) == parsed.has_value());

    const CommandKind kind = ClassifyCommandLine(line);
    if (kind != CommandKind::Switches)
        FUZZ_REQUIRE(!parsed);
    if (!line.empty()) {
        // The full program run: switch lines end exactly as before, every
        // message is one line, and only the command the line names runs.
        struct Count final : ProgramOutput {
            void Print(std::string_view) override {}
            void Message(std::string_view text) override {
                FUZZ_REQUIRE(text.find('\n') == std::string_view::npos);
                ++messages;
            }
            int messages = 0;
        } output;
        int applies = 0, reads = 0, removes = 0;
        ProgramServices services;
        services.resolve = FakeResolve;
        services.apply = [&](const CommandLineSettings&) {
            ++applies;
            return applyResult ? ApplyOutcome::Applied : ApplyOutcome::AgentStartFailed;
        };
        services.readStatus = [&] {
            ++reads;
            return ConfigurationStatus{};
        };
        services.remove = [&] {
            ++removes;
            return RemoveResult{};
        };
        const int programCode = RunProgramCommand(line, services, output);
        if (kind == CommandKind::Switches) {
            FUZZ_REQUIRE(programCode == code);
            FUZZ_REQUIRE(applies == applied && reads == 0 && removes == 0);
            FUZZ_REQUIRE(output.messages == 1);
        } else {
            FUZZ_REQUIRE(applies == 0);
            FUZZ_REQUIRE(reads == (kind == CommandKind::Show || kind == CommandKind::ShowJson));
            FUZZ_REQUIRE(removes == (kind == CommandKind::Remove));
        }
    }

    // The tail of a full process command line is a suffix of it.
    const std::u16string_view tail = CommandLineTail(line);
    FUZZ_REQUIRE(tail.size() <= line.size());
    FUZZ_REQUIRE(line.compare(line.size() - tail.size(), tail.size(), tail) == 0);
    return 0;
}
