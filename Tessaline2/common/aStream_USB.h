// A module attached by USB as a byte stream, over the kernel node when it
// exists and over libusb otherwise.
#ifndef TESSALINE_ASTREAM_USB_H
#define TESSALINE_ASTREAM_USB_H

#include <cstdint>

#include "aStream.h"

// Opens the module with this serial number. *stream is set to null first;
// aErrParam for serial 0 or a null pointer, aErrNotFound when the module is
// not attached (or USB is unavailable), aErrBusy when another process holds it.
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);

#endif
