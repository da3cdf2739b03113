#include "tsusb.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <libusb-1.0/libusb.h>

#include "aDefs.h"
#include "aDescriptor.h"

namespace {

libusb_context* _libusbContext = nullptr;
std::mutex _libusbContextLock;

/* Idle wait of a get procedure before it answers "no byte yet". */
constexpr int kIdlePollMs = 10;

bool sIsLibusb(const tsusb_record* record)
{
    return record->backend == kTsusbBackendLibusb;
}

bool sIsKernel(const tsusb_record* record)
{
    return record->backend == kTsusbBackendKernel;
}

/* Transient I/O failures are hidden until the fifth in a row, which fails the
 * record for good. */
aErr _handleErrorTolerance(tsusb_record* record, aErr result, aErr tolerated)
{
    if (result != aErrIO) {
        record->errorCount.store(0);
        return result;
    }
    if (record->state.load() == kTsusbStateFailed)
        return aErrIO;
    const uint8_t before = record->errorCount.fetch_add(1);
    if (before < kTsusbToleratedFailures)
        return tolerated;
    record->errorCount.store(kTsusbToleratedFailures + 1);  // no wrap-around back into tolerance
    record->state.store(kTsusbStateFailed);
    return aErrIO;
}

void sIdleWait()
{
    poll(nullptr, 0, kIdlePollMs);
}

} // namespace

bool is_tessaline_device(uint16_t vendorId, uint16_t productId)
{
    return vendorId == kTessalineUSBVendorId && (productId & kTessalineUSBProductNotModuleBit) == 0;
}

size_t tsusb_out_chunk_size(uint16_t outMaxPacket, size_t remaining)
{
    size_t chunk = remaining < outMaxPacket ? remaining : outMaxPacket;
    /* Some host controllers stall on transfers of exactly 512 bytes. */
    if (chunk == 512)
        chunk = 511;
    return chunk;
}

/* ---- shared libusb context ---- */

libusb_context* Tessaline_libusb_context()
{
    std::lock_guard<std::mutex> lock(_libusbContextLock);
    if (!_libusbContext) {
        libusb_context* context = nullptr;
        const int rc = libusb_init(&context);
        if (rc != 0) {
            aDebug_Printf(aDEBUG_USB, "libusb init error: %d\n", rc);
            return nullptr;
        }
        _libusbContext = context;
    }
    return _libusbContext;
}

aErr Tessaline_libusb_init()
{
    return Tessaline_libusb_context() ? aErrNone : aErrInitialization;
}

void Tessaline_libusb_exit()
{
    std::lock_guard<std::mutex> lock(_libusbContextLock);
    if (_libusbContext) {
        libusb_exit(_libusbContext);
        _libusbContext = nullptr;
    }
}

/* ---- record ---- */

aErr tsusb_kernel_node_path(const char* serialText, char* path, size_t size)
{
    if (!serialText || !path || size == 0)
        return aErrParam;
    const char* dir = std::getenv(kTessalineDeviceDirEnv);
    if (!dir || !*dir)
        dir = kTessalineDeviceDirDefault;
    const int n = std::snprintf(path, size, "%s/tessaline.%s", dir, serialText);
    if (n < 0 || static_cast<size_t>(n) >= size)
        return aErrFileNameLength;
    return aErrNone;
}

bool tsusb_is_kernel_driver_installed(uint32_t serialNumber)
{
    char serialText[16];
    std::snprintf(serialText, sizeof serialText, "%08X", serialNumber);
    char path[4096];
    if (tsusb_kernel_node_path(serialText, path, sizeof path) != aErrNone)
        return false;
    struct stat info;
    return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

tsusb_record* tsusb_create_usb(uint32_t backend)
{
    if (backend != kTsusbBackendKernel && backend != kTsusbBackendLibusb)
        return nullptr;
    auto* record = new (std::nothrow) tsusb_record{};
    if (!record)
        return nullptr;
    record->backend = backend;
    record->state.store(kTsusbStateCreated);
    record->bulkTransfer = libusb_bulk_transfer;
    record->clearHalt = libusb_clear_halt;
    /* A context that cannot start is not an error here: opening then finds no module. */
    if (backend == kTsusbBackendLibusb)
        (void)Tessaline_libusb_context();
    return record;
}

aErr tsusb_destroy(tsusb_record** record)
{
    if (!record || !*record)
        return aErrParam;
    tsusb_record* r = *record;
    if (sIsLibusb(r) && r->handle) {
        libusb_release_interface(r->handle, r->interfaceNumber);
        libusb_close(r->handle);
    }
    if (sIsKernel(r) && r->fd > 0)
        close(r->fd);
    delete r;
    *record = nullptr;
    return aErrNone;
}

/* ---- dispatch ---- */

aErr tsusb_open_tessaline_device(tsusb_record* record, const char* serialText)
{
    if (!record || !serialText)
        return aErrParam;
    return sIsKernel(record) ? tsusb_open_tessaline_kernel_device(record, serialText)
                             : tsusb_open_tessaline_USBlib_device(record, serialText);
}

aErr tsusb_write_to_device(tsusb_record* record, const uint8_t* data, size_t length)
{
    if (!record || (!data && length))
        return aErrParam;
    return sIsKernel(record) ? tsusb_write_to_kernel_device(record, data, length)
                             : tsusb_write_to_USBlib_device(record, data, length);
}

aErr tsusb_get_from_device(tsusb_record* record, uint8_t* byte)
{
    if (!record || !byte)
        return aErrParam;
    return sIsKernel(record) ? tsusb_get_from_kernel_device(record, byte)
                             : tsusb_get_from_USBlib_device(record, byte);
}

aErr tsusb_close_tessaline_device(tsusb_record* record)
{
    if (!record)
        return aErrParam;
    return sIsKernel(record) ? tsusb_close_tessaline_kernel_device(record)
                             : tsusb_close_tessaline_USBlib_device(record);
}

/* ---- libusb back end ---- */

int find_usb_endpoints(tsusb_record* record)
{
    if (!record || !record->handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    libusb_device* device = libusb_get_device(record->handle);
    libusb_config_descriptor* config = nullptr;
    const int rc = libusb_get_config_descriptor(device, 0, &config);
    if (rc != 0)
        return rc;

    bool haveIn = false, haveOut = false;
    for (int i = 0; i < config->bNumInterfaces && !(haveIn && haveOut); ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = interface.altsetting[a];
            if (alt.bInterfaceClass != kTessalineUSBInterfaceClass ||
                alt.bInterfaceSubClass != kTessalineUSBInterfaceSubClass ||
                alt.bInterfaceProtocol != kTessalineUSBInterfaceProtocol)
                continue;
            record->interfaceNumber = alt.bInterfaceNumber;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if (!(ep.bmAttributes & 0x02))
                    continue;
                const int maxPacket = libusb_get_max_packet_size(device, ep.bEndpointAddress);
                if (ep.bEndpointAddress & 0x80) {
                    record->inEndpoint = ep.bEndpointAddress;
                    record->inMaxPacket = static_cast<uint16_t>(maxPacket > 0 ? maxPacket : 0);
                    haveIn = true;
                    aDebug_Printf(aDEBUG_USB, "In Endpoint Max packet: %d\n", maxPacket);
                } else {
                    record->outEndpoint = ep.bEndpointAddress;
                    record->outMaxPacket = static_cast<uint16_t>(maxPacket > 0 ? maxPacket : 0);
                    haveOut = true;
                    aDebug_Printf(aDEBUG_USB, "Out Endpoint Max packet: %d\n", maxPacket);
                }
            }
            break;
        }
    }
    libusb_free_config_descriptor(config);
    /* A zero packet size would make every OUT chunk empty. */
    if (!haveIn || !haveOut || record->outMaxPacket == 0)
        return -4;
    return 0;
}

aErr tsusb_open_tessaline_USBlib_device(tsusb_record* record, const char* serialText)
{
    if (!record || !serialText)
        return aErrParam;
    if (!sIsLibusb(record))
        return aErrMode;
    if (record->state.load() == kTsusbStateNone)
        return aErrResource;
    std::snprintf(record->serialText, sizeof record->serialText, "%s", serialText);

    libusb_context* context = Tessaline_libusb_context();
    if (!context)
        return aErrNotFound;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0)
        return aErrNotFound;

    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0 ||
            !is_tessaline_device(descriptor.idVendor, descriptor.idProduct))
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != 0)
            continue;
        unsigned char serial[256] = {};
        const int n = descriptor.iSerialNumber
                          ? libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, serial, sizeof serial - 1)
                          : -1;
        if (n <= 0 || std::strcmp(reinterpret_cast<char*>(serial), serialText) != 0) {
            libusb_close(handle);
            continue;
        }

        record->handle = handle;
        record->state.store(kTsusbStateOpened);
        if (find_usb_endpoints(record) != 0) {
            record->state.store(kTsusbStateClosed);
            libusb_close(handle);
            record->handle = nullptr;
            result = aErrConfiguration;
            break;
        }
        const int rc = libusb_claim_interface(handle, record->interfaceNumber);
        if (rc == 0) {
            record->state.store(kTsusbStateReady);
            record->errorCount.store(0);
            result = aErrNone;
        } else {
            record->state.store(kTsusbStateClosed);
            libusb_close(handle);
            record->handle = nullptr;
            result = (rc == LIBUSB_ERROR_BUSY || rc == LIBUSB_ERROR_NO_DEVICE) ? aErrBusy
                     : rc == LIBUSB_ERROR_ACCESS                             ? aErrPermission
                                                                             : aErrUnknown;
        }
        break;
    }
    libusb_free_device_list(list, 1);
    return result;
}

aErr tsusb_write_to_USBlib_device(tsusb_record* record, const uint8_t* data, size_t length)
{
    if (!record || (!data && length))
        return aErrParam;
    if (!sIsLibusb(record))
        return aErrMode;
    const uint32_t state = record->state.load();
    aErr result = aErrNone;
    if (state == kTsusbStateClosed) {
        result = aErrConnection;
    } else if (state == kTsusbStateCreated || state == kTsusbStateOpened) {
        result = aErrNotReady;
    } else if (state != kTsusbStateReady) {
        aDebug_Printf(aDEBUG_USB, "libusb WRITE error dev state: %d\n", static_cast<int>(state));
        result = aErrIO;
    } else {
        size_t sent = 0;
        unsigned failures = 0;
        bool clearFailed = false;
        while (sent < length && failures < kTsusbMaxWriteFailures) {
            const size_t chunk = tsusb_out_chunk_size(record->outMaxPacket, length - sent);
            int transferred = 0;
            const int rc = record->bulkTransfer(record->handle, record->outEndpoint, const_cast<uint8_t*>(data + sent),
                                                static_cast<int>(chunk), &transferred, kTsusbWriteTimeoutMs);
            aDebug_Printf(aDEBUG_USB, "libusb lenSent: %d - nSize: %d\n", transferred, static_cast<int>(chunk));
            /* Bytes that went out before a time-out must not be sent twice. */
            if (transferred > 0)
                sent += static_cast<size_t>(transferred) < chunk ? static_cast<size_t>(transferred) : chunk;
            if (rc == 0 && transferred > 0)
                continue;
            ++failures;
            if (rc != 0)
                aDebug_Printf(aDEBUG_USB, "libusb error: %d\n", rc);
            if (rc == LIBUSB_ERROR_PIPE) {
                const int clear = record->clearHalt(record->handle, record->outEndpoint);
                if (clear != 0) {
                    aDebug_Printf(aDEBUG_USB, "libusb WRITE error clearing halt: %d\n", clear);
                    clearFailed = true;
                }
            }
        }
        if (sent < length)
            result = aErrWrite;
        else if (clearFailed)
            result = aErrIO;
    }
    return _handleErrorTolerance(record, result, aErrNone);
}

aErr tsusb_get_from_USBlib_device(tsusb_record* record, uint8_t* byte)
{
    if (!record || !byte)
        return aErrParam;
    if (!sIsLibusb(record))
        return aErrMode;
    aErr result = aErrNone;
    if (record->readAvailable == 0) {
        const uint32_t state = record->state.load();
        if (state == kTsusbStateClosed) {
            result = aErrConnection;
        } else if (state == kTsusbStateCreated || state == kTsusbStateOpened) {
            sIdleWait();
            result = aErrNotReady;
        } else if (state != kTsusbStateReady) {
            aDebug_Printf(aDEBUG_USB, "libusb READ error dev state: %d\n", static_cast<int>(state));
            result = aErrIO;
        } else {
            int transferred = 0;
            const int rc = record->bulkTransfer(record->handle, record->inEndpoint, record->readBuffer,
                                                static_cast<int>(kTsusbReadBufferSize), &transferred,
                                                kTsusbReadTimeoutMs);
            if (rc == 0 || (rc == LIBUSB_ERROR_TIMEOUT && transferred > 0)) {
                record->readAvailable = transferred > 0 ? static_cast<uint32_t>(transferred) : 0;
                record->readPosition = record->readBuffer;
                if (record->readAvailable == 0)
                    result = aErrNotReady;
            } else if (rc == LIBUSB_ERROR_PIPE) {
                record->clearHalt(record->handle, record->inEndpoint);
                result = aErrNotReady;
            } else if (rc == LIBUSB_ERROR_TIMEOUT) {
                result = aErrNotReady;
            } else {
                aDebug_Printf(aDEBUG_USB, "libusb READ error bulk transfer: %d\n", rc);
                result = aErrIO;
            }
        }
    }
    if (result == aErrNone && record->readAvailable > 0) {
        *byte = *record->readPosition++;
        --record->readAvailable;
    }
    /* A hidden failure delivers no byte, so it must not read as one. */
    return _handleErrorTolerance(record, result, aErrNotReady);
}

aErr tsusb_close_tessaline_USBlib_device(tsusb_record* record)
{
    if (!record)
        return aErrParam;
    if (!sIsLibusb(record))
        return aErrMode;
    if (!record->handle)
        return aErrMode;
    libusb_release_interface(record->handle, record->interfaceNumber);
    libusb_close(record->handle);
    record->handle = nullptr;
    record->state.store(kTsusbStateClosed);
    record->interfaceNumber = 0;
    record->inEndpoint = 0;
    record->outEndpoint = 0;
    return aErrNone;
}

/* ---- kernel back end ---- */

aErr tsusb_open_tessaline_kernel_device(tsusb_record* record, const char* serialText)
{
    if (!record || !serialText)
        return aErrParam;
    if (!sIsKernel(record))
        return aErrMode;
    std::snprintf(record->serialText, sizeof record->serialText, "%s", serialText);
    char path[4096];
    const aErr pathResult = tsusb_kernel_node_path(serialText, path, sizeof path);
    if (pathResult != aErrNone)
        return pathResult;

    /* Non-blocking so that the reader can always be stopped. */
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY ? aErrBusy : aErrIO;
    fd = aDescriptor_AvoidZero(fd);
    if (fd < 0)
        return aErrIO;
    if (isatty(fd)) {
        /* A terminal standing in for the node must pass bytes untouched. */
        struct termios settings;
        if (tcgetattr(fd, &settings) == 0) {
            cfmakeraw(&settings);
            tcsetattr(fd, TCSANOW, &settings);
        }
    }
    record->fd = fd;
    record->state.store(kTsusbStateReady);
    record->errorCount.store(0);
    return aErrNone;
}

aErr tsusb_write_to_kernel_device(tsusb_record* record, const uint8_t* data, size_t length)
{
    if (!record || (!data && length))
        return aErrParam;
    if (!sIsKernel(record) || record->fd <= 0)
        return aErrMode;
    size_t sent = 0;
    for (int calls = 0; sent < length && calls < 1000; ++calls) {
        const ssize_t n = write(record->fd, data + sent, length - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            struct pollfd p = {record->fd, POLLOUT, 0};
            poll(&p, 1, kIdlePollMs);
            if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
                return aErrIO;
            continue;
        }
        return aErrIO;
    }
    return sent == length ? aErrNone : aErrIO;
}

aErr tsusb_get_from_kernel_device(tsusb_record* record, uint8_t* byte)
{
    if (!record || !byte)
        return aErrParam;
    if (!sIsKernel(record) || record->fd <= 0)
        return aErrMode;
    return aDescriptor_ReadByte(record->fd, byte, kIdlePollMs);
}

aErr tsusb_close_tessaline_kernel_device(tsusb_record* record)
{
    if (!record)
        return aErrParam;
    if (!sIsKernel(record))
        return aErrMode;
    if (record->fd <= 0)
        return aErrNone;
    if (close(record->fd) != 0) {
        record->fd = 0;
        return aErrCancel;
    }
    record->fd = 0;
    record->state.store(kTsusbStateClosed);
    return aErrNone;
}
