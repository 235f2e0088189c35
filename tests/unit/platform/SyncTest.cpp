// Events, semaphores and the instance lock: the waits other threads rely on.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>

#include "platform/Event.h"
#include "platform/InstanceLock.h"
#include "platform/Semaphore.h"
#include "support/TempDirectory.h"

using namespace std::chrono_literals;

TEST(EventTest, AutoResetLetsOneWaitThrough) {
    platform::Event event;
    EXPECT_FALSE(event.wait(1ms));
    event.set();
    EXPECT_TRUE(event.wait(1ms));
    EXPECT_FALSE(event.wait(1ms));
}

TEST(EventTest, ManualResetStaysSet) {
    platform::Event event(platform::Event::Reset::Manual);
    event.set();
    EXPECT_TRUE(event.wait(1ms));
    EXPECT_TRUE(event.wait(1ms));
    event.reset();
    EXPECT_FALSE(event.isSet());
}

TEST(EventTest, WakesAWaiterOnAnotherThread) {
    platform::Event event;
    std::thread setter([&] { event.set(); });
    EXPECT_TRUE(event.wait(10s));
    setter.join();
}

TEST(SemaphoreTest, CountsAndRefusesBeyondItsMaximum) {
    platform::Semaphore semaphore(1, 1);
    EXPECT_TRUE(semaphore.tryAcquire(1ms));
    EXPECT_FALSE(semaphore.tryAcquire(1ms));
    EXPECT_TRUE(semaphore.release());
    EXPECT_FALSE(semaphore.release());
    EXPECT_EQ(semaphore.count(), 1);
}

TEST(SemaphoreTest, ReleaseOnAnotherThreadWakesTheWaiter) {
    platform::Semaphore semaphore(0, 1);
    std::thread releaser([&] { semaphore.release(); });
    EXPECT_TRUE(semaphore.tryAcquire(10s));
    releaser.join();
}

TEST(InstanceLockTest, OneHolderPerInstallation) {
    TempDirectory directory;
    platform::InstanceLock missing;
    EXPECT_EQ(missing.acquire(1ms), platform::InstanceLock::Result::NoBackupDirectory);

    ASSERT_EQ(::mkdir("backup", 0755), 0);
    platform::InstanceLock first;
    platform::InstanceLock second;
    EXPECT_EQ(first.acquire(1ms), platform::InstanceLock::Result::Acquired);
    EXPECT_EQ(second.acquire(50ms), platform::InstanceLock::Result::HeldElsewhere);
    first.release();
    EXPECT_EQ(second.acquire(1ms), platform::InstanceLock::Result::Acquired);

    // Another installation is another directory, and is not blocked.
    ASSERT_EQ(::mkdir("other", 0755), 0);
    platform::InstanceLock elsewhere("other");
    EXPECT_EQ(elsewhere.acquire(1ms), platform::InstanceLock::Result::Acquired);
}
