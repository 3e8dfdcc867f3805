// The braced GUID parser and the reference tail reader.
//  - accepted text is exactly 38 characters and formats back to itself
//    (upper-cased), so nothing outside the GUID form slips through;
//  - a reference is accepted exactly when its last 38 characters are;
//  - every GUID formats to text that parses back to it.
#include "harness.h"

#include "store/guid.h"

#include <cctype>
#include <string>

int FuzzGuid(const std::uint8_t* data, std::size_t size) {
    using namespace ipseccfg;
    dravolin::fuzz::InputReader in(data, size);
    const std::string text(in.rest());

    Guid parsed;
    if (ParseBracedGuid(text, parsed)) {
        FUZZ_REQUIRE(text.size() == kGuidTextLength);
        std::string upper = text;
        for (auto& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        FUZZ_REQUIRE(FormatGuid(parsed) == upper);
    }

    Guid tail;
    const bool tailOk = GuidFromReference(text, tail);
    if (text.size() < kGuidTextLength) {
        FUZZ_REQUIRE(!tailOk);
    } else {
        Guid expected;
        const bool expectedOk =
            ParseBracedGuid(std::string_view(text).substr(text.size() - kGuidTextLength), expected);
        FUZZ_REQUIRE(tailOk == expectedOk);
        if (tailOk)
            FUZZ_REQUIRE(tail == expected);
    }

    // Round trip of a GUID made from the input bytes.
    dravolin::fuzz::InputReader raw(data, size);
    Guid g;
    g.data1 = static_cast<std::uint32_t>(raw.u16()) << 16 | raw.u16();
    g.data2 = raw.u16();
    g.data3 = raw.u16();
    for (auto& b : g.data4)
        b = raw.byte();
    const std::string formatted = FormatGuid(g);
    FUZZ_REQUIRE(formatted.size() == kGuidTextLength);
    Guid back;
    FUZZ_REQUIRE(ParseBracedGuid(formatted, back) && back == g);
    FUZZ_REQUIRE(GuidFromReference("SOFTWARE\\x\\ipsecPolicy" + formatted, back) && back == g);
    return 0;
}
