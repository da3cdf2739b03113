// Named mutexes. Relocking by the owner is reported (aErrDuplicate) instead of deadlocking, and
// unlocking by another thread is refused (aErrPermission).
#ifndef TESSALINE_AMUTEX_H
#define TESSALINE_AMUTEX_H

#include "aError.h"

// Clang thread-safety annotations (checked with -Wthread-safety); empty for other compilers.
#if defined(__clang__)
#define aTS_ATTR(x) __attribute__((x))
#else
#define aTS_ATTR(x)
#endif
#define aCAPABILITY(name) aTS_ATTR(capability(name))
#define aGUARDED_BY(m) aTS_ATTR(guarded_by(m))
#define aPT_GUARDED_BY(m) aTS_ATTR(pt_guarded_by(m))
#define aREQUIRES(...) aTS_ATTR(requires_capability(__VA_ARGS__))
#define aACQUIRE(...) aTS_ATTR(acquire_capability(__VA_ARGS__))
#define aRELEASE(...) aTS_ATTR(release_capability(__VA_ARGS__))
#define aTRY_ACQUIRE(...) aTS_ATTR(try_acquire_capability(__VA_ARGS__))
#define aNO_THREAD_SAFETY_ANALYSIS aTS_ATTR(no_thread_safety_analysis)

#define aMUTEX_MAX_NAME 255

typedef struct aCAPABILITY("mutex") aMutex aMutex;

// New unlocked mutex; null when the name has more than aMUTEX_MAX_NAME characters, memory runs
// out or the system refuses. A null name gives an empty name.
aMutex* aMutex_Create(const char* name);
// The mutex's name; null for an invalid mutex.
const char* aMutex_Identifier(aMutex* mutex);

aErr aMutex_Lock(aMutex* mutex) aACQUIRE(mutex);
// aErrBusy when another thread (or the caller) holds it.
aErr aMutex_TryLock(aMutex* mutex) aTRY_ACQUIRE(aErrNone, mutex);
aErr aMutex_Unlock(aMutex* mutex) aRELEASE(mutex);

// Destroys and frees the mutex and sets *mutex to null. A held mutex is left alone (aErrBusy).
aErr aMutex_Destroy(aMutex** mutex);

#endif
