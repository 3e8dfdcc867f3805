// What the dialog shows when it opens and how it judges OK, apart from the
// window itself.
#include <gtest/gtest.h>

#include "policy/policy_types.h"
#include "ui/dialog_logic.h"
#include "ui/platform_text.h"

namespace ipseccfg {
namespace {

const Guid kForeign{0x12345678u, 0x1234u, 0x5678u, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST(DialogStart, NothingStoredShowsDefaultsWithFieldsDisabled) {
    const DialogStart start = DecideDialogStart(DialogSettings{}, false, std::nullopt);
    EXPECT_FALSE(start.foreignPolicy);
    EXPECT_FALSE(start.activateChecked);
    EXPECT_EQ(start.addressText, u"0.0.0.0");
    EXPECT_EQ(start.portText, u"3260");
    EXPECT_EQ(start.keyText, u"");
}

TEST(DialogStart, BoxTickedOnlyWhenOurPolicyIsActiveAndRulesExist) {
    DialogSettings stored{0xC0A80005u, 3260, u"key"};
    EXPECT_TRUE(DecideDialogStart(stored, true, ConfiguratorPolicyGuid).activateChecked);
    EXPECT_FALSE(DecideDialogStart(stored, false, ConfiguratorPolicyGuid).activateChecked);
    // Rules stored but nothing recorded as active: the box stays cleared,
    // the stored settings are shown all the same.
    const DialogStart inactive = DecideDialogStart(stored, true, std::nullopt);
    EXPECT_FALSE(inactive.activateChecked);
    EXPECT_EQ(inactive.addressText, u"192.168.0.5");
    EXPECT_EQ(inactive.keyText, u"key");
}

TEST(DialogStart, ForeignPolicyRefusesIncludingTheNullGuidOfUnreadableText) {
    EXPECT_TRUE(DecideDialogStart(DialogSettings{}, true, kForeign).foreignPolicy);
    EXPECT_TRUE(DecideDialogStart(DialogSettings{}, false, Guid{}).foreignPolicy);
    EXPECT_FALSE(DecideDialogStart(DialogSettings{}, false, ConfiguratorPolicyGuid).foreignPolicy);
}

TEST(DialogStart, AddressAndPortFormatting) {
    EXPECT_EQ(FormatDottedAddress(0xFFFFFFFFu), u"255.255.255.255");
    EXPECT_EQ(FormatDottedAddress(0x0A000001u), u"10.0.0.1");
    EXPECT_EQ(FormatDottedAddress(0x00FF0100u), u"0.255.1.0");
    EXPECT_EQ(DecideDialogStart({0, 65535, {}}, true, std::nullopt).portText, u"65535");
    EXPECT_EQ(DecideDialogStart({0, 0, {}}, true, std::nullopt).portText, u"0");
}

bool OnlyTen(const std::u16string& text, std::uint32_t& address) {
    if (text != u"10.0.0.1")
        return false;
    address = 0x0A000001u;
    return true;
}

TEST(DialogInput, AddressIsCheckedBeforePort) {
    std::uint32_t address = 7, port = 9;
    EXPECT_EQ(CheckDialogInput(u"bad", u"", OnlyTen, address, port), OkVerdict::InvalidAddress);
    EXPECT_EQ(CheckDialogInput(u"bad", u"3260", OnlyTen, address, port), OkVerdict::InvalidAddress);
    for (const char16_t* bad : {u"", u"0", u"65536", u"-1", u"12a", u"+80", u"1 2", u"0x10",
                                u"4294967296", u"99999999999999999999"})
        EXPECT_EQ(CheckDialogInput(u"10.0.0.1", bad, OnlyTen, address, port),
                  OkVerdict::InvalidPort)
            << std::u16string(bad).size();
    EXPECT_EQ(address, 7u);
    EXPECT_EQ(port, 9u);
    EXPECT_EQ(CheckDialogInput(u"10.0.0.1", u"65535", OnlyTen, address, port), OkVerdict::Apply);
    EXPECT_EQ(address, 0x0A000001u);
    EXPECT_EQ(port, 65535u);
    EXPECT_EQ(CheckDialogInput(u"10.0.0.1", u" 1\t", OnlyTen, address, port), OkVerdict::Apply);
    EXPECT_EQ(port, 1u);
    EXPECT_EQ(CheckDialogInput(u"10.0.0.1", u"003261", OnlyTen, address, port), OkVerdict::Apply);
    EXPECT_EQ(port, 3261u);
}

TEST(DialogInput, UnsignedReadingLimits) {
    std::uint32_t value = 0;
    EXPECT_TRUE(ReadDialogUnsigned(u"4294967295", value));
    EXPECT_EQ(value, 4294967295u);
    EXPECT_FALSE(ReadDialogUnsigned(u"4294967296", value));
    EXPECT_FALSE(ReadDialogUnsigned(u"   ", value));
    EXPECT_EQ(value, 4294967295u); // untouched on failure
}

TEST(PlatformText, DottedLiteralsResolveWithoutLookup) {
    std::uint32_t address = 0;
    ASSERT_TRUE(ResolveAddress(u"192.168.1.10", address));
    EXPECT_EQ(address, 0xC0A8010Au);
    ASSERT_TRUE(ResolveAddress(u"127.0.0.1", address));
    EXPECT_EQ(address, 0x7F000001u);
    ASSERT_TRUE(ResolveAddress(u"0.0.0.0", address));
    EXPECT_EQ(address, 0u);
    // The literal parser cannot tell this one from an error; the host-name
    // lookup, which reads numeric text itself, still gives it.
    ASSERT_TRUE(ResolveAddress(u"255.255.255.255", address));
    EXPECT_EQ(address, 0xFFFFFFFFu);
}

TEST(PlatformText, LowerCasesWholeLine) {
    EXPECT_EQ(LowerCaseText(u"-A10.0.0.1 -P3260 -KSeCrEt"), u"-a10.0.0.1 -p3260 -ksecret");
    EXPECT_EQ(LowerCaseText(u"/U"), u"/u");
}

} // namespace
} // namespace ipseccfg
