// The command-line mode: locating the switches after the program name,
// reading them, and the exit codes of a run.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "ui/command_line.h"

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

} // namespace
} // namespace ipseccfg
