// Saving, loading and deleting policy trees in the registry (the stand-in
// natively, the real registry under Wine).
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "policy/ipsec_blob.h"
#include "policy/policy_model.h"
#include "policy/store_objects.h"
#include "store_test_support.h"

using namespace ipseccfg;

namespace {

const std::string kBase = kStoreBasePath;

bool KeyOpens(const std::string& path) {
    CRegistryKey key;
    return key.Open(kHkeyLocalMachine, path, OpenExisting, kKeyAllAccess);
}

std::uint32_t Dword(const Bytes& b) {
    return b.size() == 4 ? static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16) |
                               static_cast<std::uint32_t>(b[3]) << 24
                         : 0xFFFFFFFFu;
}

class PolicyStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        storetest::ResetPlatform();
        ASSERT_TRUE(CreateGuid(policyGuid_));
    }
    void TearDown() override {
        // Anything a test left behind goes, leaves first.
        for (const auto& m : {model_.get(), other_.get()}) {
            if (m == nullptr)
                continue;
            for (const auto& f : m->filterLists)
                CRegistryKey::DeleteKey(kHkeyLocalMachine, ObjectPath(f));
            for (const auto& r : m->rules)
                CRegistryKey::DeleteKey(kHkeyLocalMachine, ObjectPath(r));
            CRegistryKey::DeleteKey(kHkeyLocalMachine, ObjectPath(m->isakmp));
            CRegistryKey::DeleteKey(kHkeyLocalMachine, ObjectPath(m->policy));
        }
        for (const std::string& extra : extraKeys_)
            CRegistryKey::DeleteKey(kHkeyLocalMachine, extra);
    }

    // The configurator's kind of tree: response rule plus two service rules.
    std::unique_ptr<PolicyModel> BuildTree(const Guid& guid) {
        auto model = PolicyModel::CreateDefault(guid);
        EXPECT_TRUE(model);
        EXPECT_TRUE(model->AddServiceRule(kServiceRuleName, false, 0xC0A8010Au, 3260, u"s3cret"));
        EXPECT_TRUE(model->AddServiceRule(kServiceRuleName, false, 0xC0A8010Au, 3261, u"s3cret"));
        return model;
    }

    std::unique_ptr<PolicyModel> Fresh(const Guid& guid) {
        return PolicyModel::CreateDefault(guid);
    }

    Guid policyGuid_;
    std::unique_ptr<PolicyModel> model_;
    std::unique_ptr<PolicyModel> other_;
    std::vector<std::string> extraKeys_;
};

void ExpectSameObject(const StoreObject& a, const StoreObject& b) {
    EXPECT_EQ(a.description, b.description);
    EXPECT_EQ(a.ipsecId, b.ipsecId);
    EXPECT_EQ(a.ipsecName, b.ipsecName);
    EXPECT_EQ(a.ownersReference, b.ownersReference);
    EXPECT_EQ(a.name, b.name);
}

TEST_F(PolicyStoreTest, SavedTreeLoadsBackFieldForField) {
    model_ = BuildTree(policyGuid_);
    model_->rules[1].description = "described";
    ASSERT_TRUE(model_->Save());

    auto loaded = Fresh(policyGuid_);
    ASSERT_TRUE(loaded->Load());
    ExpectSameObject(loaded->policy, model_->policy);
    EXPECT_EQ(loaded->policy.pollingInterval, 10800u);
    EXPECT_EQ(loaded->policy.isakmpReference, model_->policy.isakmpReference);
    EXPECT_EQ(loaded->policy.ruleReferences, model_->policy.ruleReferences);
    ExpectSameObject(loaded->isakmp, model_->isakmp);
    EXPECT_EQ(EncodeBlob(loaded->isakmp), EncodeBlob(model_->isakmp));
    ASSERT_EQ(loaded->rules.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        ExpectSameObject(loaded->rules[i], model_->rules[i]);
        EXPECT_EQ(EncodeBlob(loaded->rules[i]), EncodeBlob(model_->rules[i]));
        EXPECT_EQ(loaded->rules[i].filterReferences, model_->rules[i].filterReferences);
        EXPECT_EQ(loaded->rules[i].negotiationPolicyReference, kNegotiationPolicyPath);
    }
    ASSERT_EQ(loaded->filterLists.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        ExpectSameObject(loaded->filterLists[i], model_->filterLists[i]);
        EXPECT_EQ(EncodeBlob(loaded->filterLists[i]), EncodeBlob(model_->filterLists[i]));
    }
    EXPECT_EQ(loaded->rules[1].description, "described");
}

TEST_F(PolicyStoreTest, StoredValuesHaveTheirTypesAndContent) {
    model_ = BuildTree(policyGuid_);
    const auto before = static_cast<std::uint32_t>(std::time(nullptr));
    ASSERT_TRUE(model_->Save());
    const auto after = static_cast<std::uint32_t>(std::time(nullptr));

    CRegistryKey key;
    ASSERT_TRUE(
        key.Open(kHkeyLocalMachine, ObjectPath(model_->policy), OpenExisting, kKeyAllAccess));
    std::uint32_t type = 0;
    Bytes raw;
    ASSERT_TRUE(key.ReadValue("ClassName", type, raw));
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(storetest::StoredTextLength(ObjectPath(model_->policy), "ClassName"), 11);
    std::string text;
    ASSERT_TRUE(key.ReadString("ClassName", text));
    EXPECT_EQ(text, "ipsecPolicy");
    EXPECT_FALSE(key.HasValue("description"));
    ASSERT_TRUE(key.ReadValue("ipsecData", type, raw));
    EXPECT_EQ(type, kRegBinary);
    EXPECT_EQ(raw, EncodeBlob(model_->policy));
    ASSERT_TRUE(key.ReadValue("ipsecDataType", type, raw));
    EXPECT_EQ(type, kRegDword);
    EXPECT_EQ(Dword(raw), 256u);
    ASSERT_TRUE(key.ReadString("ipsecID", text));
    EXPECT_EQ(text, FormatGuid(policyGuid_));
    EXPECT_EQ(storetest::StoredTextLength(ObjectPath(model_->policy), "ipsecID"), 38);
    ASSERT_TRUE(key.ReadString("name", text));
    EXPECT_EQ(text, "ipsecPolicy" + FormatGuid(policyGuid_));
    EXPECT_EQ(storetest::StoredTextLength(ObjectPath(model_->policy), "name"), 49);
    EXPECT_FALSE(key.HasValue("ipsecOwnersReference"));
    ASSERT_TRUE(key.ReadValue("whenChanged", type, raw));
    EXPECT_EQ(type, kRegDword);
    EXPECT_GE(Dword(raw), before);
    EXPECT_LE(Dword(raw), after);
    ASSERT_TRUE(key.ReadValue("ipsecISAKMPReference", type, raw));
    EXPECT_EQ(type, kRegSz);
    ASSERT_TRUE(key.ReadValue("ipsecNFAReference", type, raw));
    EXPECT_EQ(type, kRegMultiSz);

    // The response rule has no filter lists and so no filter reference.
    ASSERT_TRUE(
        key.Open(kHkeyLocalMachine, ObjectPath(model_->rules[0]), OpenExisting, kKeyAllAccess));
    EXPECT_FALSE(key.HasValue("ipsecFilterReference"));
    ASSERT_TRUE(key.ReadString("ipsecNegotiationPolicyReference", text));
    EXPECT_EQ(text, kNegotiationPolicyPath);
    std::vector<std::string> owners;
    ASSERT_TRUE(key.ReadMultiString("ipsecOwnersReference", owners));
    EXPECT_EQ(owners, std::vector<std::string>{ObjectPath(model_->policy)});

    ASSERT_TRUE(key.Open(kHkeyLocalMachine, ObjectPath(model_->filterLists[0]), OpenExisting,
                         kKeyAllAccess));
    ASSERT_TRUE(key.ReadString("ipsecName", text));
    EXPECT_EQ(text, "DravService" + model_->filterLists[0].ipsecId);
    ASSERT_TRUE(key.ReadString("ClassName", text));
    EXPECT_EQ(text, "ipsecFilter");
    ASSERT_TRUE(key.ReadBytes("ipsecData", raw));
    EXPECT_EQ(raw.size(), 95u);
}

TEST_F(PolicyStoreTest, EmptyRuleListIsStoredAsOneNulByte) {
    model_ = Fresh(policyGuid_);
    model_->RemoveRule(model_->policy.ruleReferences.at(0));
    ASSERT_TRUE(model_->policy.ruleReferences.empty());
    ASSERT_TRUE(model_->Save());
    CRegistryKey key;
    ASSERT_TRUE(
        key.Open(kHkeyLocalMachine, ObjectPath(model_->policy), OpenExisting, kKeyAllAccess));
    std::uint32_t type = 0;
    Bytes raw;
    ASSERT_TRUE(key.ReadValue("ipsecNFAReference", type, raw));
    EXPECT_EQ(type, kRegMultiSz);
    EXPECT_EQ(raw, Bytes{0});

    auto loaded = Fresh(policyGuid_);
    ASSERT_TRUE(loaded->Load());
    EXPECT_TRUE(loaded->rules.empty());
    EXPECT_TRUE(loaded->filterLists.empty());
}

TEST_F(PolicyStoreTest, LoadWithoutStoredPolicyKeepsTheDefaults) {
    model_ = Fresh(policyGuid_);
    const std::string isakmpName = model_->isakmp.name;
    EXPECT_FALSE(model_->Load());
    EXPECT_EQ(model_->isakmp.name, isakmpName);
    EXPECT_EQ(model_->rules.size(), 1u);
    EXPECT_EQ(model_->policy.pollingInterval, 10800u);
}

TEST_F(PolicyStoreTest, SharedFilterListIsLoadedOnce) {
    model_ = BuildTree(policyGuid_);
    FilterList& shared = model_->filterLists[0];
    model_->rules[2].filterReferences.push_back(ObjectPath(shared));
    shared.ownersReference.push_back(ObjectPath(model_->rules[2]));
    ASSERT_TRUE(model_->Save());

    auto loaded = Fresh(policyGuid_);
    ASSERT_TRUE(loaded->Load());
    ASSERT_EQ(loaded->filterLists.size(), 2u);
    EXPECT_EQ(loaded->filterLists[0].ipsecId, model_->filterLists[0].ipsecId);
    EXPECT_EQ(loaded->filterLists[1].ipsecId, model_->filterLists[1].ipsecId);
}

TEST_F(PolicyStoreTest, DeleteRemovesTheWholeTreeButNotTheNegotiationPolicy) {
    // A negotiation policy key without an owner list, as far as we can tell:
    // the walk must leave it alone.
    const bool hadNegotiation = KeyOpens(kNegotiationPolicyPath);
    if (!hadNegotiation) {
        CRegistryKey key;
        ASSERT_TRUE(key.Open(kHkeyLocalMachine, kNegotiationPolicyPath, CreateNew, kKeyAllAccess));
        ASSERT_TRUE(key.WriteString("ClassName", "ipsecNegotiationPolicy"));
        extraKeys_.push_back(kNegotiationPolicyPath);
    }
    model_ = BuildTree(policyGuid_);
    ASSERT_TRUE(model_->Save());
    DeleteStoredPolicy(policyGuid_);

    EXPECT_FALSE(KeyOpens(ObjectPath(model_->policy)));
    EXPECT_FALSE(KeyOpens(ObjectPath(model_->isakmp)));
    for (const auto& r : model_->rules)
        EXPECT_FALSE(KeyOpens(ObjectPath(r)));
    for (const auto& f : model_->filterLists)
        EXPECT_FALSE(KeyOpens(ObjectPath(f)));
    EXPECT_TRUE(KeyOpens(kNegotiationPolicyPath));
    CRegistryKey key;
    ASSERT_TRUE(key.Open(kHkeyLocalMachine, kNegotiationPolicyPath, OpenExisting, kKeyAllAccess));
    if (!hadNegotiation) {
        EXPECT_FALSE(key.HasValue("ipsecOwnersReference"));
    }

    // Nothing stored: nothing happens.
    DeleteStoredPolicy(policyGuid_);
}

TEST_F(PolicyStoreTest, DeleteOnlyDropsTheOwnerFromSharedObjects) {
    model_ = BuildTree(policyGuid_);
    ASSERT_TRUE(model_->Save());
    // A foreign rule of another policy also uses filter list 0.
    Guid otherGuid;
    ASSERT_TRUE(CreateGuid(otherGuid));
    other_ = Fresh(otherGuid);
    other_->rules[0].filterReferences.push_back(ObjectPath(model_->filterLists[0]));
    ASSERT_TRUE(other_->Save());
    const std::string foreignRule = ObjectPath(other_->rules[0]);
    const std::string ourRule = ObjectPath(model_->rules[1]);
    {
        CRegistryKey key;
        ASSERT_TRUE(key.Open(kHkeyLocalMachine, ObjectPath(model_->filterLists[0]), OpenExisting,
                             kKeyAllAccess));
        ASSERT_TRUE(key.WriteMultiString("ipsecOwnersReference", {foreignRule, ourRule, "x"}));
    }

    DeleteStoredPolicy(policyGuid_);
    EXPECT_FALSE(KeyOpens(ObjectPath(model_->policy)));
    EXPECT_FALSE(KeyOpens(ourRule));
    EXPECT_FALSE(KeyOpens(ObjectPath(model_->filterLists[1])));
    CRegistryKey key;
    ASSERT_TRUE(key.Open(kHkeyLocalMachine, ObjectPath(model_->filterLists[0]), OpenExisting,
                         kKeyAllAccess));
    std::vector<std::string> owners;
    ASSERT_TRUE(key.ReadMultiString("ipsecOwnersReference", owners));
    EXPECT_EQ(owners, (std::vector<std::string>{foreignRule, "x"}));
    EXPECT_TRUE(KeyOpens(ObjectPath(other_->policy)));
}

TEST_F(PolicyStoreTest, DeleteRemovesUnreadableOwnerListsAndKeepsEmptyOnes) {
    model_ = BuildTree(policyGuid_);
    ASSERT_TRUE(model_->Save());
    {
        CRegistryKey key;
        // Wrong type: the owner list cannot be read, so the object goes.
        ASSERT_TRUE(key.Open(kHkeyLocalMachine, ObjectPath(model_->filterLists[0]), OpenExisting,
                             kKeyAllAccess));
        ASSERT_TRUE(key.WriteString("ipsecOwnersReference", "not a list"));
        // Present but empty: nobody is named, so it stays.
        ASSERT_TRUE(key.Open(kHkeyLocalMachine, ObjectPath(model_->filterLists[1]), OpenExisting,
                             kKeyAllAccess));
        ASSERT_TRUE(key.WriteMultiString("ipsecOwnersReference", {}));
        // Owner list naming someone else: stays too.
        ASSERT_TRUE(
            key.Open(kHkeyLocalMachine, ObjectPath(model_->isakmp), OpenExisting, kKeyAllAccess));
        ASSERT_TRUE(key.WriteMultiString("ipsecOwnersReference", {"elsewhere"}));
    }
    DeleteStoredPolicy(policyGuid_);
    EXPECT_FALSE(KeyOpens(ObjectPath(model_->filterLists[0])));
    EXPECT_TRUE(KeyOpens(ObjectPath(model_->filterLists[1])));
    EXPECT_TRUE(KeyOpens(ObjectPath(model_->isakmp)));
    EXPECT_FALSE(KeyOpens(ObjectPath(model_->rules[2])));
    EXPECT_FALSE(KeyOpens(ObjectPath(model_->policy)));
}

TEST_F(PolicyStoreTest, DeleteFollowsNoReferenceOutsideTheStore) {
    // A damaged policy pointing at an unrelated key without an owner list.
    const std::string outside =
        "SOFTWARE\\DravolinTests\\Outside{07F7805E-A746-486C-B1FF-5A6A33DE185D}";
    extraKeys_.push_back(outside);
    {
        CRegistryKey key;
        ASSERT_TRUE(key.Open(kHkeyLocalMachine, outside, OpenExisting | CreateNew, kKeyAllAccess));
    }
    model_ = Fresh(policyGuid_);
    model_->policy.isakmpReference = outside;
    model_->policy.ruleReferences.push_back(outside);
    model_->rules[0].filterReferences.push_back(outside);
    ASSERT_TRUE(model_->Save());
    DeleteStoredPolicy(policyGuid_);
    EXPECT_TRUE(KeyOpens(outside));
    EXPECT_FALSE(KeyOpens(ObjectPath(model_->policy)));
    EXPECT_FALSE(KeyOpens(ObjectPath(model_->rules[0])));
}

TEST_F(PolicyStoreTest, DamagedStoreLoadsWhatItCanAndFails) {
    model_ = BuildTree(policyGuid_);
    ASSERT_TRUE(model_->Save());
    {
        CRegistryKey key;
        // A truncated rule blob, a filter list with a huge count, a rule
        // reference without a GUID and a wrongly typed ISAKMP reference.
        ASSERT_TRUE(
            key.Open(kHkeyLocalMachine, ObjectPath(model_->rules[1]), OpenExisting, kKeyAllAccess));
        Bytes blob = EncodeBlob(model_->rules[1]);
        blob.resize(30);
        ASSERT_TRUE(key.WriteBytes("ipsecData", blob));
        ASSERT_TRUE(key.Open(kHkeyLocalMachine, ObjectPath(model_->filterLists[1]), OpenExisting,
                             kKeyAllAccess));
        blob = EncodeBlob(model_->filterLists[1]);
        blob[20] = blob[21] = blob[22] = blob[23] = 0xEE;
        ASSERT_TRUE(key.WriteBytes("ipsecData", blob));
        ASSERT_TRUE(
            key.Open(kHkeyLocalMachine, ObjectPath(model_->policy), OpenExisting, kKeyAllAccess));
        std::vector<std::string> refs = model_->policy.ruleReferences;
        refs.push_back("short");
        refs.push_back(kBase + "ipsecNFA{ZZZZZZZZ-ZZZZ-ZZZZ-ZZZZ-ZZZZZZZZZZZZ}");
        ASSERT_TRUE(key.WriteMultiString("ipsecNFAReference", refs));
        ASSERT_TRUE(key.WriteBytes("ipsecISAKMPReference", Bytes{1, 2, 3}));
    }
    auto loaded = Fresh(policyGuid_);
    EXPECT_FALSE(loaded->Load());
    // The sound objects are there; the rules without a GUID are left out.
    ASSERT_EQ(loaded->rules.size(), 3u);
    EXPECT_EQ(loaded->rules[2].authMethods.at(0).text, u"s3cret");
    EXPECT_EQ(loaded->rules[1].name, model_->rules[1].name);
    ASSERT_EQ(loaded->filterLists.size(), 2u);
    EXPECT_EQ(loaded->filterLists[0].specs.at(0).destinationPort, 3260);
    EXPECT_EQ(loaded->filterLists[1].name, model_->filterLists[1].name);
    // Whatever was loaded can be stored again without writing nameless keys.
    EXPECT_TRUE(loaded->Save());
    DeleteStoredPolicy(policyGuid_);
    EXPECT_FALSE(KeyOpens(ObjectPath(model_->policy)));
}

} // namespace
