// "ipsecData" layouts: known bytes, round trips and malformed input.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "policy/ipsec_blob.h"

using namespace ipseccfg;

namespace {

using Blob = std::vector<std::uint8_t>;

Blob Hex(std::string_view text) {
    Blob out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

// Decodes from a heap copy of exactly the blob's size (ASan catches overreads).
template <typename T> bool Decode(const Blob& blob, T& object) {
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[blob.size() ? blob.size() : 1]);
    std::copy(blob.begin(), blob.end(), exact.get());
    return DecodeBlob(exact.get(), blob.size(), object);
}

const Guid kSpecGuid{
    0x11223344u, 0x5566u, 0x7788u, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}};

FilterList SampleFilterList() {
    FilterList list;
    FilterSpec spec;
    spec.specId = kSpecGuid;
    spec.mirrored = 1;
    spec.destinationAddress = {192, 168, 1, 10};
    spec.destinationMask = {255, 255, 255, 255};
    spec.protocol = 6;
    spec.destinationPort = 3260;
    list.specs.push_back(spec);
    return list;
}

RuleObject SampleRule(std::u16string key) {
    RuleObject rule;
    rule.authMethods.push_back({1, std::move(key)});
    rule.interfaceType = -3;
    return rule;
}

IsakmpPolicy SampleIsakmp() {
    IsakmpPolicy isakmp;
    isakmp.isakmpHeader[kIsakmpHeaderSwitchOffset] = 1;
    IsakmpOffer offer;
    offer.SetWord(kOfferEncryptionOffset, 1);
    offer.SetWord(kOfferHashOffset, 2);
    offer.SetWord(kOfferGroupOffset, 2);
    offer.SetWord(kOfferLifetimeSecondsOffset, 28800);
    isakmp.offers.push_back(offer);
    return isakmp;
}

bool SameFields(const FilterSpec& a, const FilterSpec& b) {
    return a.firstText == b.firstText && a.secondText == b.secondText &&
           a.thirdText == b.thirdText && a.specId == b.specId && a.mirrored == b.mirrored &&
           a.sourceAddress == b.sourceAddress && a.sourceMask == b.sourceMask &&
           a.destinationAddress == b.destinationAddress && a.destinationMask == b.destinationMask &&
           a.specTunnelAddress == b.specTunnelAddress && a.protocol == b.protocol &&
           a.sourcePort == b.sourcePort && a.destinationPort == b.destinationPort &&
           a.specTrailer == b.specTrailer;
}

bool SameFields(const RuleObject& a, const RuleObject& b) {
    if (a.authMethods.size() != b.authMethods.size())
        return false;
    for (std::size_t i = 0; i < a.authMethods.size(); ++i)
        if (a.authMethods[i].method != b.authMethods[i].method ||
            a.authMethods[i].text != b.authMethods[i].text)
            return false;
    return a.interfaceType == b.interfaceType && a.interfaceName == b.interfaceName &&
           a.tunnelAddress == b.tunnelAddress && a.activeFlag == b.activeFlag &&
           a.tunnelFlags == b.tunnelFlags && a.endpointName == b.endpointName &&
           a.ruleTrailer == b.ruleTrailer;
}

TEST(BlobKnownBytesTest, PolicyBlobIs25Bytes) {
    PolicyObject policy;
    policy.pollingInterval = 10800;
    EXPECT_EQ(EncodeBlob(policy), Hex("63 21 20 22 4C 4F D1 11 86 3B 00 A0 24 8D 30 21"
                                      "04 00 00 00  30 2A 00 00  00"));
}

TEST(BlobKnownBytesTest, IsakmpBlobWithOneOfferIs149Bytes) {
    const Blob blob = EncodeBlob(SampleIsakmp());
    ASSERT_EQ(blob.size(), 149u);
    EXPECT_EQ(Blob(blob.begin(), blob.begin() + 20),
              Hex("B8 20 DC 80 C8 2E D1 11 A8 9E 00 A0 24 8D 30 21 80 00 00 00"));
    Blob body(64 + 64, 0);
    body[20] = 1;         // header switch
    body[60] = 1;         // one offer
    body[64 + 4] = 1;     // encryption algorithm
    body[64 + 16] = 2;    // hash algorithm
    body[64 + 44] = 2;    // group
    body[64 + 56] = 0x80; // 28800 s = 0x7080
    body[64 + 57] = 0x70;
    EXPECT_EQ(Blob(blob.begin() + 20, blob.end() - 1), body);
    EXPECT_EQ(blob.back(), 0);
}

TEST(BlobKnownBytesTest, FilterListWithOneSpecIs95Bytes) {
    EXPECT_EQ(EncodeBlob(SampleFilterList()),
              Hex("B5 20 DC 80 C8 2E D1 11 A8 9E 00 A0 24 8D 30 21  4A 00 00 00"
                  "01 00 00 00"
                  "02 00 00 00 00 00  02 00 00 00 00 00  02 00 00 00 00 00"
                  "44 33 22 11 66 55 88 77 99 AA BB CC DD EE FF 00"
                  "01 00 00 00"
                  "00 00 00 00  00 00 00 00  C0 A8 01 0A  FF FF FF FF  00 00 00 00"
                  "06 00 00 00  00 00  BC 0C  00 00 00 00"
                  "00"));
}

TEST(BlobKnownBytesTest, RuleWithEightCharacterKeyIs107Bytes) {
    EXPECT_EQ(EncodeBlob(SampleRule(u"58316042")),
              Hex("00 AC BB 11 8D 49 D1 11 86 39 00 A0 24 8D 30 21  56 00 00 00"
                  "01 00 00 00  01 00 00 00"
                  "12 00 00 00  35 00 38 00 33 00 31 00 36 00 30 00 34 00 32 00  00 00"
                  "FD FF FF FF  02 00 00 00 00 00"
                  "00 00 00 00  00 00 00 00  01 00 00 00  02 00 00 00 00 00"
                  "01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01"
                  "01 00 00 00  05 00 00 00  00 00 00 00"
                  "00"));
}

TEST(BlobKnownBytesTest, FlagsKeepTheirOrderAndEmptyKeyIsSixBytes) {
    RuleObject rule = SampleRule(u"");
    rule.tunnelAddress = 0x0A01A8C0u; // 192.168.1.10 in memory order
    rule.tunnelFlags = 1;
    rule.activeFlag = 0;
    const Blob blob = EncodeBlob(rule);
    ASSERT_EQ(blob.size(), 20u + 70 + 1);
    // count, method, empty key
    EXPECT_EQ(Blob(blob.begin() + 20, blob.begin() + 34),
              Hex("01 00 00 00 01 00 00 00 02 00 00 00 00 00"));
    // interface type and name, tunnel address, tunnel flags before active flag
    EXPECT_EQ(Blob(blob.begin() + 34, blob.begin() + 56),
              Hex("FD FF FF FF 02 00 00 00 00 00 C0 A8 01 0A 01 00 00 00 00 00 00 00"));
}

TEST(BlobRoundTripTest, EveryKindDecodesToWhatWasEncoded) {
    PolicyObject policy;
    policy.pollingInterval = 0xDEADBEEFu;
    PolicyObject policyBack;
    ASSERT_TRUE(Decode(EncodeBlob(policy), policyBack));
    EXPECT_EQ(policyBack.pollingInterval, policy.pollingInterval);

    IsakmpPolicy isakmp = SampleIsakmp();
    isakmp.isakmpHeader[0] = 0x42;
    isakmp.offers.push_back(IsakmpOffer{});
    isakmp.offers.back().bytes.fill(0x77);
    IsakmpPolicy isakmpBack;
    ASSERT_TRUE(Decode(EncodeBlob(isakmp), isakmpBack));
    EXPECT_EQ(isakmpBack.isakmpHeader, isakmp.isakmpHeader);
    ASSERT_EQ(isakmpBack.offers.size(), 2u);
    EXPECT_EQ(isakmpBack.offers[0].bytes, isakmp.offers[0].bytes);
    EXPECT_EQ(isakmpBack.offers[1].bytes, isakmp.offers[1].bytes);

    RuleObject rule = SampleRule(u"k\u00e9y\u4e2d");
    rule.authMethods.push_back({3, u"alternative"});
    rule.interfaceName = u"eth";
    rule.endpointName = u"peer";
    rule.tunnelAddress = 0x01020304u;
    rule.ruleTrailer[27] = 9;
    RuleObject ruleBack;
    ASSERT_TRUE(Decode(EncodeBlob(rule), ruleBack));
    EXPECT_TRUE(SameFields(ruleBack, rule));

    FilterList list = SampleFilterList();
    FilterSpec second = list.specs[0];
    second.firstText = u"one";
    second.thirdText = u"three";
    second.sourcePort = 0xFFFF;
    second.specTrailer = 7;
    list.specs.push_back(second);
    FilterList listBack;
    ASSERT_TRUE(Decode(EncodeBlob(list), listBack));
    ASSERT_EQ(listBack.specs.size(), 2u);
    EXPECT_TRUE(SameFields(listBack.specs[0], list.specs[0]));
    EXPECT_TRUE(SameFields(listBack.specs[1], list.specs[1]));
}

TEST(BlobRoundTripTest, DecodingReplacesListsAndIgnoresTheFrame) {
    // Entries already in the object do not survive a decode.
    FilterList target = SampleFilterList();
    target.specs.resize(3);
    FilterList empty;
    ASSERT_TRUE(Decode(EncodeBlob(empty), target));
    EXPECT_TRUE(target.specs.empty());

    // The type GUID and N are not checked: the object's layout decides.
    Blob blob = EncodeBlob(SampleRule(u"ab"));
    blob[0] ^= 0xFF;
    blob[16] = 0x7F;
    RuleObject rule;
    ASSERT_TRUE(Decode(blob, rule));
    EXPECT_EQ(rule.authMethods.at(0).text, u"ab");
}

TEST(BlobRoundTripTest, AZeroCodeUnitEndsTheTextButNotTheField) {
    RuleObject rule = SampleRule(std::u16string(u"ab\0cd", 5));
    rule.endpointName = u"end";
    RuleObject back;
    ASSERT_TRUE(Decode(EncodeBlob(rule), back));
    EXPECT_EQ(back.authMethods.at(0).text, u"ab");
    EXPECT_EQ(back.endpointName, u"end");
}

// Every strict prefix of a valid blob fails and leaves the object as it was.
template <typename T> void ExpectEveryTruncationRefused(const T& original, const T& before) {
    const Blob blob = EncodeBlob(original);
    for (std::size_t n = 0; n < blob.size(); ++n) {
        T target = before;
        const Blob cut(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(Decode(cut, target)) << n;
        EXPECT_EQ(EncodeBlob(target), EncodeBlob(before)) << n;
    }
}

TEST(BlobMalformedTest, EveryTruncationOfAValidBlobIsRefused) {
    PolicyObject policy;
    policy.pollingInterval = 10800;
    PolicyObject policyBefore;
    policyBefore.pollingInterval = 5;
    ExpectEveryTruncationRefused(policy, policyBefore);
    IsakmpPolicy isakmpBefore;
    isakmpBefore.isakmpHeader[3] = 3;
    ExpectEveryTruncationRefused(SampleIsakmp(), isakmpBefore);
    ExpectEveryTruncationRefused(SampleRule(u"58316042"), SampleRule(u"old"));
    FilterList list = SampleFilterList();
    list.specs[0].secondText = u"text";
    ExpectEveryTruncationRefused(list, FilterList{});
}

TEST(BlobMalformedTest, HugeCountsAllocateNothingAndFail) {
    // 30-byte blob claiming four billion entries.
    Blob blob = Hex("00 AC BB 11 8D 49 D1 11 86 39 00 A0 24 8D 30 21 0A 00 00 00"
                    "00 28 6B EE 00 00 00 00 00 00");
    RuleObject rule = SampleRule(u"keep");
    EXPECT_FALSE(Decode(blob, rule));
    EXPECT_EQ(rule.authMethods.at(0).text, u"keep");
    FilterList list = SampleFilterList();
    EXPECT_FALSE(Decode(blob, list));
    EXPECT_EQ(list.specs.size(), 1u);
    IsakmpPolicy isakmp;
    Blob isakmpBlob(20 + 60, 0);
    for (std::uint8_t b : {0xFF, 0xFF, 0xFF, 0xFF, 0x00})
        isakmpBlob.push_back(b);
    EXPECT_FALSE(Decode(isakmpBlob, isakmp));
    EXPECT_TRUE(isakmp.offers.empty());
}

TEST(BlobMalformedTest, BadStringLengthsAreRefused) {
    const Blob good = EncodeBlob(SampleRule(u"ab"));
    // The key's length word sits at offset 28 and is 6.
    ASSERT_EQ(good[28], 6);
    for (std::uint32_t length : {0u, 1u, 5u, 7u, 0x1000u, 0xFFFFFFFFu}) {
        Blob bad = good;
        for (int i = 0; i < 4; ++i)
            bad[28 + i] = static_cast<std::uint8_t>(length >> (8 * i));
        RuleObject rule;
        EXPECT_FALSE(Decode(bad, rule)) << length;
        EXPECT_TRUE(rule.authMethods.empty());
    }
}

TEST(BlobMalformedTest, ExtraBytesAfterTheBodyAreTolerated) {
    Blob blob = EncodeBlob(SampleRule(u"ab"));
    blob.push_back(0x55);
    RuleObject rule;
    ASSERT_TRUE(Decode(blob, rule));
    EXPECT_EQ(rule.authMethods.at(0).text, u"ab");
    PolicyObject policy;
    EXPECT_FALSE(DecodeBlob(nullptr, 0, policy));
}

// Fuzz-style: random damage to valid blobs never escapes the blob, and
// whatever decodes is stable under a second round.
template <typename T> void Mutate(const T& original, std::mt19937& rng) {
    const Blob valid = EncodeBlob(original);
    for (int round = 0; round < 400; ++round) {
        Blob blob = valid;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = rng() % blob.size();
            switch (rng() % 3) {
            case 0:
                blob[at] = static_cast<std::uint8_t>(rng());
                break;
            case 1:
                blob.resize(at);
                break;
            default:
                blob.insert(blob.begin() + static_cast<std::ptrdiff_t>(at), 0xFF);
                break;
            }
            if (blob.empty())
                blob.push_back(0);
        }
        T decoded;
        if (Decode(blob, decoded)) {
            T again;
            ASSERT_TRUE(Decode(EncodeBlob(decoded), again));
            EXPECT_EQ(EncodeBlob(again), EncodeBlob(decoded));
        }
    }
}

TEST(BlobMalformedTest, RandomDamageIsHandledSafely) {
    std::mt19937 rng(20261208);
    RuleObject rule = SampleRule(u"58316042");
    rule.authMethods.push_back({3, u"second"});
    Mutate(rule, rng);
    FilterList list = SampleFilterList();
    list.specs.push_back(list.specs[0]);
    Mutate(list, rng);
    Mutate(SampleIsakmp(), rng);
    PolicyObject policy;
    policy.pollingInterval = 10800;
    Mutate(policy, rng);
}

} // namespace
