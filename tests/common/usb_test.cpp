#include "aStream_USB.h"
#include "tsusb.h"

#include <gtest/gtest.h>

#include "StreamReading.h"

#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

using stream_reading::readBytes;
using stream_reading::StreamPtr;

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// ---- libusb back end through the transfer seam ----

// One scripted answer of the fake transfer function.
struct Step {
    int rc;
    int transferred;  // -1: the whole request
    Bytes in;         // bytes delivered by an IN transfer
};

struct FakeBus {
    std::deque<Step> script;
    Step otherwise{0, -1, {}};
    std::vector<int> outSizes;
    Bytes outBytes;
    int inCalls = 0;
    std::vector<unsigned char> halted;
    int clearResult = 0;
};
FakeBus* gBus = nullptr;

int fakeTransfer(libusb_device_handle*, unsigned char endpoint, unsigned char* data, int length, int* transferred,
                 unsigned int)
{
    Step step = gBus->otherwise;
    if (!gBus->script.empty()) {
        step = gBus->script.front();
        gBus->script.pop_front();
    }
    if (endpoint & 0x80) {
        ++gBus->inCalls;
        const int n = static_cast<int>(std::min<size_t>(step.in.size(), static_cast<size_t>(length)));
        std::copy(step.in.begin(), step.in.begin() + n, data);
        *transferred = n;
    } else {
        const int n = step.transferred < 0 ? length : std::min(step.transferred, length);
        gBus->outSizes.push_back(length);
        gBus->outBytes.insert(gBus->outBytes.end(), data, data + n);
        *transferred = n;
    }
    return step.rc;
}

int fakeClearHalt(libusb_device_handle*, unsigned char endpoint)
{
    gBus->halted.push_back(endpoint);
    return gBus->clearResult;
}

class LibusbRecord : public ::testing::Test {
protected:
    FakeBus bus;
    tsusb_record* record = nullptr;

    void SetUp() override
    {
        gBus = &bus;
        record = tsusb_create_usb(kTsusbBackendLibusb);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->state.load(), kTsusbStateCreated);
        record->bulkTransfer = fakeTransfer;
        record->clearHalt = fakeClearHalt;
        record->inEndpoint = 0x81;
        record->outEndpoint = 0x02;
        record->inMaxPacket = 64;
        record->outMaxPacket = 64;
        record->state.store(kTsusbStateReady);
    }
    void TearDown() override
    {
        record->handle = nullptr;  // nothing real to close
        EXPECT_EQ(tsusb_destroy(&record), aErrNone);
        EXPECT_EQ(record, nullptr);
        gBus = nullptr;
    }
    Bytes pattern(size_t n) const
    {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i)
            b[i] = static_cast<uint8_t>(i * 7 + 1);
        return b;
    }
};

TEST(UsbIdentity, OnlyTheMakersModuleProductsCount)
{
    const struct {
        uint16_t vendor, product;
        bool module;
    } cases[] = {
        {kTessalineUSBVendorId, 0x0011, true},  {kTessalineUSBVendorId, 0x0000, true},
        {kTessalineUSBVendorId, 0x7FFF, true},  {kTessalineUSBVendorId, 0x8001, false},
        {kTessalineUSBVendorId, 0xFFFF, false}, {0x1FC9, 0x0011, false},
        {0x0000, 0x0011, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_tessaline_device(c.vendor, c.product), c.module) << std::hex << c.vendor << ":" << c.product;
}

TEST_F(LibusbRecord, WritesAreChunkedByPacketSizeAndNeverAs512)
{
    const struct {
        uint16_t maxPacket;
        size_t length;
        std::vector<int> chunks;
    } cases[] = {
        {512, 1000, {511, 489}}, {64, 64, {64}},         {64, 130, {64, 64, 2}},
        {512, 512, {511, 1}},    {1024, 512, {511, 1}},  {1024, 1536, {1024, 511, 1}},
        {512, 30, {30}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("max packet " + std::to_string(c.maxPacket) + ", length " + std::to_string(c.length));
        bus.outSizes.clear();
        bus.outBytes.clear();
        record->outMaxPacket = c.maxPacket;
        const Bytes data = pattern(c.length);
        EXPECT_EQ(tsusb_write_to_device(record, data.data(), data.size()), aErrNone);
        EXPECT_EQ(bus.outSizes, c.chunks);
        EXPECT_EQ(bus.outBytes, data);
        EXPECT_EQ(tsusb_out_chunk_size(c.maxPacket, c.length), static_cast<size_t>(c.chunks.front()));
    }
}

TEST_F(LibusbRecord, BytesSentBeforeATimeoutAreNotSentAgain)
{
    bus.script = {{LIBUSB_ERROR_TIMEOUT, 20, {}}, {0, -1, {}}};
    const Bytes data = pattern(60);
    EXPECT_EQ(tsusb_write_to_device(record, data.data(), data.size()), aErrNone);
    EXPECT_EQ(bus.outBytes, data);
    EXPECT_EQ(bus.outSizes, (std::vector<int>{60, 40}));
}

TEST_F(LibusbRecord, StalledWriteClearsTheHaltAndGoesOn)
{
    bus.script = {{LIBUSB_ERROR_PIPE, 0, {}}};
    const Bytes data = pattern(10);
    EXPECT_EQ(tsusb_write_to_device(record, data.data(), data.size()), aErrNone);
    EXPECT_EQ(bus.halted, std::vector<unsigned char>{0x02});
    EXPECT_EQ(bus.outBytes, data);
}

TEST_F(LibusbRecord, WriteGivesUpAfterTenFailedTransfers)
{
    bus.otherwise = {LIBUSB_ERROR_TIMEOUT, 0, {}};
    const Bytes data = pattern(10);
    EXPECT_EQ(tsusb_write_to_device(record, data.data(), data.size()), aErrWrite);
    EXPECT_EQ(bus.outSizes.size(), 10u);
    EXPECT_EQ(record->state.load(), kTsusbStateReady);
}

TEST_F(LibusbRecord, ReadHandsOutOneTransferByteByByte)
{
    const Bytes in = pattern(kTsusbReadBufferSize);
    bus.script = {{0, 0, in}};
    Bytes got;
    for (size_t i = 0; i < in.size(); ++i) {
        uint8_t byte = 0;
        ASSERT_EQ(tsusb_get_from_device(record, &byte), aErrNone);
        got.push_back(byte);
    }
    EXPECT_EQ(got, in);
    EXPECT_EQ(bus.inCalls, 1);
}

TEST_F(LibusbRecord, ReadResultsForEachTransferOutcome)
{
    const struct {
        const char* name;
        Step step;
        aErr result;
        bool byte;
        uint8_t errorsAfter;
        size_t halts;
    } cases[] = {
        {"timeout with nothing", {LIBUSB_ERROR_TIMEOUT, 0, {}}, aErrNotReady, false, 0, 0},
        {"timeout with bytes", {LIBUSB_ERROR_TIMEOUT, 0, {0x42}}, aErrNone, true, 0, 0},
        {"stall", {LIBUSB_ERROR_PIPE, 0, {}}, aErrNotReady, false, 0, 1},
        {"empty success", {0, 0, {}}, aErrNotReady, false, 0, 0},
        {"device error", {LIBUSB_ERROR_IO, 0, {}}, aErrNotReady, false, 1, 0},
        {"device gone", {LIBUSB_ERROR_NO_DEVICE, 0, {}}, aErrNotReady, false, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bus.script = {c.step};
        bus.halted.clear();
        record->errorCount.store(0);
        uint8_t byte = 0;
        EXPECT_EQ(tsusb_get_from_device(record, &byte), c.result);
        if (c.byte) {
            EXPECT_EQ(byte, 0x42);
        }
        EXPECT_EQ(record->errorCount.load(), c.errorsAfter);
        EXPECT_EQ(bus.halted.size(), c.halts);
        if (c.halts) {
            EXPECT_EQ(bus.halted[0], 0x81);
        }
    }
}

TEST_F(LibusbRecord, FourFailuresAreToleratedTheFifthFailsForGood)
{
    bus.otherwise = {LIBUSB_ERROR_IO, 0, {}};
    uint8_t byte = 0x77;
    for (int i = 0; i < kTsusbToleratedFailures; ++i) {
        // Hidden, and no stale byte handed out as if it were new.
        EXPECT_EQ(tsusb_get_from_device(record, &byte), aErrNotReady) << "failure " << i + 1;
    }
    EXPECT_EQ(tsusb_get_from_device(record, &byte), aErrIO);
    EXPECT_EQ(record->state.load(), kTsusbStateFailed);

    // From now on nothing moves, whatever the device would do.
    bus.otherwise = {0, -1, {0x01}};
    const int inCalls = bus.inCalls;
    EXPECT_EQ(tsusb_get_from_device(record, &byte), aErrIO);
    const uint8_t out[2] = {4, 0};
    EXPECT_EQ(tsusb_write_to_device(record, out, sizeof out), aErrIO);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(tsusb_get_from_device(record, &byte), aErrIO) << "call " << i;
    EXPECT_EQ(bus.inCalls, inCalls);
    EXPECT_TRUE(bus.outSizes.empty());
    EXPECT_EQ(byte, 0x77);
}

TEST_F(LibusbRecord, ASuccessInBetweenRestartsTheCount)
{
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < kTsusbToleratedFailures; ++i)
            bus.script.push_back({LIBUSB_ERROR_IO, 0, {}});
        bus.script.push_back({0, 0, {0x10}});
    }
    int failures = 0;
    for (int i = 0; i < 3 * (kTsusbToleratedFailures + 1); ++i) {
        uint8_t byte = 0;
        const aErr e = tsusb_get_from_device(record, &byte);
        EXPECT_NE(e, aErrIO) << "call " << i;
        failures += e == aErrNotReady;
    }
    EXPECT_EQ(failures, 3 * kTsusbToleratedFailures);
    EXPECT_EQ(record->state.load(), kTsusbStateReady);
}

TEST_F(LibusbRecord, WriteErrorsCountTowardsTheSameTolerance)
{
    // A stall whose halt cannot be cleared is an I/O failure even when the bytes go out later.
    bus.clearResult = LIBUSB_ERROR_NO_DEVICE;
    const Bytes data = pattern(8);
    for (int i = 0; i < kTsusbToleratedFailures; ++i) {
        bus.script = {{LIBUSB_ERROR_PIPE, 0, {}}};
        EXPECT_EQ(tsusb_write_to_device(record, data.data(), data.size()), aErrNone) << "failure " << i + 1;
    }
    bus.script = {{LIBUSB_ERROR_PIPE, 0, {}}};
    EXPECT_EQ(tsusb_write_to_device(record, data.data(), data.size()), aErrIO);
    EXPECT_EQ(record->state.load(), kTsusbStateFailed);
}

TEST_F(LibusbRecord, StateDecidesWhetherDataMoves)
{
    const struct {
        uint32_t state;
        aErr read;
        aErr write;
    } cases[] = {
        {kTsusbStateCreated, aErrNotReady, aErrNotReady},
        {kTsusbStateOpened, aErrNotReady, aErrNotReady},
        {kTsusbStateClosed, aErrConnection, aErrConnection},
        {kTsusbStateFailed, aErrIO, aErrIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("state " + std::to_string(c.state));
        record->state.store(c.state);
        record->errorCount.store(kTsusbToleratedFailures);  // the next I/O failure is not hidden
        uint8_t byte = 0;
        EXPECT_EQ(tsusb_get_from_device(record, &byte), c.read);
        record->errorCount.store(kTsusbToleratedFailures);
        const uint8_t out[2] = {4, 0};
        EXPECT_EQ(tsusb_write_to_device(record, out, sizeof out), c.write);
    }
    EXPECT_EQ(bus.inCalls, 0);
    EXPECT_TRUE(bus.outSizes.empty());
}

TEST_F(LibusbRecord, BackEndVariantsRefuseTheOtherBackEnd)
{
    tsusb_record* kernel = tsusb_create_usb(kTsusbBackendKernel);
    ASSERT_NE(kernel, nullptr);
    uint8_t byte = 0;
    EXPECT_EQ(tsusb_get_from_USBlib_device(kernel, &byte), aErrMode);
    EXPECT_EQ(tsusb_write_to_USBlib_device(kernel, &byte, 1), aErrMode);
    EXPECT_EQ(tsusb_open_tessaline_USBlib_device(kernel, "0000ABCD"), aErrMode);
    EXPECT_EQ(tsusb_close_tessaline_USBlib_device(kernel), aErrMode);
    EXPECT_EQ(tsusb_get_from_kernel_device(record, &byte), aErrMode);
    EXPECT_EQ(tsusb_write_to_kernel_device(record, &byte, 1), aErrMode);
    EXPECT_EQ(tsusb_open_tessaline_kernel_device(record, "0000ABCD"), aErrMode);
    EXPECT_EQ(tsusb_close_tessaline_kernel_device(record), aErrMode);
    // A kernel record that was never opened moves nothing.
    EXPECT_EQ(tsusb_get_from_kernel_device(kernel, &byte), aErrMode);
    EXPECT_EQ(tsusb_destroy(&kernel), aErrNone);
    EXPECT_EQ(tsusb_create_usb(7), nullptr);
}

// ---- stream creation and the kernel node back end ----

TEST(UsbStream, CreationRefusesBadArgumentsAndAbsentModules)
{
    aStream* s = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateUSB(0, &s), aErrParam);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateUSB(0x1234, nullptr), aErrParam);
    // No module carries this serial number (and without USB there is none at all).
    s = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateUSB(0xFFFFFFF1, &s), aErrNotFound);
    EXPECT_EQ(s, nullptr);
}

TEST(UsbStream, SharedContextCanBeRefreshed)
{
    const aErr first = Tessaline_libusb_init();
    if (first != aErrNone) {
        EXPECT_EQ(Tessaline_libusb_context(), nullptr);
        return;  // no USB in this environment: the context stays absent, nothing crashes
    }
    EXPECT_NE(Tessaline_libusb_context(), nullptr);
    EXPECT_EQ(Tessaline_libusb_context(), Tessaline_libusb_context());
    Tessaline_libusb_exit();
    Tessaline_libusb_exit();
    EXPECT_NE(Tessaline_libusb_context(), nullptr);
}

// A module published as a pty under a private device directory.
class KernelNode : public ::testing::Test {
protected:
    std::filesystem::path dir;
    int master = -1;
    int slave = -1;
    std::string oldDir;
    bool hadOldDir = false;
    static constexpr uint32_t kSerial = 0x0000ABCD;

    void SetUp() override
    {
        char pattern[] = "/tmp/tessaline-node-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        if (const char* old = std::getenv(kTessalineDeviceDirEnv)) {
            hadOldDir = true;
            oldDir = old;
        }
        setenv(kTessalineDeviceDirEnv, dir.c_str(), 1);
        char name[256] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        close(slave);  // the stream must make the terminal raw by itself
        slave = -1;
        std::filesystem::create_symlink(name, node());
    }
    void TearDown() override
    {
        if (master >= 0)
            close(master);
        std::filesystem::remove_all(dir);
        if (hadOldDir)
            setenv(kTessalineDeviceDirEnv, oldDir.c_str(), 1);
        else
            unsetenv(kTessalineDeviceDirEnv);
    }
    std::filesystem::path node() const { return dir / "tessaline.0000ABCD"; }

    Bytes receive(size_t count) const
    {
        Bytes out;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (out.size() < count && Clock::now() < deadline) {
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            uint8_t buffer[64];
            const ssize_t n = read(master, buffer, std::min(sizeof buffer, count - out.size()));
            if (n > 0)
                out.insert(out.end(), buffer, buffer + n);
        }
        return out;
    }
};

TEST_F(KernelNode, NodeIsFoundUnderTheConfiguredDirectory)
{
    EXPECT_TRUE(tsusb_is_kernel_driver_installed(kSerial));
    EXPECT_FALSE(tsusb_is_kernel_driver_installed(0xABCD0000));
    std::filesystem::create_directory(dir / "tessaline.00001234");
    EXPECT_FALSE(tsusb_is_kernel_driver_installed(0x1234));
}

TEST_F(KernelNode, BytesTravelBothWaysUntranslated)
{
    aStream* raw = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &raw), aErrNone);
    StreamPtr s(raw);

    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(s.get(), &byte, 1), aErrNotReady);

    // Bytes that a cooked terminal would translate, swallow or act upon.
    const Bytes packet{0x04, 0x07, 0x0D, 0x0A, 0x03, 0x1A, 0x7F, 0x00, 0x11};
    ASSERT_EQ(aStream_Write(s.get(), packet.data(), packet.size()), aErrNone);
    EXPECT_EQ(receive(packet.size()), packet);
    ASSERT_EQ(aStream_Write(s.get(), &packet[2], 1), aErrNone);
    EXPECT_EQ(receive(1), Bytes{packet[2]});

    ASSERT_EQ(write(master, packet.data(), packet.size()), static_cast<ssize_t>(packet.size()));
    Bytes in;
    EXPECT_EQ(readBytes(s.get(), packet.size(), in), aErrNone);
    EXPECT_EQ(in, packet);
}

TEST_F(KernelNode, ModuleGoingAwayFailsTheReader)
{
    aStream* raw = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &raw), aErrNone);
    StreamPtr s(raw);
    const Bytes last{0x06, 0x00};
    ASSERT_EQ(write(master, last.data(), last.size()), 2);
    Bytes in;
    EXPECT_EQ(readBytes(s.get(), last.size(), in), aErrNone);
    EXPECT_EQ(in, last);

    close(master);
    master = -1;
    in.clear();
    EXPECT_EQ(readBytes(s.get(), 1, in), aErrIO);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(s.get(), &byte, 1), aErrIO);
}

TEST_F(KernelNode, VanishedNodeFailsCreationCleanly)
{
    close(master);  // the pty is gone; its published name now points nowhere
    master = -1;
    EXPECT_FALSE(tsusb_is_kernel_driver_installed(kSerial));
    aStream* s = reinterpret_cast<aStream*>(0x1);
    EXPECT_NE(aStream_CreateUSB(kSerial, &s), aErrNone);
    EXPECT_EQ(s, nullptr);
}

TEST_F(KernelNode, NodeThatCannotBeOpenedIsAnIOError)
{
    // Something that exists under the node's name but is no device (a socket) cannot be opened.
    std::filesystem::remove(node());
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(node().string().size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, node().c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_TRUE(tsusb_is_kernel_driver_installed(kSerial));
    aStream* s = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateUSB(kSerial, &s), aErrIO);
    EXPECT_EQ(s, nullptr);
    close(sock);
}

} // namespace
