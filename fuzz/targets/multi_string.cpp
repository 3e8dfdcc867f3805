// The REG_MULTI_SZ splitter.
//  - only the exact stored form is accepted: an accepted value joins back to
//    the very same bytes, and a rejected one leaves the list empty;
//  - a list of non-empty strings without NULs survives join then split.
#include "harness.h"

#include "store/multi_string.h"

#include <string>
#include <vector>

int FuzzMultiString(const std::uint8_t* data, std::size_t size) {
    using namespace ipseccfg;
    dravolin::fuzz::InputReader in(data, size);
    const std::uint8_t mode = in.byte();
    const std::string_view rest = in.rest();

    if ((mode & 1) == 0) {
        const std::vector<std::uint8_t> value(rest.begin(), rest.end());
        std::vector<std::string> list{"stale", "entries"};
        if (SplitMultiString(value.data(), value.size(), list)) {
            FUZZ_REQUIRE(JoinMultiString(list) == value);
            for (const auto& s : list)
                FUZZ_REQUIRE(!s.empty() && s.find('\0') == std::string::npos);
        } else {
            FUZZ_REQUIRE(list.empty());
        }
        return 0;
    }

    // Build a list: the input cut at its NUL bytes, empty pieces dropped.
    std::vector<std::string> list;
    std::string piece;
    for (char c : rest) {
        if (c == '\0') {
            if (!piece.empty())
                list.push_back(piece);
            piece.clear();
        } else {
            piece.push_back(c);
        }
    }
    if (!piece.empty())
        list.push_back(piece);
    const std::vector<std::uint8_t> joined = JoinMultiString(list);
    std::vector<std::string> back{"stale"};
    FUZZ_REQUIRE(SplitMultiString(joined.data(), joined.size(), back));
    FUZZ_REQUIRE(back == list);
    return 0;
}
