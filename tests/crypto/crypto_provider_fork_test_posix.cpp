// A forked child must not hand out the random bytes its parent holds in
// reserve: otherwise both would send the same challenge.
#include "crypto_provider.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace dravolin::crypto {
namespace {

TEST(CryptoProviderFork, ChildAndParentDrawDifferentBytes) {
    std::uint8_t warm[16];
    ASSERT_TRUE(CryptoProvider().fill(warm, sizeof warm)); // the reserve is now filled

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::uint8_t child[16] = {};
        const bool ok = CryptoProvider().fill(child, sizeof child);
        const bool written =
            write(fds[1], child, sizeof child) == static_cast<ssize_t>(sizeof child);
        _exit(ok && written ? 0 : 1);
    }
    close(fds[1]);
    std::uint8_t parent[16];
    ASSERT_TRUE(CryptoProvider().fill(parent, sizeof parent));

    std::uint8_t child[16] = {};
    std::size_t got = 0;
    while (got < sizeof child) {
        const ssize_t n = read(fds[0], child + got, sizeof child - got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(got, sizeof child);
    EXPECT_NE(std::memcmp(child, parent, sizeof child), 0);
}

} // namespace
} // namespace dravolin::crypto
