#include "aMutex.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <pthread.h>

namespace {
constexpr uint16_t kMutexCheck = 0xCAFE;
}

struct aMutex {
    pthread_mutex_t mutex;
    // Who holds it, so misuse is answered here without handing it to the system (and to
    // sanitizers, which treat it as a fault of the program).
    std::atomic<bool> held;
    std::atomic<pthread_t> owner;
    char name[aMUTEX_MAX_NAME + 1];
    uint16_t check;
};

static bool sValid(const aMutex* mutex)
{
    return mutex != nullptr && mutex->check == kMutexCheck;
}

static aErr sMapLockResult(int result)
{
    switch (result) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    case EBUSY: return aErrBusy;
    case EPERM: return aErrPermission;
    default: return aErrUnknown;
    }
}

aMutex* aMutex_Create(const char* name)
{
    const char* text = name == nullptr ? "" : name;
    if (strnlen(text, aMUTEX_MAX_NAME + 1) > aMUTEX_MAX_NAME)
        return nullptr;
    aMutex* mutex = new (std::nothrow) aMutex;
    if (mutex == nullptr)
        return nullptr;
    // Error checking turns a relock by the owner into an error instead of a silent deadlock.
    pthread_mutexattr_t attributes;
    bool made = pthread_mutexattr_init(&attributes) == 0;
    if (made) {
        made = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
               pthread_mutex_init(&mutex->mutex, &attributes) == 0;
        pthread_mutexattr_destroy(&attributes);
    }
    if (!made) {
        delete mutex;
        return nullptr;
    }
    strcpy(mutex->name, text);
    mutex->held.store(false, std::memory_order_relaxed);
    mutex->check = kMutexCheck;
    return mutex;
}

const char* aMutex_Identifier(aMutex* mutex)
{
    return sValid(mutex) ? mutex->name : nullptr;
}

static bool sHeldByCaller(const aMutex* mutex)
{
    // Only the owner ever stores its own id, so this answer is exact for the calling thread.
    return mutex->held.load(std::memory_order_relaxed) &&
           pthread_equal(mutex->owner.load(std::memory_order_relaxed), pthread_self());
}

static aErr sTakeOwnership(aMutex* mutex, int result)
{
    if (result == 0) {
        mutex->owner.store(pthread_self(), std::memory_order_relaxed);
        mutex->held.store(true, std::memory_order_relaxed);
    }
    return sMapLockResult(result);
}

aErr aMutex_Lock(aMutex* mutex) aNO_THREAD_SAFETY_ANALYSIS
{
    if (!sValid(mutex))
        return aErrParam;
    if (sHeldByCaller(mutex))
        return aErrDuplicate;
    return sTakeOwnership(mutex, pthread_mutex_lock(&mutex->mutex));
}

aErr aMutex_TryLock(aMutex* mutex) aNO_THREAD_SAFETY_ANALYSIS
{
    if (!sValid(mutex))
        return aErrParam;
    if (sHeldByCaller(mutex))
        return aErrBusy;
    return sTakeOwnership(mutex, pthread_mutex_trylock(&mutex->mutex));
}

aErr aMutex_Unlock(aMutex* mutex) aNO_THREAD_SAFETY_ANALYSIS
{
    if (!sValid(mutex))
        return aErrParam;
    if (!sHeldByCaller(mutex))
        return aErrPermission;
    mutex->held.store(false, std::memory_order_relaxed);
    const int result = pthread_mutex_unlock(&mutex->mutex);
    if (result != 0)
        mutex->held.store(true, std::memory_order_relaxed);
    return sMapLockResult(result);
}

aErr aMutex_Destroy(aMutex** mutex)
{
    if (mutex == nullptr || !sValid(*mutex))
        return aErrParam;
    aMutex* record = *mutex;
    // A held mutex stays alive: freeing it would leave its holder unlocking freed memory.
    if (sHeldByCaller(record))
        return aErrBusy;
    int result = pthread_mutex_trylock(&record->mutex);
    if (result != 0)
        return result == EBUSY ? aErrBusy : aErrUnknown;
    pthread_mutex_unlock(&record->mutex);
    result = pthread_mutex_destroy(&record->mutex);
    switch (result) {
    case 0: break;
    case EBUSY: return aErrBusy;
    case EAGAIN:
    case ENOMEM: return aErrResource;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
    record->check = 0;
    delete record;
    *mutex = nullptr;
    return aErrNone;
}
