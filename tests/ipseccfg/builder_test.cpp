// Building and editing the configurator's policy tree in memory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policy/policy_model.h"
#include "policy/store_objects.h"

using namespace ipseccfg;

namespace {

const std::string kBase = kStoreBasePath;

// Hands out {00000001-...}, {00000002-...}, ... and can be told to run dry.
struct CountingGuids {
    std::uint32_t next = 1;
    std::uint32_t last = 0xFFFFFFFFu;
    GuidSource Source() {
        return [this](Guid& g) {
            if (next > last)
                return false;
            g = Guid{next++, 0, 0, {}};
            return true;
        };
    }
};

std::string GuidText(std::uint32_t n) {
    return FormatGuid(Guid{n, 0, 0, {}});
}

TEST(BuilderDefaultTest, DefaultModelHoldsPolicyIsakmpAndResponseRule) {
    CountingGuids guids;
    auto model = PolicyModel::CreateDefault(ConfiguratorPolicyGuid, guids.Source());
    ASSERT_TRUE(model);
    const std::string policyPath = kBase + "ipsecPolicy{07F7805E-A746-486C-B1FF-5A6A33DE185D}";

    EXPECT_EQ(model->policyGuid, ConfiguratorPolicyGuid);
    EXPECT_EQ(model->policy.name, "ipsecPolicy{07F7805E-A746-486C-B1FF-5A6A33DE185D}");
    EXPECT_EQ(model->policy.ipsecId, "{07F7805E-A746-486C-B1FF-5A6A33DE185D}");
    EXPECT_EQ(model->policy.ipsecName, model->policy.ipsecId);
    EXPECT_TRUE(model->policy.description.empty());
    EXPECT_TRUE(model->policy.ownersReference.empty());
    EXPECT_EQ(model->policy.pollingInterval, 10800u);

    // With the policy GUID given, the ISAKMP policy takes the first new one.
    EXPECT_EQ(model->isakmp.name, "ipsecISAKMPPolicy" + GuidText(1));
    EXPECT_EQ(model->policy.isakmpReference, kBase + "ipsecISAKMPPolicy" + GuidText(1));
    EXPECT_EQ(model->isakmp.ownersReference, std::vector<std::string>{policyPath});
    ASSERT_EQ(model->isakmp.offers.size(), 1u);
    const IsakmpOffer& offer = model->isakmp.offers[0];
    IsakmpOffer expected;
    expected.SetWord(4, 1);
    expected.SetWord(16, 2);
    expected.SetWord(44, 2);
    expected.SetWord(56, 28800);
    EXPECT_EQ(offer.bytes, expected.bytes);
    std::array<std::uint8_t, 60> header{};
    header[20] = 1;
    EXPECT_EQ(model->isakmp.isakmpHeader, header);

    ASSERT_EQ(model->rules.size(), 1u);
    const RuleObject& response = model->rules[0];
    EXPECT_EQ(response.name, "ipsecNFA" + GuidText(2));
    ASSERT_EQ(response.authMethods.size(), 1u);
    EXPECT_EQ(response.authMethods[0].method, 1u);
    EXPECT_EQ(response.authMethods[0].text, u"58316042");
    EXPECT_EQ(response.interfaceType, -3);
    EXPECT_EQ(response.tunnelFlags, 1u);
    EXPECT_EQ(response.activeFlag, 0u);
    EXPECT_EQ(response.tunnelAddress, 0u);
    EXPECT_TRUE(response.filterReferences.empty());
    EXPECT_EQ(response.negotiationPolicyReference, kNegotiationPolicyPath);
    EXPECT_EQ(std::string(kNegotiationPolicyPath).size(), 115u);
    EXPECT_EQ(response.ruleTrailer, kDefaultRuleTrailer);
    EXPECT_EQ(response.ownersReference, std::vector<std::string>{policyPath});
    EXPECT_EQ(model->policy.ruleReferences,
              std::vector<std::string>{kBase + "ipsecNFA" + GuidText(2)});
    EXPECT_TRUE(model->filterLists.empty());
}

TEST(BuilderDefaultTest, WithoutAGuidEachModelGetsItsOwn) {
    CountingGuids guids;
    auto counted = PolicyModel::CreateDefault(std::nullopt, guids.Source());
    ASSERT_TRUE(counted);
    // Creation order: policy, ISAKMP policy, default response rule.
    EXPECT_EQ(counted->policy.ipsecId, GuidText(1));
    EXPECT_EQ(counted->isakmp.ipsecId, GuidText(2));
    EXPECT_EQ(counted->rules.at(0).ipsecId, GuidText(3));

    auto a = PolicyModel::CreateDefault();
    auto b = PolicyModel::CreateDefault();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->policyGuid, b->policyGuid);
    EXPECT_NE(a->isakmp.ipsecId, b->isakmp.ipsecId);
}

TEST(BuilderDefaultTest, NoModelWhenGuidsRunOut) {
    for (std::uint32_t available = 0; available < 3; ++available) {
        CountingGuids guids;
        guids.last = available;
        EXPECT_FALSE(PolicyModel::CreateDefault(std::nullopt, guids.Source())) << available;
    }
}

TEST(BuilderDefaultTest, ResponseRuleWithoutKeyUsesTheAlternativeText) {
    auto model = PolicyModel::CreateDefault();
    ASSERT_TRUE(model);
    ASSERT_TRUE(model->AddDefaultResponseRule(std::nullopt, std::string("cert")));
    ASSERT_TRUE(model->AddDefaultResponseRule(std::nullopt, std::nullopt));
    ASSERT_EQ(model->rules.size(), 3u);
    EXPECT_EQ(model->rules[1].authMethods.at(0).method, 3u);
    EXPECT_EQ(model->rules[1].authMethods.at(0).text, u"cert");
    EXPECT_EQ(model->rules[2].authMethods.at(0).method, 3u);
    EXPECT_EQ(model->rules[2].authMethods.at(0).text, u"");
    EXPECT_EQ(model->policy.ruleReferences.size(), 3u);
}

class BuilderRuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        model_ = PolicyModel::CreateDefault(ConfiguratorPolicyGuid, guids_.Source());
        ASSERT_TRUE(model_);
        guids_.next = 100;
    }
    CountingGuids guids_;
    std::unique_ptr<PolicyModel> model_;
};

TEST_F(BuilderRuleTest, ServiceRuleProtectsTcpToTheServerPort) {
    ASSERT_TRUE(model_->AddServiceRule(kServiceRuleName, false, 0x0A000001u, 3260, u"secret"));
    // GUIDs in the order filter list, spec, rule.
    ASSERT_EQ(model_->filterLists.size(), 1u);
    ASSERT_EQ(model_->rules.size(), 2u);
    const FilterList& list = model_->filterLists[0];
    const RuleObject& rule = model_->rules[1];
    EXPECT_EQ(list.ipsecId, GuidText(100));
    EXPECT_EQ(list.name, "ipsecFilter" + GuidText(100));
    EXPECT_EQ(list.ipsecName, "DravService" + GuidText(100));
    ASSERT_EQ(list.specs.size(), 1u);
    const FilterSpec& spec = list.specs[0];
    EXPECT_EQ(spec.specId, (Guid{101, 0, 0, {}}));
    EXPECT_EQ(rule.ipsecId, GuidText(102));

    EXPECT_EQ(spec.mirrored, 1u);
    EXPECT_EQ(spec.protocol, 6u);
    EXPECT_EQ(spec.sourceAddress, (Ipv4Bytes{0, 0, 0, 0}));
    EXPECT_EQ(spec.sourceMask, (Ipv4Bytes{0, 0, 0, 0}));
    EXPECT_EQ(spec.destinationAddress, (Ipv4Bytes{10, 0, 0, 1}));
    EXPECT_EQ(spec.destinationMask, (Ipv4Bytes{255, 255, 255, 255}));
    EXPECT_EQ(spec.sourcePort, 0);
    EXPECT_EQ(spec.destinationPort, 3260);
    EXPECT_TRUE(spec.firstText.empty() && spec.secondText.empty() && spec.thirdText.empty());

    EXPECT_EQ(rule.authMethods.at(0).method, 1u);
    EXPECT_EQ(rule.authMethods.at(0).text, u"secret");
    EXPECT_EQ(rule.interfaceType, -3);
    EXPECT_EQ(rule.activeFlag, 1u);
    EXPECT_EQ(rule.tunnelFlags, 0u);
    EXPECT_EQ(rule.negotiationPolicyReference, kNegotiationPolicyPath);
    const std::string rulePath = kBase + "ipsecNFA" + GuidText(102);
    EXPECT_EQ(rule.filterReferences,
              std::vector<std::string>{kBase + "ipsecFilter" + GuidText(100)});
    EXPECT_EQ(list.ownersReference, std::vector<std::string>{rulePath});
    EXPECT_EQ(
        rule.ownersReference,
        std::vector<std::string>{kBase + "ipsecPolicy{07F7805E-A746-486C-B1FF-5A6A33DE185D}"});
    EXPECT_EQ(model_->policy.ruleReferences.back(), rulePath);
}

TEST_F(BuilderRuleTest, MyAddressFlagNarrowsTheSourceMask) {
    ASSERT_TRUE(model_->AddServiceRule("x", true, 0xC0A8010Au, 1, u""));
    const FilterSpec& spec = model_->filterLists.at(0).specs.at(0);
    EXPECT_EQ(spec.sourceAddress, (Ipv4Bytes{0, 0, 0, 0}));
    EXPECT_EQ(spec.sourceMask, (Ipv4Bytes{255, 255, 255, 255}));
    EXPECT_EQ(spec.destinationAddress, (Ipv4Bytes{192, 168, 1, 10}));
    // An empty key is still a preshared key, with empty text.
    EXPECT_EQ(model_->rules.back().authMethods.at(0).method, 1u);
    EXPECT_EQ(model_->rules.back().authMethods.at(0).text, u"");
}

TEST_F(BuilderRuleTest, PortsAreKeptOnlyForTcpAndUdp) {
    Endpoint source{{1, 2, 3, 4}, {255, 0, 0, 0}, 1111};
    Endpoint destination{{5, 6, 7, 8}, {255, 255, 0, 0}, 2222};
    const std::uint32_t tunnel = 0;
    for (std::uint8_t protocol : {6, 17, 1, 0, 50}) {
        ASSERT_TRUE(model_->AddRule("r", false, source, destination, protocol, tunnel,
                                    std::string("k"), std::nullopt));
        const FilterSpec& spec = model_->filterLists.back().specs.at(0);
        const bool ports = protocol == 6 || protocol == 17;
        EXPECT_EQ(spec.sourcePort, ports ? 1111 : 0) << int(protocol);
        EXPECT_EQ(spec.destinationPort, ports ? 2222 : 0) << int(protocol);
        EXPECT_EQ(spec.mirrored, 0u);
        EXPECT_EQ(spec.sourceAddress, source.address);
        EXPECT_EQ(spec.sourceMask, source.mask);
        EXPECT_EQ(spec.destinationMask, destination.mask);
    }
}

TEST_F(BuilderRuleTest, TunnelAddressSetsTheTunnelFlag) {
    const std::uint32_t tunnel = 0x0100007Fu;
    ASSERT_TRUE(model_->AddRule("t", true, {}, {}, 6, tunnel, std::nullopt, std::string("alt")));
    const RuleObject& rule = model_->rules.back();
    EXPECT_EQ(rule.tunnelAddress, tunnel);
    EXPECT_EQ(rule.tunnelFlags, 1u);
    EXPECT_EQ(rule.activeFlag, 1u);
    EXPECT_EQ(rule.authMethods.at(0).method, 3u);
    EXPECT_EQ(rule.authMethods.at(0).text, u"alt");
}

TEST_F(BuilderRuleTest, KeyPassesThroughTheAnsiCodePage) {
    // A character no single-byte code page holds is lost on the way in.
    ASSERT_TRUE(model_->AddServiceRule("k", false, 1, 1, u"ab\u4e2d"));
    EXPECT_EQ(model_->rules.back().authMethods.at(0).text, u"ab?");
}

TEST_F(BuilderRuleTest, RunningOutOfGuidsLeavesTheModelUnchanged) {
    for (std::uint32_t available = 0; available < 3; ++available) {
        guids_.next = 200;
        guids_.last = 200 + available - 1;
        EXPECT_FALSE(model_->AddServiceRule("x", false, 1, 1, u"k"));
        EXPECT_EQ(model_->rules.size(), 1u);
        EXPECT_TRUE(model_->filterLists.empty());
        EXPECT_EQ(model_->policy.ruleReferences.size(), 1u);
    }
}

TEST_F(BuilderRuleTest, ConfiguratorPolicyTreeWithBothServiceRules) {
    ASSERT_TRUE(model_->AddServiceRule(kServiceRuleName, false, 0xC0A8010Au, 3260, u"key"));
    ASSERT_TRUE(model_->AddServiceRule(kServiceRuleName, false, 0xC0A8010Au, 3261, u"key"));
    ASSERT_EQ(model_->rules.size(), 3u);
    ASSERT_EQ(model_->filterLists.size(), 2u);
    EXPECT_EQ(model_->policy.ruleReferences,
              (std::vector<std::string>{kBase + "ipsecNFA" + GuidText(2),
                                        kBase + "ipsecNFA" + GuidText(102),
                                        kBase + "ipsecNFA" + GuidText(105)}));
    EXPECT_EQ(model_->filterLists[0].specs.at(0).destinationPort, 3260);
    EXPECT_EQ(model_->filterLists[1].specs.at(0).destinationPort, 3261);
    EXPECT_EQ(model_->filterLists[1].ipsecName, "DravService" + GuidText(103));
    EXPECT_EQ(model_->rules[2].filterReferences,
              std::vector<std::string>{kBase + "ipsecFilter" + GuidText(103)});
}

TEST_F(BuilderRuleTest, RemoveRuleTakesOutExactlyThatRuleAndItsList) {
    ASSERT_TRUE(model_->AddServiceRule(kServiceRuleName, false, 1, 3260, u"key"));
    ASSERT_TRUE(model_->AddServiceRule(kServiceRuleName, false, 1, 3261, u"key"));
    const std::string first = model_->policy.ruleReferences[1];
    model_->RemoveRule(first);

    ASSERT_EQ(model_->rules.size(), 2u);
    EXPECT_EQ(model_->rules[0].ipsecId, GuidText(2));
    EXPECT_EQ(model_->rules[1].ipsecId, GuidText(105));
    ASSERT_EQ(model_->filterLists.size(), 1u);
    EXPECT_EQ(model_->filterLists[0].ipsecId, GuidText(103));
    EXPECT_EQ(model_->policy.ruleReferences,
              (std::vector<std::string>{kBase + "ipsecNFA" + GuidText(2),
                                        kBase + "ipsecNFA" + GuidText(105)}));

    // Unknown, short and malformed references change nothing.
    for (const std::string& reference :
         {kBase + "ipsecNFA" + GuidText(999), std::string("{1}"), std::string(),
          kBase + "ipsecNFA{not-a-guid-at-all-but-38-characters}"}) {
        model_->RemoveRule(reference);
        EXPECT_EQ(model_->rules.size(), 2u);
        EXPECT_EQ(model_->filterLists.size(), 1u);
        EXPECT_EQ(model_->policy.ruleReferences.size(), 2u);
    }
}

TEST_F(BuilderRuleTest, RemoveRuleFindsTheRuleByGuidWhateverThePathCase) {
    ASSERT_TRUE(model_->AddServiceRule(kServiceRuleName, false, 1, 3260, u"key"));
    Guid lower{0xABCDEFu, 0xABCD, 0, {}};
    model_->rules[1].ipsecId = FormatGuid(lower);
    model_->RemoveRule(kBase + "ipsecNFA{00abcdef-abcd-0000-0000-000000000000}");
    EXPECT_EQ(model_->rules.size(), 1u);
    // The policy's entry is compared as a whole string and stays.
    EXPECT_EQ(model_->policy.ruleReferences.size(), 2u);
}

TEST_F(BuilderRuleTest, RemoveRuleKeepsAFilterListAnotherRuleStillUses) {
    ASSERT_TRUE(model_->AddServiceRule(kServiceRuleName, false, 1, 3260, u"key"));
    ASSERT_TRUE(model_->AddServiceRule(kServiceRuleName, false, 1, 3261, u"key"));
    // The second rule also applies to the first rule's list.
    FilterList& shared = model_->filterLists[0];
    model_->rules[2].filterReferences.push_back(ObjectPath(shared));
    shared.ownersReference.push_back(ObjectPath(model_->rules[2]));

    model_->RemoveRule(model_->policy.ruleReferences[1]);
    ASSERT_EQ(model_->filterLists.size(), 2u);
    EXPECT_EQ(model_->filterLists[0].ipsecId, GuidText(100));
    EXPECT_EQ(model_->filterLists[0].ownersReference,
              std::vector<std::string>{ObjectPath(model_->rules[1])});
}

} // namespace
