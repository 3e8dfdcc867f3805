// The stand-in's own behaviour: failure hooks, handle accounting and the
// scriptable service.
#include <gtest/gtest.h>

#include "store/memory_platform.h"
#include "store/registry_key.h"
#include "store/service_control.h"
#include "store_test_support.h"

using namespace ipseccfg;
namespace si = ipseccfg::standin;

namespace {

class StandInTest : public ::testing::Test {
  protected:
    void SetUp() override { storetest::ResetPlatform(); }
};

TEST_F(StandInTest, InjectedRegistryFailuresHitOnlyMatchingOperations) {
    CRegistryKey key;
    ASSERT_TRUE(key.Open(kHkeyLocalMachine, "A\\B", OpenExisting | CreateNew, kKeyAllAccess));
    si::FailRegistry(si::RegOp::SetValue, "b\\second", 1, 1);
    EXPECT_TRUE(key.WriteString("first", "1"));
    EXPECT_TRUE(key.WriteString("second", "2")); // skipped once
    EXPECT_FALSE(key.WriteString("second", "2"));
    EXPECT_TRUE(key.WriteString("second", "2")); // used up
    EXPECT_EQ(si::RegistryWriteJournal(),
              (std::vector<std::string>{"A\\B\\first", "A\\B\\second", "A\\B\\second"}));

    si::FailRegistry(si::RegOp::QueryValue, "", -1);
    std::string text;
    EXPECT_FALSE(key.ReadString("first", text));
    EXPECT_FALSE(key.ReadString("first", text));
    si::ClearRegistryFailures();
    EXPECT_TRUE(key.ReadString("first", text));

    si::FailRegistry(si::RegOp::OpenKey, "a\\b");
    CRegistryKey other;
    EXPECT_FALSE(other.Open(kHkeyLocalMachine, "A\\B", OpenExisting, kKeyAllAccess));
    si::FailRegistry(si::RegOp::CreateKey, "c");
    EXPECT_FALSE(other.Open(kHkeyLocalMachine, "C", OpenExisting | CreateNew, kKeyAllAccess));
    EXPECT_FALSE(si::KeyExists(kHkeyLocalMachine, "C"));
    si::FailRegistry(si::RegOp::DeleteKey, "a\\b");
    key.Close();
    EXPECT_FALSE(CRegistryKey::DeleteKey(kHkeyLocalMachine, "A\\B"));
    EXPECT_TRUE(CRegistryKey::DeleteKey(kHkeyLocalMachine, "A\\B"));
}

TEST_F(StandInTest, HandlesAreClosedByScopeReopenAndMove) {
    const int base = si::OpenRegistryHandles();
    {
        CRegistryKey key;
        ASSERT_TRUE(key.Open(kHkeyLocalMachine, "K", OpenExisting | CreateNew, kKeyAllAccess));
        ASSERT_TRUE(key.Open(kHkeyLocalMachine, "K", OpenExisting, kKeyAllAccess));
        EXPECT_EQ(si::OpenRegistryHandles(), base + 1);
        CRegistryKey moved(std::move(key));
        CRegistryKey target;
        ASSERT_TRUE(target.Open(kHkeyLocalMachine, "K", OpenExisting, kKeyAllAccess));
        target = std::move(moved);
        EXPECT_EQ(si::OpenRegistryHandles(), base + 1);
    }
    EXPECT_EQ(si::OpenRegistryHandles(), base);
    {
        CServiceControl service;
        ASSERT_TRUE(service.Open(storetest::ExistingService(), kServiceQueryStatus));
        EXPECT_EQ(si::OpenServiceHandles(), 2);
        CServiceControl moved(std::move(service));
        EXPECT_EQ(si::OpenServiceHandles(), 2);
    }
    EXPECT_EQ(si::OpenServiceHandles(), 0);
}

TEST_F(StandInTest, KeysAndValuesKeepTheirOrderAndCase) {
    CRegistryKey key;
    ASSERT_TRUE(key.Open(kHkeyLocalMachine, "Order", OpenExisting | CreateNew, kKeyAllAccess));
    ASSERT_TRUE(key.WriteDword("Zeta", 1));
    ASSERT_TRUE(key.WriteDword("alpha", 2));
    ASSERT_TRUE(key.WriteDword("ZETA", 3)); // same value, keeps its place and name
    EXPECT_EQ(si::ValueNames(kHkeyLocalMachine, "order"),
              (std::vector<std::string>{"Zeta", "alpha"}));
    ASSERT_TRUE(key.Open(kHkeyLocalMachine, "Order\\Sub", OpenExisting | CreateNew, kKeyAllAccess));
    EXPECT_EQ(si::SubKeys(kHkeyLocalMachine, "ORDER"), std::vector<std::string>{"Sub"});
}

TEST_F(StandInTest, DeletedKeysInvalidateOpenHandles) {
    CRegistryKey key;
    ASSERT_TRUE(key.Open(kHkeyLocalMachine, "Gone", OpenExisting | CreateNew, kKeyAllAccess));
    ASSERT_TRUE(CRegistryKey::DeleteKey(kHkeyLocalMachine, "Gone"));
    EXPECT_FALSE(key.WriteString("v", "x"));
    EXPECT_FALSE(CRegistryKey::DeleteKey(kHkeyLocalMachine, ""));
}

TEST_F(StandInTest, AccessMaskLimitsWhatAHandleMayDo) {
    CRegistryKey key;
    ASSERT_TRUE(key.Open(kHkeyLocalMachine, "Acc", OpenExisting | CreateNew, kKeyAllAccess));
    ASSERT_TRUE(key.WriteString("v", "x"));
    ASSERT_TRUE(key.Open(kHkeyLocalMachine, "Acc", OpenExisting, 0x20019 /* read */));
    std::string text;
    EXPECT_TRUE(key.ReadString("v", text));
    EXPECT_FALSE(key.WriteString("v", "y"));
}

TEST_F(StandInTest, ScriptedServiceStartsAfterTheGivenQueries) {
    si::ServiceScript script;
    script.state = kServiceStopped;
    script.queriesUntilRunning = 3;
    si::InstallService("Agent", script);
    CServiceControl service;
    ASSERT_TRUE(service.Open("agent", 0x114));
    EXPECT_EQ(si::ServiceHistory("Agent").lastOpenAccess, 0x114u);
    EXPECT_FALSE(service.Control(129)); // not running yet
    ASSERT_TRUE(service.Start());
    EXPECT_FALSE(service.Start()); // no longer stopped
    std::uint32_t state = 0;
    ASSERT_TRUE(service.QueryState(state));
    EXPECT_EQ(state, kServiceStartPending);
    ASSERT_TRUE(service.QueryState(state));
    ASSERT_TRUE(service.QueryState(state));
    EXPECT_EQ(state, kServiceRunning);
    ASSERT_TRUE(service.Control(129));
    const si::ServiceRecord record = si::ServiceHistory("Agent");
    EXPECT_EQ(record.starts, 1);
    EXPECT_EQ(record.queries, 3);
    EXPECT_EQ(record.controls, std::vector<std::uint32_t>{129});
}

TEST_F(StandInTest, ScriptedServiceCanRefuseAndStayPending) {
    si::ServiceScript refusing;
    refusing.refuseStart = true;
    si::InstallService("Refusing", refusing);
    si::ServiceScript stuck;
    stuck.queriesUntilRunning = -1;
    si::InstallService("Stuck", stuck);
    si::ServiceScript deaf;
    deaf.state = kServiceRunning;
    deaf.refuseControls = true;
    si::InstallService("Deaf", deaf);

    CServiceControl service;
    ASSERT_TRUE(service.Open("Refusing", 0x114));
    EXPECT_FALSE(service.Start());
    ASSERT_TRUE(service.Open("Stuck", 0x114));
    ASSERT_TRUE(service.Start());
    std::uint32_t state = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(service.QueryState(state));
        EXPECT_EQ(state, kServiceStartPending);
    }
    ASSERT_TRUE(service.Open("Deaf", 0x114));
    EXPECT_FALSE(service.Control(129));
    EXPECT_TRUE(si::ServiceHistory("Deaf").controls.empty());
}

TEST_F(StandInTest, InjectedServiceFailures) {
    CServiceControl service;
    si::FailService(si::ServiceOp::OpenManager);
    EXPECT_FALSE(service.Open(storetest::ExistingService(), 0x114));
    si::FailService(si::ServiceOp::OpenService);
    EXPECT_FALSE(service.Open(storetest::ExistingService(), 0x114));
    EXPECT_EQ(si::OpenServiceHandles(), 0);
    ASSERT_TRUE(service.Open(storetest::ExistingService(), 0x114));
    si::FailService(si::ServiceOp::Query);
    std::uint32_t state = 0;
    EXPECT_FALSE(service.QueryState(state));
    EXPECT_TRUE(service.QueryState(state));
    si::FailService(si::ServiceOp::Control);
    EXPECT_FALSE(service.Control(129));
    EXPECT_TRUE(service.Control(129));
}

} // namespace
