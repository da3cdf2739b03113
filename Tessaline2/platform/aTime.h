// Time: wall-clock milliseconds, a monotonic clock for deadlines, and sleeps.
#ifndef TESSALINE_ATIME_H
#define TESSALINE_ATIME_H

#include <cstdint>

// Wall-clock milliseconds since the epoch; 0 when the clock cannot be read. Follows changes of
// the system time, so prefer aTime_GetMonotonicMSTicks for deadlines.
uint64_t aTime_GetMSTicks();
// Milliseconds on a clock that never jumps (arbitrary origin); for timeouts and deadlines.
uint64_t aTime_GetMonotonicMSTicks();
// Sleeps ms milliseconds; 0 returns at once.
void aTime_MSSleep(uint64_t ms);

// Largest single slice osMSSleep sleeps, in microseconds.
#define aTIME_MAX_SLICE_US 999999u
// Receives one slice of a sleep, in microseconds.
typedef void (*aTimeSliceProc)(uint32_t microseconds, void* ref);
// Cuts ms milliseconds into slices of at most aTIME_MAX_SLICE_US and hands each to slice
// (aTime_MSSleep passes a procedure that sleeps).
void osMSSleep(uint64_t ms, aTimeSliceProc slice, void* ref);

#endif
