#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <sys/time.h>
#include <vector>

#include "aTime.h"

namespace {

void record(uint32_t microseconds, void* ref)
{
    static_cast<std::vector<uint32_t>*>(ref)->push_back(microseconds);
}

TEST(TimeSleep, CutsLongSleepsIntoSlicesBelowOneSecond)
{
    const struct {
        uint64_t ms;
        std::vector<uint32_t> slices;
    } cases[] = {
        {0, {}},
        {1, {1000}},
        {999, {999000}},
        {1000, {999999, 1}},
        {2500, {999999, 999999, 500002}},
        {3000, {999999, 999999, 999999, 3}},
    };
    for (const auto& c : cases) {
        std::vector<uint32_t> slices;
        osMSSleep(c.ms, record, &slices);
        EXPECT_EQ(slices, c.slices) << c.ms;
    }
}

TEST(TimeSleep, SlicesAlwaysAddUpAndStayBelowTheLimit)
{
    const uint64_t durations[] = {1, 999, 1001, 12345, 999999, 1000000, 4000001};
    for (uint64_t ms : durations) {
        std::vector<uint32_t> slices;
        osMSSleep(ms, record, &slices);
        const uint64_t total = std::accumulate(slices.begin(), slices.end(), uint64_t{0});
        EXPECT_EQ(total, ms * 1000) << ms;
        for (uint32_t slice : slices) {
            ASSERT_GT(slice, 0u);
            ASSERT_LE(slice, aTIME_MAX_SLICE_US);
        }
    }
    osMSSleep(5, nullptr, nullptr); // no procedure: nothing happens
}

TEST(TimeClock, FollowsTheWallClockInMilliseconds)
{
    struct timeval before;
    ASSERT_EQ(gettimeofday(&before, nullptr), 0);
    const uint64_t ticks = aTime_GetMSTicks();
    struct timeval after;
    ASSERT_EQ(gettimeofday(&after, nullptr), 0);
    const uint64_t low = uint64_t(before.tv_sec) * 1000 + uint64_t(before.tv_usec) / 1000;
    const uint64_t high = uint64_t(after.tv_sec) * 1000 + uint64_t(after.tv_usec) / 1000;
    EXPECT_GE(ticks, low);
    EXPECT_LE(ticks, high);
}

TEST(TimeClock, MonotonicClockNeverGoesBack)
{
    uint64_t last = aTime_GetMonotonicMSTicks();
    EXPECT_GT(last, 0u);
    for (int i = 0; i < 1000; ++i) {
        const uint64_t now = aTime_GetMonotonicMSTicks();
        ASSERT_GE(now, last);
        last = now;
    }
}

TEST(TimeSleep, SleepsAtLeastTheRequestedTime)
{
    // A lower bound only: a sleep may overrun on a busy machine but never return early.
    const uint64_t start = aTime_GetMonotonicMSTicks();
    aTime_MSSleep(20);
    EXPECT_GE(aTime_GetMonotonicMSTicks() - start, 20u);
    aTime_MSSleep(0);
}

} // namespace
