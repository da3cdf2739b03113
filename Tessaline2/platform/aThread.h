// Threads: every thread started here must be joined by aThread_Destroy.
#ifndef TESSALINE_ATHREAD_H
#define TESSALINE_ATHREAD_H

typedef void* (*aThreadProc)(void* ref);

typedef struct aThread aThread;

// Starts a thread running proc(ref); null when it cannot start.
aThread* aThread_Create(aThreadProc proc, void* ref);
// Waits for the thread to end, frees the handle, sets *thread to null and returns the join
// result (0 on success, an errno value otherwise; EINVAL for a null or invalid handle).
int aThread_Destroy(aThread** thread);
// Sleeps for 5 microseconds.
void aThread_Yield();

#endif
