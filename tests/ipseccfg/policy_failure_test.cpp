// Failure paths of the store objects, driven by the stand-in's hooks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policy/ipsec_blob.h"
#include "policy/policy_model.h"
#include "policy/store_objects.h"
#include "store/memory_platform.h"
#include "store_test_support.h"

using namespace ipseccfg;
namespace si = ipseccfg::standin;

namespace {

const std::string kBase = kStoreBasePath;

class PolicyFailureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        storetest::ResetPlatform();
        model_ = PolicyModel::CreateDefault(ConfiguratorPolicyGuid);
        ASSERT_TRUE(model_);
        ASSERT_TRUE(model_->AddServiceRule(kServiceRuleName, false, 0x0A000001u, 3260, u"k"));
        ASSERT_TRUE(model_->AddServiceRule(kServiceRuleName, false, 0x0A000001u, 3261, u"k"));
    }
    bool Exists(const StoreObject& o) { return si::KeyExists(kHkeyLocalMachine, ObjectPath(o)); }
    std::unique_ptr<PolicyModel> model_;
};

TEST_F(PolicyFailureTest, ValuesAreWrittenInTheirOrder) {
    model_->policy.description = "d";
    ASSERT_TRUE(model_->Save());
    const std::string p = ObjectPath(model_->policy) + "\\";
    EXPECT_EQ(si::ValueNames(kHkeyLocalMachine, ObjectPath(model_->policy)),
              (std::vector<std::string>{"ClassName", "description", "ipsecData", "ipsecDataType",
                                        "ipsecID", "ipsecName", "name", "whenChanged",
                                        "ipsecISAKMPReference", "ipsecNFAReference"}));
    EXPECT_EQ(
        si::ValueNames(kHkeyLocalMachine, ObjectPath(model_->rules[1])),
        (std::vector<std::string>{"ClassName", "ipsecData", "ipsecDataType", "ipsecID", "ipsecName",
                                  "name", "ipsecOwnersReference", "whenChanged",
                                  "ipsecFilterReference", "ipsecNegotiationPolicyReference"}));
    EXPECT_EQ(si::ValueNames(kHkeyLocalMachine, ObjectPath(model_->rules[0])).back(),
              "ipsecNegotiationPolicyReference");
    EXPECT_EQ(si::ValueNames(kHkeyLocalMachine, ObjectPath(model_->filterLists[0])).back(),
              "whenChanged");

    // Objects in the order filter lists, rules, ISAKMP policy, policy.
    std::vector<std::string> keys;
    for (const std::string& entry : si::RegistryWriteJournal()) {
        const std::string key = entry.substr(0, entry.rfind('\\'));
        if (keys.empty() || keys.back() != key)
            keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{
                        ObjectPath(model_->filterLists[0]), ObjectPath(model_->filterLists[1]),
                        ObjectPath(model_->rules[0]), ObjectPath(model_->rules[1]),
                        ObjectPath(model_->rules[2]), ObjectPath(model_->isakmp),
                        ObjectPath(model_->policy)}));
    // Sub-keys of the store: exactly the seven objects.
    EXPECT_EQ(si::SubKeys(kHkeyLocalMachine, kBase).size(), 7u);
}

TEST_F(PolicyFailureTest, EmptyOptionalFieldsAreNotStoredAndLoadAsIdentity) {
    model_->isakmp.ipsecName.clear();
    ASSERT_TRUE(model_->Save());
    EXPECT_EQ(si::ValueNames(kHkeyLocalMachine, ObjectPath(model_->isakmp)),
              (std::vector<std::string>{"ClassName", "ipsecData", "ipsecDataType", "ipsecID",
                                        "name", "ipsecOwnersReference", "whenChanged"}));
    auto loaded = PolicyModel::CreateDefault(ConfiguratorPolicyGuid);
    EXPECT_TRUE(loaded->Load());
    EXPECT_EQ(loaded->isakmp.ipsecName, model_->isakmp.ipsecId);
    EXPECT_TRUE(loaded->isakmp.description.empty());
}

TEST_F(PolicyFailureTest, AFailedWriteStillWritesTheRestThenSaveDeletesTheTree) {
    si::FailRegistry(si::RegOp::SetValue, model_->rules[1].name + "\\ipsecData");
    EXPECT_FALSE(model_->Save());
    const auto journal = si::RegistryWriteJournal();
    // The failed rule's other values and every later object were written...
    EXPECT_NE(std::find(journal.begin(), journal.end(),
                        ObjectPath(model_->rules[1]) + "\\ipsecNegotiationPolicyReference"),
              journal.end());
    EXPECT_NE(std::find(journal.begin(), journal.end(),
                        ObjectPath(model_->policy) + "\\ipsecNFAReference"),
              journal.end());
    // ...and then the whole tree was removed again.
    EXPECT_FALSE(Exists(model_->policy));
    EXPECT_FALSE(Exists(model_->isakmp));
    for (const auto& r : model_->rules)
        EXPECT_FALSE(Exists(r));
    for (const auto& f : model_->filterLists)
        EXPECT_FALSE(Exists(f));
}

TEST_F(PolicyFailureTest, AKeyThatCannotBeCreatedGetsNoValues) {
    si::FailRegistry(si::RegOp::CreateKey, model_->filterLists[0].name);
    EXPECT_FALSE(model_->Save());
    for (const std::string& entry : si::RegistryWriteJournal())
        EXPECT_EQ(entry.find(model_->filterLists[0].name), std::string::npos) << entry;
    EXPECT_FALSE(Exists(model_->policy));
}

TEST_F(PolicyFailureTest, WriteObjectWithoutANameTouchesNothing) {
    FilterList nameless;
    EXPECT_FALSE(WriteFilterList(nameless));
    EXPECT_TRUE(si::RegistryWriteJournal().empty());
}

TEST_F(PolicyFailureTest, LoadReadsEverythingItCanAfterAFailedRead) {
    ASSERT_TRUE(model_->Save());
    si::FailRegistry(si::RegOp::QueryValue, model_->rules[1].name + "\\ipsecData");
    auto loaded = PolicyModel::CreateDefault(ConfiguratorPolicyGuid);
    EXPECT_FALSE(loaded->Load());
    ASSERT_EQ(loaded->rules.size(), 3u);
    EXPECT_TRUE(loaded->rules[1].authMethods.empty());
    EXPECT_EQ(loaded->rules[1].filterReferences, model_->rules[1].filterReferences);
    EXPECT_EQ(loaded->rules[2].authMethods.at(0).text, u"k");
    ASSERT_EQ(loaded->filterLists.size(), 2u);
    EXPECT_EQ(loaded->filterLists[1].specs.at(0).destinationPort, 3261);
}

TEST_F(PolicyFailureTest, LoadFailsOnAWronglyTypedOptionalValue) {
    ASSERT_TRUE(model_->Save());
    CRegistryKey key;
    ASSERT_TRUE(
        key.Open(kHkeyLocalMachine, ObjectPath(model_->isakmp), OpenExisting, kKeyAllAccess));
    ASSERT_TRUE(key.WriteDword("description", 7));
    auto loaded = PolicyModel::CreateDefault(ConfiguratorPolicyGuid);
    EXPECT_FALSE(loaded->Load());
    EXPECT_EQ(loaded->isakmp.name, model_->isakmp.name);
    EXPECT_EQ(loaded->rules.size(), 3u);
}

TEST_F(PolicyFailureTest, DeleteGoesOnPastObjectsThatResist) {
    ASSERT_TRUE(model_->Save());
    si::FailRegistry(si::RegOp::DeleteKey, model_->rules[1].name);
    si::FailRegistry(si::RegOp::OpenKey, model_->filterLists[1].name, -1);
    DeleteStoredPolicy(ConfiguratorPolicyGuid);
    si::ClearRegistryFailures();
    EXPECT_TRUE(Exists(model_->rules[1]));
    EXPECT_TRUE(Exists(model_->filterLists[1]));
    EXPECT_FALSE(Exists(model_->rules[2]));
    EXPECT_FALSE(Exists(model_->filterLists[0]));
    EXPECT_FALSE(Exists(model_->isakmp));
    EXPECT_FALSE(Exists(model_->policy));
}

TEST_F(PolicyFailureTest, DeleteDoesNothingWhenThePolicyDoesNotOpen) {
    ASSERT_TRUE(model_->Save());
    si::FailRegistry(si::RegOp::OpenKey, model_->policy.name);
    DeleteStoredPolicy(ConfiguratorPolicyGuid);
    EXPECT_TRUE(Exists(model_->policy));
    EXPECT_TRUE(Exists(model_->rules[1]));
}

TEST_F(PolicyFailureTest, DeleteNeverTouchesTheNegotiationPolicy) {
    {
        CRegistryKey key;
        ASSERT_TRUE(key.Open(kHkeyLocalMachine, kNegotiationPolicyPath, CreateNew, kKeyAllAccess));
        // Even if it names our rule as its only owner.
        ASSERT_TRUE(key.WriteMultiString("ipsecOwnersReference", {ObjectPath(model_->rules[1])}));
    }
    ASSERT_TRUE(model_->Save());
    DeleteStoredPolicy(ConfiguratorPolicyGuid);
    EXPECT_TRUE(si::KeyExists(kHkeyLocalMachine, kNegotiationPolicyPath));
    CRegistryKey key;
    ASSERT_TRUE(key.Open(kHkeyLocalMachine, kNegotiationPolicyPath, OpenExisting, kKeyAllAccess));
    std::vector<std::string> owners;
    ASSERT_TRUE(key.ReadMultiString("ipsecOwnersReference", owners));
    EXPECT_EQ(owners, std::vector<std::string>{ObjectPath(model_->rules[1])});
}

} // namespace
