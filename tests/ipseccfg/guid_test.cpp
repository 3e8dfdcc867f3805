// Braced GUID text: formatting, strict parsing and references.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "store/guid.h"

using namespace ipseccfg;

namespace {

const Guid kSample{0x07F7805Eu, 0xA746u, 0x486Cu, {0xB1, 0xFF, 0x5A, 0x6A, 0x33, 0xDE, 0x18, 0x5D}};

TEST(GuidTest, FormatIsUpperCaseBracedAndAlways38Characters) {
    EXPECT_EQ(FormatGuid(kSample), "{07F7805E-A746-486C-B1FF-5A6A33DE185D}");
    EXPECT_EQ(FormatGuid(Guid{}), "{00000000-0000-0000-0000-000000000000}");
    const Guid small{1, 2, 3, {0, 1, 2, 3, 4, 5, 6, 0xA}};
    EXPECT_EQ(FormatGuid(small), "{00000001-0002-0003-0001-02030405060A}");
    const Guid full{0xFFFFFFFFu, 0xFFFF, 0xFFFF, {255, 255, 255, 255, 255, 255, 255, 255}};
    EXPECT_EQ(FormatGuid(full).size(), kGuidTextLength);
}

TEST(GuidTest, ParserAcceptsOnlyTheBracedForm) {
    Guid g;
    ASSERT_TRUE(ParseBracedGuid("{07F7805E-A746-486C-B1FF-5A6A33DE185D}", g));
    EXPECT_EQ(g, kSample);
    ASSERT_TRUE(ParseBracedGuid("{07f7805e-a746-486c-b1ff-5a6a33de185d}", g));
    EXPECT_EQ(g, kSample);

    const char* rejected[] = {
        "07F7805E-A746-486C-B1FF-5A6A33DE185D",    // no braces
        "{07F7805E-A746-486C-B1FF-5A6A33DE185D",   // 37 characters
        "{07F7805E-A746-486C-B1FF-5A6A33DE185D}}", // 39 characters
        "(07F7805E-A746-486C-B1FF-5A6A33DE185D)",  // other brackets
        "{07F7805EA-746-486C-B1FF-5A6A33DE185D}",  // dash moved
        "{07F7805E-A746-486C-B1FF_5A6A33DE185D}",  // not a dash
        "{07F7805G-A746-486C-B1FF-5A6A33DE185D}",  // not hexadecimal
        "{07F7805E-A746-486C-B1FF-5A6A33DE18 D}",  // blank
        "{+7F7805E-A746-486C-B1FF-5A6A33DE185D}",  // sign
        "",
    };
    for (const char* text : rejected) {
        Guid untouched = kSample;
        EXPECT_FALSE(ParseBracedGuid(text, untouched)) << text;
        EXPECT_EQ(untouched, kSample);
    }
}

TEST(GuidTest, ReferencesEndInTheirGuid) {
    Guid g;
    ASSERT_TRUE(GuidFromReference("SOFTWARE\\Policies\\Microsoft\\Windows\\IPSec\\Policy\\Local\\"
                                  "ipsecPolicy{07F7805E-A746-486C-B1FF-5A6A33DE185D}",
                                  g));
    EXPECT_EQ(g, kSample);
    ASSERT_TRUE(GuidFromReference("{07F7805E-A746-486C-B1FF-5A6A33DE185D}", g));
    EXPECT_EQ(g, kSample);

    Guid untouched = kSample;
    EXPECT_FALSE(GuidFromReference("", untouched));
    EXPECT_FALSE(GuidFromReference("{07F7805E-A746-486C-B1FF-5A6A33DE185D", untouched));
    EXPECT_FALSE(
        GuidFromReference("ipsecPolicy{07F7805E-A746-486C-B1FF-5A6A33DE185D}x", untouched));
    EXPECT_FALSE(GuidFromReference(std::string(200, 'x'), untouched));
    EXPECT_EQ(untouched, kSample);
}

TEST(GuidTest, ShortReferencesAreRefusedWithoutReadingBeyondThem) {
    // Exactly sized heap copies: a read past the end is caught by ASan.
    const std::string full = "ipsecNFA{07F7805E-A746-486C-B1FF-5A6A33DE185D}";
    for (std::size_t n = 0; n <= full.size(); ++n) {
        std::unique_ptr<char[]> exact(new char[n ? n : 1]);
        full.copy(exact.get(), n);
        Guid g;
        const bool ok = GuidFromReference(std::string_view(exact.get(), n), g);
        EXPECT_EQ(ok, n == full.size()) << n;
    }
}

TEST(GuidTest, NewGuidsAreRandomVersion4) {
    std::set<std::string> seen;
    for (int i = 0; i < 32; ++i) {
        Guid g;
        ASSERT_TRUE(CreateGuid(g));
        EXPECT_EQ(g.data3 >> 12, 4);
        EXPECT_EQ(g.data4[0] & 0xC0, 0x80);
        seen.insert(FormatGuid(g));
    }
    EXPECT_EQ(seen.size(), 32u);
}

} // namespace
