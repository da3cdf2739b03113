#include "aStream_USB.h"

#include <cstdio>
#include <new>

#include "tsusb.h"

namespace {

constexpr uint16_t kUSBStreamCheck = 0xDEAD;

struct USBStream {
    uint32_t serialNumber;
    tsusb_record* access;
    uint16_t check;
};

USBStream* sValid(void* ref)
{
    auto* s = static_cast<USBStream*>(ref);
    return (s && s->check == kUSBStreamCheck && s->access) ? s : nullptr;
}

aErr sUSBGet(uint8_t* byte, void* ref)
{
    USBStream* s = sValid(ref);
    return s ? tsusb_get_from_device(s->access, byte) : aErrParam;
}

aErr sUSBPut(const uint8_t* byte, void* ref)
{
    USBStream* s = sValid(ref);
    return s ? tsusb_write_to_device(s->access, byte, 1) : aErrParam;
}

aErr sUSBWrite(const uint8_t* data, size_t length, void* ref)
{
    USBStream* s = sValid(ref);
    return s ? tsusb_write_to_device(s->access, data, length) : aErrParam;
}

aErr sUSBDelete(void* ref)
{
    USBStream* s = sValid(ref);
    if (!s)
        return aErrParam;
    // The records go even when the close fails: the stream record is freed
    // by the caller regardless, and nothing could reach them afterwards.
    const aErr result = tsusb_close_tessaline_device(s->access);
    tsusb_destroy(&s->access);
    s->check = 0;
    delete s;
    return result;
}

} // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream)
{
    if (!stream)
        return aErrParam;
    *stream = nullptr;
    if (serialNumber == 0)
        return aErrParam;

    auto* s = new (std::nothrow) USBStream{serialNumber, nullptr, kUSBStreamCheck};
    if (!s)
        return aErrMemory;
    const uint32_t backend = tsusb_is_kernel_driver_installed(serialNumber) ? kTsusbBackendKernel : kTsusbBackendLibusb;
    s->access = tsusb_create_usb(backend);
    if (!s->access) {
        delete s;
        return aErrResource;
    }

    char serialText[16];
    std::snprintf(serialText, sizeof serialText, "%08X", serialNumber);
    aErr result = tsusb_open_tessaline_device(s->access, serialText);
    if (result == aErrNone) {
        *stream = aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, s);
        if (*stream)
            return aErrNone;
        tsusb_close_tessaline_device(s->access);
        result = aErrMemory;
    }
    tsusb_destroy(&s->access);
    delete s;
    return result;
}
