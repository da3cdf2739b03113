#include "aTime.h"

#include <cerrno>
#include <ctime>
#include <sys/time.h>

uint64_t aTime_GetMSTicks()
{
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0)
        return 0;
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                        static_cast<uint64_t>(now.tv_usec) / 1000u;
    return ms == UINT64_MAX ? 0 : ms;
}

uint64_t aTime_GetMonotonicMSTicks()
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void osMSSleep(uint64_t ms, aTimeSliceProc slice, void* ref)
{
    if (slice == nullptr)
        return;
    // Whole seconds first, then the remainder, so ms * 1000 never overflows.
    uint64_t seconds = ms / 1000u;
    uint64_t remainderUS = (ms % 1000u) * 1000u;
    // Each whole second is one slice short; the shortfall carries into the remainder.
    while (seconds > 0) {
        slice(aTIME_MAX_SLICE_US, ref);
        --seconds;
        remainderUS += 1000000u - aTIME_MAX_SLICE_US;
        while (remainderUS > aTIME_MAX_SLICE_US) {
            slice(aTIME_MAX_SLICE_US, ref);
            remainderUS -= aTIME_MAX_SLICE_US;
        }
    }
    if (remainderUS > 0)
        slice(static_cast<uint32_t>(remainderUS), ref);
}

static void sSleepSlice(uint32_t microseconds, void*)
{
    struct timespec left;
    left.tv_sec = microseconds / 1000000u;
    left.tv_nsec = static_cast<long>(microseconds % 1000000u) * 1000L;
    // A signal must not cut the sleep short.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void aTime_MSSleep(uint64_t ms)
{
    osMSSleep(ms, sSleepSlice, nullptr);
}
