#include "app/InstanceGuard.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Each test runs in a process of its own under ctest; the pid keeps its name
// apart from a real run and from the other tests.
std::string testGuardName()
{
    return "Tolvane-test-guard-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

// Run as root, a guard leaves its empty lock file under /run; the tests take
// theirs away again.
struct LockFileRemoval {
    ~LockFileRemoval() { std::remove(("/run/tolvane-" + testGuardName() + ".lock").c_str()); }
};

// Forks a child that takes the guard, reports whether it holds it, then
// waits to be killed. Returns the child's pid.
pid_t startChildHolding(const std::string& name)
{
    int pipeFds[2];
    EXPECT_EQ(0, pipe(pipeFds));
    const pid_t child = fork();
    if (child == 0) {
        InstanceGuard guard = InstanceGuard::acquire(name);
        const char held = guard.held() ? '1' : '0';
        if (write(pipeFds[1], &held, 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    close(pipeFds[1]);
    char held = '0';
    EXPECT_EQ(1, read(pipeFds[0], &held, 1));
    close(pipeFds[0]);
    EXPECT_EQ('1', held);
    return child;
}

} // namespace

TEST(InstanceGuard, SecondAcquireSeesTheFirstUntilItIsGone)
{
    const LockFileRemoval removal;
    const std::string name = testGuardName();
    std::optional<InstanceGuard> kept;
    {
        InstanceGuard first = InstanceGuard::acquire(name);
        ASSERT_TRUE(first.held());
        EXPECT_FALSE(first.alreadyExisted());

        InstanceGuard second = InstanceGuard::acquire(name);
        EXPECT_TRUE(second.alreadyExisted());
        EXPECT_FALSE(second.held());

        kept.emplace(std::move(first));
    }
    // The moved-from guard and the refused one are gone; the name stays taken.
    EXPECT_TRUE(InstanceGuard::acquire(name).alreadyExisted());

    kept.reset();
    InstanceGuard again = InstanceGuard::acquire(name);
    EXPECT_TRUE(again.held());
    EXPECT_FALSE(again.alreadyExisted());
}

TEST(InstanceGuard, KilledHolderLeavesNoStaleGuard)
{
    const LockFileRemoval removal;
    const std::string name = testGuardName();
    const pid_t child = startChildHolding(name);
    ASSERT_GT(child, 0);
    EXPECT_TRUE(InstanceGuard::acquire(name).alreadyExisted());

    ASSERT_EQ(0, kill(child, SIGKILL));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status));

    InstanceGuard after = InstanceGuard::acquire(name);
    EXPECT_TRUE(after.held());
    EXPECT_FALSE(after.alreadyExisted());
}

TEST(InstanceGuard, NameThatCannotBeBoundLeavesTheRunUnguarded)
{
    InstanceGuard guard = InstanceGuard::acquire(std::string(200, 'x'));
    EXPECT_FALSE(guard.held());
    EXPECT_FALSE(guard.alreadyExisted());
}
