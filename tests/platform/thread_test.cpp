#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "aThread.h"

namespace {

void* addOne(void* ref)
{
    static_cast<std::atomic<int>*>(ref)->fetch_add(1);
    return nullptr;
}

TEST(Thread, RunsTheProcedureAndJoins)
{
    std::atomic<int> runs{0};
    std::vector<aThread*> threads;
    for (int i = 0; i < 8; ++i) {
        aThread* thread = aThread_Create(addOne, &runs);
        ASSERT_NE(thread, nullptr);
        threads.push_back(thread);
    }
    for (aThread*& thread : threads) {
        EXPECT_EQ(aThread_Destroy(&thread), 0);
        EXPECT_EQ(thread, nullptr);
    }
    EXPECT_EQ(runs.load(), 8) << "every thread ran before its join returned";
}

struct SelfJoin {
    aThread* self = nullptr;
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};
    int result = 0;
};

void* destroyOwnHandle(void* ref)
{
    auto* state = static_cast<SelfJoin*>(ref);
    while (!state->go.load())
        aThread_Yield();
    state->result = aThread_Destroy(&state->self);
    state->done = true; // last touch of the state: the test may end right after
    return nullptr;
}

TEST(Thread, DestroyFromItsOwnThreadIsReported)
{
    SelfJoin state;
    aThread* handle = aThread_Create(destroyOwnHandle, &state);
    ASSERT_NE(handle, nullptr);
    state.self = handle;
    state.go = true;
    // The thread detaches itself; wait for it to report through its state.
    for (int i = 0; i < 200000 && !state.done; ++i)
        aThread_Yield();
    ASSERT_TRUE(state.done);
    EXPECT_EQ(state.self, nullptr);
    EXPECT_EQ(state.result, EDEADLK);
}

TEST(Thread, BadArgumentsAreRefused)
{
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
    aThread* none = nullptr;
    EXPECT_EQ(aThread_Destroy(&none), EINVAL);
    EXPECT_EQ(aThread_Destroy(nullptr), EINVAL);
}

} // namespace
