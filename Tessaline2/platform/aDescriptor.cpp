#include "aDescriptor.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

bool sTransient(int error)
{
    // EFAULT is what some drivers answer for "nothing yet".
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == EFAULT;
}

} // namespace

int aDescriptor_AvoidZero(int fd)
{
    if (fd != 0)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}

aErr aDescriptor_ReadByte(int fd, uint8_t* byte, int idleMs)
{
    if (fd < 0 || !byte)
        return aErrParam;
    ssize_t n = read(fd, byte, 1);
    if (n == 1)
        return aErrNone;
    if (n < 0 && !sTransient(errno))
        return aErrIO;

    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, idleMs) <= 0)
        return aErrNotReady;
    n = read(fd, byte, 1);
    if (n == 1)
        return aErrNone;
    // Gone for good once it polls as hung up and nothing more can be read.
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
        return aErrIO;
    if (n < 0 && !sTransient(errno))
        return aErrIO;
    // Readable yet empty: a device that cannot wait for data must not make the reader spin.
    poll(nullptr, 0, idleMs);
    return aErrNotReady;
}
