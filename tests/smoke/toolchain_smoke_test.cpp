#include <gtest/gtest.h>

#include <thread>

// The test runner, the threads library and the runtime work on this platform.
TEST(Toolchain, RunsThreads) {
    int value = 0;
    std::thread t([&] { value = 42; });
    t.join();
    EXPECT_EQ(value, 42);
}
