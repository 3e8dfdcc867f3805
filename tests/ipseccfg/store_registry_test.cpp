// CRegistryKey behaviour, identical on the stand-in and the real registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/registry_key.h"
#include "store_test_support.h"

using namespace ipseccfg;

namespace {

Bytes B(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

class RegistryKeyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        storetest::ResetPlatform();
        base_ = std::string("SOFTWARE\\DravolinTests\\") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        Purge();
    }
    void TearDown() override { Purge(); }

    // Removes what any test below may have left, leaves first.
    void Purge() {
        for (const char* sub : {"\\a\\b", "\\a", "\\new", ""})
            CRegistryKey::DeleteKey(kHkeyLocalMachine, base_ + sub);
    }

    CRegistryKey OpenBase() {
        CRegistryKey key;
        EXPECT_TRUE(key.Open(kHkeyLocalMachine, base_, OpenExisting | CreateNew, kKeyAllAccess));
        return key;
    }

    std::string base_;
};

TEST_F(RegistryKeyTest, OpenFlagsDecideBetweenOpeningAndCreating) {
    CRegistryKey key;
    EXPECT_FALSE(key.Open(kHkeyLocalMachine, base_, OpenExisting, kKeyAllAccess));
    EXPECT_FALSE(key.IsOpen());

    // CreateNew alone: only a new key counts.
    EXPECT_TRUE(key.Open(kHkeyLocalMachine, base_, CreateNew, kKeyAllAccess));
    EXPECT_TRUE(key.IsOpen());
    EXPECT_EQ(key.Path(), base_);
    EXPECT_FALSE(key.Open(kHkeyLocalMachine, base_, CreateNew, kKeyAllAccess));
    EXPECT_FALSE(key.IsOpen());

    EXPECT_TRUE(key.Open(kHkeyLocalMachine, base_, OpenExisting, kKeyAllAccess));
    EXPECT_TRUE(key.Open(kHkeyLocalMachine, base_, OpenExisting | CreateNew, kKeyAllAccess));
    // Creation makes the missing intermediate keys too.
    EXPECT_TRUE(
        key.Open(kHkeyLocalMachine, base_ + "\\a\\b", OpenExisting | CreateNew, kKeyAllAccess));
    EXPECT_TRUE(key.Close());
    EXPECT_TRUE(key.Close());
    EXPECT_FALSE(key.IsOpen());
}

TEST_F(RegistryKeyTest, StringsAreStoredWithoutNulAndReadWithOrWithoutIt) {
    CRegistryKey key = OpenBase();
    ASSERT_TRUE(key.WriteString("plain", "abc"));
    std::uint32_t type = 0;
    Bytes raw;
    ASSERT_TRUE(key.ReadValue("plain", type, raw));
    EXPECT_EQ(type, kRegSz);
    EXPECT_TRUE(raw == B("abc") || raw == B(std::string_view("abc\0", 4)));
    EXPECT_EQ(storetest::StoredTextLength(base_, "plain"), 3);
    std::string text;
    ASSERT_TRUE(key.ReadString("plain", text));
    EXPECT_EQ(text, "abc");

    ASSERT_TRUE(key.WriteValue("terminated", kRegSz, B(std::string_view("abc\0", 4))));
    EXPECT_EQ(storetest::StoredTextLength(base_, "terminated"), 4);
    text.clear();
    ASSERT_TRUE(key.ReadString("terminated", text));
    EXPECT_EQ(text, "abc");
    Bytes bytes;
    ASSERT_TRUE(key.ReadBytes("terminated", bytes));
    EXPECT_EQ(bytes, B("abc"));

    ASSERT_TRUE(key.WriteString("empty", ""));
    text = "stale";
    ASSERT_TRUE(key.ReadString("empty", text));
    EXPECT_EQ(text, "");

    // Value names are not case-sensitive, like key names.
    text.clear();
    ASSERT_TRUE(key.ReadString("PLAIN", text));
    EXPECT_EQ(text, "abc");
}

TEST_F(RegistryKeyTest, ReadsCheckTheValueType) {
    CRegistryKey key = OpenBase();
    ASSERT_TRUE(key.WriteBytes("blob", B("xyz")));
    ASSERT_TRUE(key.WriteDword("word", 0x01020304u));
    ASSERT_TRUE(key.WriteString("text", "a"));

    std::string text = "keep";
    EXPECT_FALSE(key.ReadString("blob", text));
    EXPECT_FALSE(key.ReadString("word", text));
    EXPECT_EQ(text, "keep");
    Bytes bytes;
    ASSERT_TRUE(key.ReadBytes("blob", bytes));
    EXPECT_EQ(bytes, B("xyz"));
    ASSERT_TRUE(key.ReadBytes("word", bytes));
    EXPECT_EQ(bytes, (Bytes{0x04, 0x03, 0x02, 0x01}));
    std::uint32_t type = 0;
    ASSERT_TRUE(key.ReadValue("word", type, bytes));
    EXPECT_EQ(type, kRegDword);

    std::vector<std::string> list{"keep"};
    EXPECT_FALSE(key.ReadMultiString("text", list));
    EXPECT_FALSE(key.ReadMultiString("blob", list));
    EXPECT_EQ(list, std::vector<std::string>{"keep"});

    EXPECT_FALSE(key.ReadString("missing", text));
    EXPECT_FALSE(key.ReadBytes("missing", bytes));
    EXPECT_FALSE(key.HasValue("missing"));
    EXPECT_TRUE(key.HasValue("blob"));
    EXPECT_EQ(text, "keep");
}

TEST_F(RegistryKeyTest, MultiStringsHaveTheExactStoredForm) {
    CRegistryKey key = OpenBase();
    ASSERT_TRUE(key.WriteMultiString("two", {"a", "bc"}));
    std::uint32_t type = 0;
    Bytes raw;
    ASSERT_TRUE(key.ReadValue("two", type, raw));
    EXPECT_EQ(type, kRegMultiSz);
    EXPECT_EQ(raw, (Bytes{'a', 0, 'b', 'c', 0, 0}));
    std::vector<std::string> list;
    ASSERT_TRUE(key.ReadMultiString("two", list));
    EXPECT_EQ(list, (std::vector<std::string>{"a", "bc"}));

    ASSERT_TRUE(key.WriteMultiString("none", {}));
    ASSERT_TRUE(key.ReadValue("none", type, raw));
    EXPECT_EQ(raw, Bytes{0});
    list = {"stale"};
    ASSERT_TRUE(key.ReadMultiString("none", list));
    EXPECT_TRUE(list.empty());

    // Without the final extra NUL the value is refused and the list emptied.
    ASSERT_TRUE(key.WriteValue("short", kRegMultiSz, Bytes{'a', 0, 'b', 0}));
    list = {"stale"};
    EXPECT_FALSE(key.ReadMultiString("short", list));
    EXPECT_TRUE(list.empty());
}

TEST_F(RegistryKeyTest, ValuesUpTo64KiBAreReadAndLargerOnesRefused) {
    CRegistryKey key = OpenBase();
    const Bytes limit(kMaxValueSize, 0x5A);
    const Bytes over(kMaxValueSize + 1, 0x5A);
    ASSERT_TRUE(key.WriteBytes("limit", limit));
    ASSERT_TRUE(key.WriteBytes("over", over));
    Bytes bytes;
    ASSERT_TRUE(key.ReadBytes("limit", bytes));
    EXPECT_EQ(bytes, limit);
    bytes = B("keep");
    EXPECT_FALSE(key.ReadBytes("over", bytes));
    EXPECT_EQ(bytes, B("keep"));
    std::uint32_t type = 0;
    EXPECT_FALSE(key.ReadValue("over", type, bytes));
    EXPECT_TRUE(key.HasValue("over"));
}

TEST_F(RegistryKeyTest, DeleteKeyRemovesOnlyKeysWithoutSubKeys) {
    {
        CRegistryKey key;
        ASSERT_TRUE(
            key.Open(kHkeyLocalMachine, base_ + "\\a\\b", OpenExisting | CreateNew, kKeyAllAccess));
    }
    EXPECT_FALSE(CRegistryKey::DeleteKey(kHkeyLocalMachine, base_ + "\\a"));
    CRegistryKey key;
    EXPECT_TRUE(key.Open(kHkeyLocalMachine, base_ + "\\a", OpenExisting, kKeyAllAccess));
    key.Close();

    EXPECT_TRUE(CRegistryKey::DeleteKey(kHkeyLocalMachine, base_ + "\\a\\b"));
    EXPECT_FALSE(CRegistryKey::DeleteKey(kHkeyLocalMachine, base_ + "\\a\\b"));
    EXPECT_FALSE(key.Open(kHkeyLocalMachine, base_ + "\\a\\b", OpenExisting, kKeyAllAccess));
    EXPECT_TRUE(CRegistryKey::DeleteKey(kHkeyLocalMachine, base_ + "\\a"));
    EXPECT_FALSE(CRegistryKey::DeleteKey(kHkeyLocalMachine, base_ + "\\missing"));
}

TEST_F(RegistryKeyTest, DeleteValueRemovesOneExistingValue) {
    CRegistryKey key = OpenBase();
    ASSERT_TRUE(key.WriteString("x", "abc"));
    ASSERT_TRUE(key.WriteDword("y", 1));
    EXPECT_TRUE(key.DeleteValue("x"));
    EXPECT_FALSE(key.HasValue("x"));
    EXPECT_TRUE(key.HasValue("y"));
    EXPECT_FALSE(key.DeleteValue("x")); // a missing value is a failure
    key.Close();
    EXPECT_FALSE(key.DeleteValue("y"));
}

TEST_F(RegistryKeyTest, ClosedKeysRefuseEveryValueOperation) {
    CRegistryKey key;
    std::string text;
    Bytes bytes;
    std::vector<std::string> list;
    EXPECT_FALSE(key.WriteString("v", "x"));
    EXPECT_FALSE(key.WriteDword("v", 1));
    EXPECT_FALSE(key.WriteBytes("v", B("x")));
    EXPECT_FALSE(key.WriteMultiString("v", {"x"}));
    EXPECT_FALSE(key.ReadString("v", text));
    EXPECT_FALSE(key.ReadBytes("v", bytes));
    EXPECT_FALSE(key.ReadMultiString("v", list));

    // A failed reopen leaves the object closed, too.
    key = OpenBase();
    ASSERT_TRUE(key.WriteString("v", "x"));
    EXPECT_FALSE(key.Open(kHkeyLocalMachine, base_ + "\\missing", OpenExisting, kKeyAllAccess));
    EXPECT_FALSE(key.WriteString("v", "y"));
    EXPECT_FALSE(key.ReadString("v", text));
}

TEST_F(RegistryKeyTest, MovedKeysKeepTheirHandle) {
    CRegistryKey first = OpenBase();
    CRegistryKey second(std::move(first));
    EXPECT_FALSE(first.IsOpen());
    EXPECT_TRUE(second.IsOpen());
    EXPECT_TRUE(second.WriteString("v", "moved"));
    CRegistryKey third;
    third = std::move(second);
    std::string text;
    ASSERT_TRUE(third.ReadString("v", text));
    EXPECT_EQ(text, "moved");
    EXPECT_FALSE(second.ReadString("v", text));
}

TEST_F(RegistryKeyTest, WritesReplaceTypeAndContent) {
    CRegistryKey key = OpenBase();
    ASSERT_TRUE(key.WriteBytes("v", Bytes(100, 1)));
    ASSERT_TRUE(key.WriteString("v", "ab"));
    std::uint32_t type = 0;
    Bytes raw;
    ASSERT_TRUE(key.ReadValue("v", type, raw));
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(storetest::StoredTextLength(base_, "v"), 2);
    ASSERT_TRUE(key.WriteBytes("empty", {}));
    ASSERT_TRUE(key.ReadBytes("empty", raw));
    EXPECT_TRUE(raw.empty());
}

} // namespace
