#include "aThread.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>
#include <pthread.h>

namespace {
constexpr uint16_t kThreadCheck = 0xABCD;
}

struct aThread {
    pthread_t handle;
    uint16_t check;
};

aThread* aThread_Create(aThreadProc proc, void* ref)
{
    if (proc == nullptr)
        return nullptr;
    aThread* thread = new (std::nothrow) aThread;
    if (thread == nullptr)
        return nullptr;
    if (pthread_create(&thread->handle, nullptr, proc, ref) != 0) {
        delete thread;
        return nullptr;
    }
    thread->check = kThreadCheck;
    return thread;
}

int aThread_Destroy(aThread** thread)
{
    if (thread == nullptr || *thread == nullptr || (*thread)->check != kThreadCheck)
        return EINVAL;
    aThread* record = *thread;
    int result = 0;
    if (pthread_equal(record->handle, pthread_self())) {
        // Destroyed from its own thread: it cannot be joined, so let it clean up after itself.
        result = EDEADLK;
        pthread_detach(record->handle);
    } else {
        result = pthread_join(record->handle, nullptr);
    }
    record->check = 0;
    delete record;
    *thread = nullptr;
    return result;
}

void aThread_Yield()
{
    struct timespec pause = {0, 5000};
    nanosleep(&pause, nullptr);
}
