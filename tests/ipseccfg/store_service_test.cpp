// CServiceControl against the platform's service manager (or its stand-in).
#include <gtest/gtest.h>

#include "store/service_control.h"
#include "store_test_support.h"

using namespace ipseccfg;

namespace {

class ServiceControlTest : public ::testing::Test {
  protected:
    void SetUp() override { storetest::ResetPlatform(); }
};

TEST_F(ServiceControlTest, AMissingServiceDoesNotOpen) {
    CServiceControl service;
    EXPECT_FALSE(service.Open("DravolinNoSuchService", kServiceQueryStatus));
    EXPECT_FALSE(service.IsOpen());
    std::uint32_t state = 99;
    EXPECT_FALSE(service.QueryState(state));
    EXPECT_EQ(state, 99u);
    EXPECT_FALSE(service.Start());
    EXPECT_FALSE(service.Control(129));
    EXPECT_TRUE(service.Close());
}

TEST_F(ServiceControlTest, AnExistingServiceReportsItsState) {
    CServiceControl service;
    ASSERT_TRUE(service.Open(storetest::ExistingService(), kServiceQueryStatus));
    EXPECT_TRUE(service.IsOpen());
    std::uint32_t state = 0;
    ASSERT_TRUE(service.QueryState(state));
    EXPECT_GE(state, 1u);
    EXPECT_LE(state, 7u);
    // Reopening a missing service closes what was open.
    EXPECT_FALSE(service.Open("DravolinNoSuchService", kServiceQueryStatus));
    EXPECT_FALSE(service.IsOpen());
    EXPECT_FALSE(service.QueryState(state));
}

TEST_F(ServiceControlTest, OperationsNeedTheRightsTheServiceWasOpenedWith) {
    CServiceControl service;
    ASSERT_TRUE(service.Open(storetest::ExistingService(), kServiceQueryStatus));
    EXPECT_FALSE(service.Start());
    EXPECT_FALSE(service.Control(129));
    CServiceControl moved(std::move(service));
    EXPECT_FALSE(service.IsOpen());
    std::uint32_t state = 0;
    EXPECT_TRUE(moved.QueryState(state));
}

} // namespace
