/*
 * USB access to modules: the libusb back end (vendor bulk interface) and the
 * kernel back end (one character device per module), behind one record.
 */
#ifndef _tsusb_H_
#define _tsusb_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "aError.h"

struct libusb_context;
struct libusb_device_handle;

/* The maker's USB vendor id; module product ids have bit 15 clear. */
constexpr uint16_t kTessalineUSBVendorId = 0x24FF;
constexpr uint16_t kTessalineUSBProductNotModuleBit = 0x8000;

/* The link interface's alternate setting. */
constexpr uint8_t kTessalineUSBInterfaceClass = 0xFF;
constexpr uint8_t kTessalineUSBInterfaceSubClass = 0x88;
constexpr uint8_t kTessalineUSBInterfaceProtocol = 0x10;

/* Directory of the kernel driver's nodes, overridable for tests. */
constexpr const char* kTessalineDeviceDirEnv = "TESSALINE_DEVICE_DIR";
constexpr const char* kTessalineDeviceDirDefault = "/dev";

enum : uint32_t {
    kTsusbBackendKernel = 0,
    kTsusbBackendLibusb = 1,
};

enum : uint32_t {
    kTsusbStateNone = 0,
    kTsusbStateCreated = 1,
    kTsusbStateClosed = 2,
    kTsusbStateOpened = 3,
    kTsusbStateReady = 4,
    kTsusbStateFailed = 5,
};

constexpr size_t kTsusbReadBufferSize = 1024;
constexpr unsigned kTsusbWriteTimeoutMs = 50;
constexpr unsigned kTsusbReadTimeoutMs = 1000;
constexpr unsigned kTsusbMaxWriteFailures = 10;
/* Consecutive I/O failures hidden from the caller before the record fails. */
constexpr uint8_t kTsusbToleratedFailures = 4;

/* Transfer seam: the libusb functions by default, fakes in tests. Same
 * contracts as libusb_bulk_transfer and libusb_clear_halt. */
typedef int (*tsusb_bulk_transfer_proc)(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                        int length, int* transferred, unsigned int timeout);
typedef int (*tsusb_clear_halt_proc)(libusb_device_handle* handle, unsigned char endpoint);

struct tsusb_record {
    uint32_t backend;
    char serialText[260];
    libusb_device_handle* handle;
    /* state and errorCount are shared by the reader and the writer thread. */
    std::atomic<uint32_t> state;
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t readBuffer[kTsusbReadBufferSize];
    uint32_t readAvailable;
    uint8_t* readPosition;
    std::atomic<uint8_t> errorCount;
    uint16_t inMaxPacket;
    uint16_t outMaxPacket;
    int fd;
    tsusb_bulk_transfer_proc bulkTransfer;
    tsusb_clear_halt_proc clearHalt;
};

/* True for the maker's vendor id with a product id whose bit 15 is clear. */
bool is_tessaline_device(uint16_t vendorId, uint16_t productId);

/* Kernel node path for a serial number text ("<dir>/tessaline.<serial>"). */
aErr tsusb_kernel_node_path(const char* serialText, char* path, size_t size);
bool tsusb_is_kernel_driver_installed(uint32_t serialNumber);

/* A zeroed record in state 1; null when memory runs out or the back end is unknown. */
tsusb_record* tsusb_create_usb(uint32_t backend);
aErr tsusb_destroy(tsusb_record** record);

aErr tsusb_open_tessaline_device(tsusb_record* record, const char* serialText);
aErr tsusb_write_to_device(tsusb_record* record, const uint8_t* data, size_t length);
aErr tsusb_get_from_device(tsusb_record* record, uint8_t* byte);
aErr tsusb_close_tessaline_device(tsusb_record* record);

/* Back-end variants; each refuses a record of the other back end with aErrMode. */
aErr tsusb_open_tessaline_USBlib_device(tsusb_record* record, const char* serialText);
aErr tsusb_write_to_USBlib_device(tsusb_record* record, const uint8_t* data, size_t length);
aErr tsusb_get_from_USBlib_device(tsusb_record* record, uint8_t* byte);
aErr tsusb_close_tessaline_USBlib_device(tsusb_record* record);
aErr tsusb_open_tessaline_kernel_device(tsusb_record* record, const char* serialText);
aErr tsusb_write_to_kernel_device(tsusb_record* record, const uint8_t* data, size_t length);
aErr tsusb_get_from_kernel_device(tsusb_record* record, uint8_t* byte);
aErr tsusb_close_tessaline_kernel_device(tsusb_record* record);

/* Size of the next OUT transfer: the endpoint's packet size or what remains,
 * never exactly 512 bytes. */
size_t tsusb_out_chunk_size(uint16_t outMaxPacket, size_t remaining);

/* Fills interface number, endpoints and packet sizes from configuration 0.
 * Returns 0, a libusb error code, or -4 when an endpoint is missing. */
int find_usb_endpoints(tsusb_record* record);

/* Process-wide libusb context, made on first use; null when libusb cannot
 * start (no USB in this environment): callers then find no modules. */
libusb_context* Tessaline_libusb_context();
aErr Tessaline_libusb_init();
void Tessaline_libusb_exit();

#endif /* _tsusb_H_ */
