// The REG_MULTI_SZ splitter accepts exactly the joined form.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "store/multi_string.h"

using ipseccfg::JoinMultiString;
using ipseccfg::SplitMultiString;

namespace {

using List = std::vector<std::string>;

// Copies into a heap block of exactly the given size, so that a read past
// its end is caught by the address sanitizer.
bool Split(const std::vector<std::uint8_t>& bytes, List& list) {
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes.size() ? bytes.size() : 1]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    return SplitMultiString(exact.get(), bytes.size(), list);
}

TEST(MultiStringTest, JoinedListsSplitBackUnchanged) {
    for (const List& original :
         {List{}, List{"a"}, List{"a", "bc"}, List{"SOFTWARE\\x{1}", "SOFTWARE\\y{2}", "z"}}) {
        const auto bytes = JoinMultiString(original);
        List list{"stale"};
        ASSERT_TRUE(Split(bytes, list));
        EXPECT_EQ(list, original);
    }
    EXPECT_EQ(JoinMultiString({"a", "bc"}), (std::vector<std::uint8_t>{'a', 0, 'b', 'c', 0, 0}));
    EXPECT_EQ(JoinMultiString({}), std::vector<std::uint8_t>{0});
}

TEST(MultiStringTest, MalformedFormsAreRefusedAndEmptyTheList) {
    const std::vector<std::vector<std::uint8_t>> rejected = {
        {},                     // no data at all
        {'a'},                  // string without its NUL
        {'a', 0},               // final extra NUL missing
        {'a', 0, 'b', 0},       // the same with two strings
        {'a', 0, 'b'},          // last string cut
        {0, 0},                 // bytes after the terminating NUL
        {'a', 0, 0, 'b', 0, 0}, // an empty string inside the list
        {'a', 0, 0, 0},         // trailing garbage after the end
    };
    for (const auto& bytes : rejected) {
        List list{"stale"};
        EXPECT_FALSE(Split(bytes, list)) << bytes.size();
        EXPECT_TRUE(list.empty());
    }
    List list{"stale"};
    EXPECT_TRUE(Split({0}, list));
    EXPECT_TRUE(list.empty());
}

TEST(MultiStringTest, EveryCutOfAValidValueIsRefused) {
    const auto bytes = JoinMultiString({"first", "second", "x"});
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        List list;
        EXPECT_FALSE(Split(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + n), list)) << n;
    }
}

TEST(MultiStringTest, EightBitBytesPassUnchanged) {
    const List original{"\xE9\xFF", "\x01"};
    List list;
    ASSERT_TRUE(Split(JoinMultiString(original), list));
    EXPECT_EQ(list, original);
}

} // namespace
