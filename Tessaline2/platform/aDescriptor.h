// Byte I/O on non-blocking character devices (serial ports, kernel nodes)
// shared by the streams that sit on them.
#ifndef TESSALINE_ADESCRIPTOR_H
#define TESSALINE_ADESCRIPTOR_H

#include <cstddef>
#include <cstdint>

#include "aError.h"

// Records use descriptor 0 for "not open": returns `fd` moved to a higher
// number when it is 0 (closing the original), else `fd`; -1 on failure.
int aDescriptor_AvoidZero(int fd);

// Reads one byte from a non-blocking descriptor, waiting up to idleMs for one
// to arrive. aErrNone with a byte; aErrNotReady when none came; aErrIO when the
// read fails or the device has gone (hung up, nothing left to read).
aErr aDescriptor_ReadByte(int fd, uint8_t* byte, int idleMs);

#endif
