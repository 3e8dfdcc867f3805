// The command-line mode: locating the switches after the program name,
// reading them, and the exit codes of a run.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ui/command_line.h"
#include "ui/program_run.h"

namespace ipseccfg {
namespace {

// Resolves a few fixed names; never touches the network.
bool FakeResolve(const std::u16string& text, std::uint32_t& address) {
    static const std::map<std::u16string, std::uint32_t> known = {
        {u"10.0.0.1", 0x0A000001u}, {u"192.168.0.5", 0xC0A80005u}, {u"server", 0x7F000001u}};
    const auto it = known.find(text);
    if (it == known.end())
        return false;
    address = it->second;
    return true;
}

std::optional<CommandLineSettings> Parse(std::u16string_view line) {
    return ParseSwitches(line, FakeResolve);
}

TEST(CommandLineTail, SkipsProgramNameAndFollowingBlanks) {
    EXPECT_EQ(CommandLineTail(u"prog.exe -p1"), u"-p1");
    EXPECT_EQ(CommandLineTail(u"prog.exe \t  -p1  -u"), u"-p1  -u");
    EXPECT_EQ(CommandLineTail(u"\"C:\\Program Files\\x.exe\" -k a"), u"-k a");
    EXPECT_EQ(CommandLineTail(u"\"C:\\a b\\x.exe\"-u"), u"-u");
    EXPECT_EQ(CommandLineTail(u"prog.exe"), u"");
    EXPECT_EQ(CommandLineTail(u"prog.exe   "), u"");
    EXPECT_EQ(CommandLineTail(u"\"unterminated name"), u"");
    EXPECT_EQ(CommandLineTail(u""), u"");
    // Trailing blanks of the switches are kept: they make an empty token.
    EXPECT_EQ(CommandLineTail(u"prog -u "), u"-u ");
}

TEST(ReadCStyleInteger, FollowsStringToIntegerRules) {
    EXPECT_EQ(ReadCStyleInteger(u"3260"), 3260);
    EXPECT_EQ(ReadCStyleInteger(u"  \t42"), 42);
    EXPECT_EQ(ReadCStyleInteger(u"+7"), 7);
    EXPECT_EQ(ReadCStyleInteger(u"-1"), -1);
    EXPECT_EQ(ReadCStyleInteger(u"12a"), 12);
    EXPECT_EQ(ReadCStyleInteger(u"a12"), 0);
    EXPECT_EQ(ReadCStyleInteger(u""), 0);
    EXPECT_EQ(ReadCStyleInteger(u"-"), 0);
    EXPECT_EQ(ReadCStyleInteger(u"+-5"), 0);
    EXPECT_EQ(ReadCStyleInteger(u"0003261"), 3261);
    // Overlong numbers saturate instead of wrapping into the valid range.
    EXPECT_EQ(ReadCStyleInteger(u"4294967297"), 2147483647);
    EXPECT_EQ(ReadCStyleInteger(u"99999999999999999999999"), 2147483647);
    EXPECT_EQ(ReadCStyleInteger(u"-99999999999999999999999"), -2147483647 - 1);
}

TEST(ParseSwitches, DefaultsAreAddressZeroPort3260EmptyKeyActivate) {
    const auto s = Parse(u"-k");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->address, 0u);
    EXPECT_EQ(s->port, 3260u);
    EXPECT_EQ(s->key, u"");
    EXPECT_FALSE(s->deactivate);
}

TEST(ParseSwitches, ReadsEverySwitchWithDashOrSlash) {
    for (const char16_t* line : {u"-a10.0.0.1 -p3261 -ksecret", u"/a10.0.0.1 /p3261 /ksecret",
                                 u"-a10.0.0.1 /p3261 -ksecret"}) {
        const auto s = Parse(line);
        ASSERT_TRUE(s) << std::string(line, line + std::char_traits<char16_t>::length(line));
        EXPECT_EQ(s->address, 0x0A000001u);
        EXPECT_EQ(s->port, 3261u);
        EXPECT_EQ(s->key, u"secret");
        EXPECT_FALSE(s->deactivate);
    }
}

TEST(ParseSwitches, DeactivateIgnoresItsValueAndKeepsDefaults) {
    for (const char16_t* line : {u"-u", u"/u", u"-uanything"}) {
        const auto s = Parse(line);
        ASSERT_TRUE(s);
        EXPECT_TRUE(s->deactivate);
        EXPECT_EQ(s->address, 0u);
        EXPECT_EQ(s->port, 3260u);
        EXPECT_EQ(s->key, u"");
    }
}

TEST(ParseSwitches, LaterSwitchOverridesEarlierOne) {
    const auto s = Parse(u"-p1 -p2 -kone -ktwo -aserver -a192.168.0.5");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->port, 2u);
    EXPECT_EQ(s->key, u"two");
    EXPECT_EQ(s->address, 0xC0A80005u);
}

TEST(ParseSwitches, PortRangeIsOneTo65535) {
    EXPECT_EQ(Parse(u"-p1")->port, 1u);
    EXPECT_EQ(Parse(u"-p65535")->port, 65535u);
    EXPECT_EQ(Parse(u"-p+80")->port, 80u);
    // Reading stops at the first non-digit.
    EXPECT_EQ(Parse(u"-p12a")->port, 12u);
    EXPECT_EQ(Parse(u"-p3260\t-u")->port, 3260u);
    for (const char16_t* rejected : {u"-p0", u"-p", u"-p65536", u"-p-1", u"-p-65535", u"-pabc",
                                     u"-p4294967297", u"-p99999999999999999999"})
        EXPECT_FALSE(Parse(rejected)) << std::u16string(rejected).size();
}

TEST(ParseSwitches, KeyKeepsEverythingBehindTheLetter) {
    EXPECT_EQ(Parse(u"-k")->key, u"");
    EXPECT_EQ(Parse(u"-k-p1/x")->key, u"-p1/x");
    EXPECT_EQ(Parse(u"-k\"quoted\"")->key, u"\"quoted\"");
    EXPECT_EQ(Parse(u"-k\x00e9t\x00e9")->key, u"\x00e9t\x00e9");
}

TEST(ParseSwitches, AddressMustResolve) {
    EXPECT_EQ(Parse(u"-aserver")->address, 0x7F000001u);
    EXPECT_FALSE(Parse(u"-aunknown"));
    EXPECT_FALSE(Parse(u"-a"));
    EXPECT_FALSE(ParseSwitches(u"-a10.0.0.1", AddressResolver{}));
}

TEST(ParseSwitches, RejectsMalformedTokens) {
    for (const char16_t* rejected : {
             u"",             // nothing at all
             u"-x1",          // unknown letter
             u"-A10.0.0.1",   // letters are expected lower-cased already
             u"a10.0.0.1",    // no switch character
             u"-",            // no letter
             u"/",            //
             u"-p1  -u",      // two blanks make an empty token
             u"-u ",          // trailing blank
             u" -u",          // leading blank
             u"-kmy key",     // quotes mean nothing: "key" is a token
             u"-k\"my key\"", //
             u"-u\t-p1 x",    // tab is no separator, but the blank is
             u"\\u",          // backslash is no switch character
         })
        EXPECT_FALSE(Parse(rejected)) << std::u16string(rejected).size();
}

TEST(ParseSwitches, BlankSeparatedTextThatLooksLikeASwitchIsOne) {
    // A key with a blank cannot be given; the rest is read as a switch.
    const auto s = Parse(u"-kmy -p1");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->key, u"my");
    EXPECT_EQ(s->port, 1u);
}

TEST(RunCommandLine, AppliesOnceAndMapsResultToExitCode) {
    std::vector<CommandLineSettings> applied;
    auto recorder = [&](bool result) {
        return [&applied, result](const CommandLineSettings& s) {
            applied.push_back(s);
            return result;
        };
    };
    EXPECT_EQ(RunCommandLine(u"-a10.0.0.1 -p3260 -kkey", FakeResolve, recorder(true)), 0);
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied[0].address, 0x0A000001u);
    EXPECT_EQ(applied[0].port, 3260u);
    EXPECT_EQ(applied[0].key, u"key");

    EXPECT_EQ(RunCommandLine(u"-u", FakeResolve, recorder(false)), 2);
    ASSERT_EQ(applied.size(), 2u);
    EXPECT_TRUE(applied[1].deactivate);
}

TEST(RunCommandLine, RejectedLineAppliesNothing) {
    int calls = 0;
    auto apply = [&](const CommandLineSettings&) {
        ++calls;
        return true;
    };
    EXPECT_EQ(RunCommandLine(u"-x1", FakeResolve, apply), 1);
    EXPECT_EQ(RunCommandLine(u"-p1  -u", FakeResolve, apply), 1);
    EXPECT_EQ(RunCommandLine(u"-a10.0.0.1 -p0", FakeResolve, apply), 1);
    // A rejected switch after valid ones still rejects the whole line.
    EXPECT_EQ(RunCommandLine(u"-p1 -ka -aunknown", FakeResolve, apply), 1);
    EXPECT_EQ(calls, 0);
}

// --- Whole-line commands and what a run says ---------------------------------------

TEST(ClassifyCommandLine, OnlyWholeLinesAreCommands) {
    const std::vector<std::pair<std::u16string, CommandKind>> rows = {
        {u"/show", CommandKind::Show},
        {u"-show", CommandKind::Show},
        {u"/show /json", CommandKind::ShowJson},
        {u"-show -json", CommandKind::ShowJson},
        {u"/show -json", CommandKind::ShowJson},
        {u"/remove", CommandKind::Remove},
        {u"-remove", CommandKind::Remove},
        {u"/?", CommandKind::Help},
        {u"-?", CommandKind::Help},
        {u"/help", CommandKind::Help},
        // What cmd.exe leaves before a redirection.
        {u"/show ", CommandKind::Show},
        {u"/show /json \t ", CommandKind::ShowJson},
        {u"/remove ", CommandKind::Remove},
        {u"/? ", CommandKind::Help},
        // Everything else stays a switch line, with today's meaning.
        {u"-help", CommandKind::Switches},
        {u"/show  /json", CommandKind::Switches},
        {u" /show", CommandKind::Switches},
        {u"/show /json /json", CommandKind::Switches},
        {u"/json", CommandKind::Switches},
        {u"show", CommandKind::Switches},
        {u"/remove -u", CommandKind::Switches},
        {u"/showx", CommandKind::Switches},
        {u"-a10.0.0.1", CommandKind::Switches},
        {u"", CommandKind::Switches},
    };
    for (const auto& [line, kind] : rows)
        EXPECT_EQ(ClassifyCommandLine(line), kind) << ToUtf8(line);
}

TEST(ParseSwitchesExplained, SaysWhichSwitchWasRejected) {
    const std::vector<std::tuple<std::u16string, Rejection, std::u16string>> rows = {
        {u"-a10.0.0.1 -p3260", Rejection::None, u""},
        {u"-x1", Rejection::NotUnderstood, u"-x1"},
        {u"a10.0.0.1", Rejection::NotUnderstood, u"a10.0.0.1"},
        {u"-", Rejection::NotUnderstood, u"-"},
        {u"-p1  -u", Rejection::NotUnderstood, u""},
        {u"-u ", Rejection::NotUnderstood, u""},
        {u"-kmy key", Rejection::NotUnderstood, u"key"},
        {u"-p0", Rejection::InvalidPort, u"-p0"},
        {u"-p1 -p65536", Rejection::InvalidPort, u"-p65536"},
        {u"-p1 -ka -aunknown", Rejection::InvalidAddress, u"-aunknown"},
    };
    for (const auto& [line, rejection, token] : rows) {
        const SwitchParse parse = ParseSwitchesExplained(line, FakeResolve);
        EXPECT_EQ(parse.rejection, rejection) << ToUtf8(line);
        EXPECT_EQ(parse.token, token) << ToUtf8(line);
        EXPECT_EQ(parse.settings.has_value(), rejection == Rejection::None) << ToUtf8(line);
        EXPECT_EQ(Parse(line).has_value(), parse.settings.has_value()) << ToUtf8(line);
    }
}

class RecordingOutput final : public ProgramOutput {
  public:
    void Print(std::string_view text) override { printed += text; }
    void Message(std::string_view line) override { messages.emplace_back(line); }
    std::string printed;
    std::vector<std::string> messages;
};

struct FakeStore {
    ApplyOutcome applyOutcome = ApplyOutcome::Applied;
    ConfigurationStatus status;
    RemoveResult removeResult;
    int applies = 0, reads = 0, removes = 0;

    ProgramServices Services() {
        ProgramServices services;
        services.resolve = FakeResolve;
        services.apply = [this](const CommandLineSettings&) {
            ++applies;
            return applyOutcome;
        };
        services.readStatus = [this] {
            ++reads;
            return status;
        };
        services.remove = [this] {
            ++removes;
            return removeResult;
        };
        return services;
    }
};

ConfigurationStatus ProtectedStatus() {
    ConfigurationStatus status;
    status.stored = true;
    status.configured = true;
    status.address = 0x0A000001u;
    status.ports = {3260, 3261};
    status.keySet = true;
    status.activePolicy = ActivePolicyKind::Configurator;
    status.agent = AgentState::Running;
    return status;
}

TEST(RunProgramCommand, EachOutcomeHasItsExitCodeAndOneMessageLine) {
    const std::string failed = "The IP Security settings could not be applied. ";
    struct Row {
        std::u16string line;
        ApplyOutcome outcome;
        int exit;
        std::string message;
    };
    const std::vector<Row> rows = {
        {u"-a10.0.0.1 -p3260 -kk", ApplyOutcome::Applied, 0,
         "IP Security activated for 10.0.0.1, ports 3260 and 3261."},
        {u"-p65535", ApplyOutcome::Applied, 0,
         "IP Security activated for 0.0.0.0, ports 65535 and 0."},
        {u"-u", ApplyOutcome::Applied, 0,
         "IP Security deactivated: the service rules were removed."},
        {u"-u", ApplyOutcome::StoreWriteFailed, 2,
         failed + "The policy could not be written to the store."},
        {u"-u", ApplyOutcome::AgentStartFailed, 2,
         failed + "The policy agent (\"PolicyAgent\") could not be started."},
        {u"-u", ApplyOutcome::ActivePolicyWriteFailed, 2,
         failed + "The policy could not be recorded as active (\"ActivePolicy\")."},
        {u"-u", ApplyOutcome::AgentNotifyFailed, 2,
         failed + "The policy agent could not be notified."},
        {u"-x1", ApplyOutcome::Applied, 1, "Switch not understood: \"-x1\"."},
        {u"-x\n1\t", ApplyOutcome::Applied, 1, "Switch not understood: \"-x?1?\"."},
        {u"-p1 ", ApplyOutcome::Applied, 1,
         "Switch not understood: \"\" (two blanks in a row or a blank at the end of the line)."},
        {u"-aunknown", ApplyOutcome::Applied, 1, "Invalid IP address."},
        {u"-p0", ApplyOutcome::Applied, 1, "Invalid port number."},
    };
    for (const Row& row : rows) {
        FakeStore store;
        store.applyOutcome = row.outcome;
        RecordingOutput output;
        EXPECT_EQ(RunProgramCommand(row.line, store.Services(), output), row.exit)
            << ToUtf8(row.line);
        EXPECT_EQ(output.messages, std::vector<std::string>{row.message}) << ToUtf8(row.line);
        EXPECT_EQ(output.printed, "") << ToUtf8(row.line);
        EXPECT_EQ(store.applies, row.exit == 1 ? 0 : 1) << ToUtf8(row.line);
        EXPECT_EQ(store.reads + store.removes, 0);

        // The window program: the same exit code, nothing said.
        SilentOutput silent;
        FakeStore again;
        again.applyOutcome = row.outcome;
        EXPECT_EQ(RunProgramCommand(row.line, again.Services(), silent), row.exit);
    }
}

TEST(RunProgramCommand, ShowExitCodes) {
    FakeStore store;
    store.status = ProtectedStatus();
    RecordingOutput output;
    EXPECT_EQ(RunProgramCommand(u"/show", store.Services(), output), 0);
    EXPECT_TRUE(output.messages.empty());
    EXPECT_EQ(output.printed, FormatStatusText(store.status));

    for (auto change : std::vector<std::function<void(ConfigurationStatus&)>>{
             [](ConfigurationStatus& s) { s.configured = false; },
             [](ConfigurationStatus& s) { s.activePolicy = ActivePolicyKind::Other; },
             [](ConfigurationStatus& s) { s.activePolicy = ActivePolicyKind::None; }}) {
        store.status = ProtectedStatus();
        change(store.status);
        RecordingOutput o;
        EXPECT_EQ(RunProgramCommand(u"-show -json", store.Services(), o), 3);
        EXPECT_EQ(o.printed, FormatStatusJson(store.status));
    }

    store.status = ProtectedStatus();
    store.status.damaged = true;
    store.status.damagedObject = "X\\ipsecNFA{1}";
    RecordingOutput damaged;
    EXPECT_EQ(RunProgramCommand(u"/show", store.Services(), damaged), 2);
    EXPECT_EQ(damaged.messages,
              std::vector<std::string>{"The stored policy is damaged: X\\ipsecNFA{1}."});
    EXPECT_NE(damaged.printed.find("Protected: no\n"), std::string::npos);
    EXPECT_NE(damaged.printed.find("Stored policy: damaged (X\\ipsecNFA{1})\n"), std::string::npos);
    EXPECT_EQ(store.applies + store.removes, 0);
}

TEST(RunProgramCommand, RemoveSaysWhatStayed) {
    struct Row {
        std::function<void(RemoveResult&)> arrange;
        int exit;
        std::string message;
    };
    const std::string failed = "The IP Security configuration could not be removed completely: ";
    const std::vector<Row> rows = {
        {[](RemoveResult&) {}, 0, "No IP Security configuration was stored."},
        {[](RemoveResult& r) { r.wasStored = true; }, 0,
         "The IP Security configuration was removed."},
        {[](RemoveResult& r) { r.wasActive = true; }, 0,
         "The IP Security configuration was removed."},
        {[](RemoveResult& r) { r.activePolicyLeft = true; }, 2,
         failed + "\"ActivePolicy\" could not be deleted, so the policy was kept."},
        {[](RemoveResult& r) {
             r.leftBehind = {"A", "B"};
         },
         2, failed + "left in the store: A, B."},
        {[](RemoveResult& r) {
             r.leftBehind = {"A"};
             r.agentNotifyFailed = true;
         },
         2, failed + "left in the store: A; the policy agent could not be notified."},
    };
    for (const Row& row : rows) {
        FakeStore store;
        row.arrange(store.removeResult);
        RecordingOutput output;
        EXPECT_EQ(RunProgramCommand(u"-remove", store.Services(), output), row.exit);
        EXPECT_EQ(output.messages, std::vector<std::string>{row.message});
        EXPECT_EQ(store.removes, 1);
        EXPECT_EQ(store.applies, 0);
    }
}

TEST(RunProgramCommand, HelpPrintsUsageOnly) {
    for (const char16_t* line : {u"/?", u"-?", u"/help"}) {
        FakeStore store;
        RecordingOutput output;
        EXPECT_EQ(RunProgramCommand(line, store.Services(), output), 0);
        EXPECT_EQ(output.printed, UsageText());
        EXPECT_TRUE(output.messages.empty());
        EXPECT_EQ(store.applies + store.reads + store.removes, 0);
    }
}

TEST(StatusFormats, TextAndJsonAsBuilt) {
    ConfigurationStatus status = ProtectedStatus();
    EXPECT_EQ(FormatStatusText(status), "Protected: yes\n"
                                        "Configured: yes\n"
                                        "Stored policy: yes\n"
                                        "Server address: 10.0.0.1\n"
                                        "Ports: 3260 3261\n"
                                        "Preshared key: set\n"
                                        "Active policy: configurator\n"
                                        "Policy agent: running\n");
    EXPECT_EQ(FormatStatusJson(status),
              "{\"protected\":true,\"configured\":true,\"address\":\"10.0.0.1\","
              "\"ports\":[3260,3261],\"presharedKey\":\"set\",\"activePolicy\":"
              "\"configurator\",\"otherPolicy\":null,\"agent\":\"running\"}\n");

    ConfigurationStatus none;
    EXPECT_EQ(FormatStatusText(none), "Protected: no\n"
                                      "Configured: no\n"
                                      "Stored policy: none\n"
                                      "Server address: none\n"
                                      "Ports: none\n"
                                      "Preshared key: none\n"
                                      "Active policy: none\n"
                                      "Policy agent: not installed\n");
    EXPECT_EQ(FormatStatusJson(none),
              "{\"protected\":false,\"configured\":false,\"address\":null,\"ports\":[],"
              "\"presharedKey\":null,\"activePolicy\":\"none\",\"otherPolicy\":null,"
              "\"agent\":\"missing\"}\n");

    // Another policy's stored text, escaped for JSON; narrow text arrives as
    // UTF-8.
    ConfigurationStatus other;
    other.keySet = false;
    other.ports = {7};
    other.agent = AgentState::Stopped;
    other.activePolicy = ActivePolicyKind::Other;
    other.activePolicyText = "A\\\"b\x01\xE9";
    EXPECT_EQ(FormatStatusJson(other),
              "{\"protected\":false,\"configured\":false,\"address\":null,\"ports\":[7],"
              "\"presharedKey\":\"empty\",\"activePolicy\":\"other\",\"otherPolicy\":"
              "\"A\\\\\\\"b\\u0001\xC3\xA9\",\"agent\":\"stopped\"}\n");
    EXPECT_NE(FormatStatusText(other).find("Active policy: other (A\\\"b\x01\xC3\xA9)\n"),
              std::string::npos);
}

} // namespace
} // namespace ipseccfg
