#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "aMutex.h"

namespace {

TEST(Mutex, NamesUpTo255Characters)
{
    const struct {
        size_t length;
        bool made;
    } cases[] = {{0, true}, {1, true}, {255, true}, {256, false}, {1000, false}};
    for (const auto& c : cases) {
        const std::string name(c.length, 'n');
        aMutex* mutex = aMutex_Create(name.c_str());
        EXPECT_EQ(mutex != nullptr, c.made) << c.length;
        if (mutex != nullptr) {
            EXPECT_EQ(aMutex_Identifier(mutex), name);
            EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
            EXPECT_EQ(mutex, nullptr);
        }
    }
    aMutex* unnamed = aMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed), "");
    aMutex_Destroy(&unnamed);
}

TEST(Mutex, OwnerMisuseIsReportedNotDeadlocked)
{
    aMutex* mutex = aMutex_Create("misuse");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission) << "not locked by this thread";
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Lock(mutex), aErrDuplicate) << "relock by the owner";
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy) << "a held mutex is not freed";
    EXPECT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(Mutex, OtherThreadsSeeItHeld)
{
    aMutex* mutex = aMutex_Create("shared");
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    aErr tried = aErrNone;
    aErr unlocked = aErrNone;
    std::thread other([&] {
        tried = aMutex_TryLock(mutex);
        unlocked = aMutex_Unlock(mutex);
    });
    other.join();
    EXPECT_EQ(tried, aErrBusy);
    EXPECT_EQ(unlocked, aErrPermission) << "only the owner unlocks";
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    aMutex_Destroy(&mutex);
}

TEST(Mutex, SerialisesUpdatesFromSeveralThreads)
{
    aMutex* mutex = aMutex_Create("counter");
    ASSERT_NE(mutex, nullptr);
    long counter = 0;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::thread threads[kThreads];
    for (std::thread& t : threads) {
        t = std::thread([&] {
            for (int i = 0; i < kRounds; ++i) {
                if (aMutex_Lock(mutex) != aErrNone)
                    return;
                ++counter;
                aMutex_Unlock(mutex);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(Mutex, InvalidHandlesAreRefused)
{
    aMutex* none = nullptr;
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Identifier(nullptr), nullptr);
}

} // namespace
