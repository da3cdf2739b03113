// UpdaterEntity: the host side of the upgrade command, one exchange at a time.
#include "UpdaterEntity.h"

#include <algorithm>
#include <cstring>

#include "Link.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "aTime.h"
#include "uei.h"

namespace {

using Korvanta::Tessaline::SystemClass;
using Korvanta::Tessaline::uei;

constexpr size_t kPacketData = 28;
constexpr uint8_t kSetDirection = 0x80;
constexpr uint32_t kPooledPacketsFeature = 0x80000000u;
constexpr const char* kVerifying = "Verifying Update";

// Reply layouts: the shortest reply that carries every field that is read.
constexpr uint8_t kInitReplyMinimum = 6;
constexpr uint8_t kPrepareReplyMinimum = 5;
constexpr uint8_t kDataReplyMinimum = 3;
constexpr uint8_t kSumReplyMinimum = 7;
constexpr uint8_t kWriteReplyMinimum = 3;

uint32_t sGet32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint16_t sGet16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t sAddBytes(uint32_t sum, const uint8_t* data, uint32_t length)
{
    for (uint32_t i = 0; i < length; ++i)
        sum += data[i];
    return sum;
}

}  // namespace

UpdaterEntity::UpdaterEntity() = default;
UpdaterEntity::~UpdaterEntity() = default;

void UpdaterEntity::init(Module* module, uint8_t index, bool validate, bool skipDropWait)
{
    targetModule = module;
    validateSums = validate;
    skipLinkDropWait = skipDropWait;
    useUEIData = false;
    written = 0;
    EntityClass::init(module, cmdUPGRADE, index);
}

aErr UpdaterEntity::sendRequest(uint8_t option, const uint8_t* extra, uint8_t length)
{
    uint8_t data[kPacketData - 1];
    if (length > sizeof(data) - 1)
        return aErrParam;
    data[0] = option;
    if (length != 0)
        memcpy(&data[1], extra, length);
    return sendPacket(cmdUPGRADE, static_cast<uint8_t>(length + 1), data);
}

aErr UpdaterEntity::awaitReply(uint8_t option, uint8_t* buffer, uint8_t& length)
{
    const uint8_t pattern[2] = {cmdUPGRADE, option};
    length = sizeof(pattern);
    return receivePacket(pattern, &length, buffer);
}

aErr UpdaterEntity::LoaderInit()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    aErr err = sendRequest(val_UPGRADE_INIT, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    uint8_t reply[kPacketData] = {};
    uint8_t length = 0;
    err = awaitReply(val_UPGRADE_INIT, reply, length);
    if (err != aErrNone)
        return err;
    if (length < kInitReplyMinimum)
        return aErrPacket;
    const uint32_t base = sGet32(&reply[2]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize)
{
    if (block == nullptr || length < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), flags,
             blockSize);
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
             block[0], block[1], block[2], block[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(sGet32(block)));
    const uint8_t extra[5] = {flags, block[0], block[1], block[2], block[3]};
    aErr err = sendRequest(val_UPGRADE_PREPARE, extra, sizeof(extra));
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return err;
    }
    uint8_t reply[kPacketData] = {};
    uint8_t replyLength = 0;
    err = awaitReply(val_UPGRADE_STATUS, reply, replyLength);
    if (err != aErrNone)
        return err;
    if (replyLength < kPrepareReplyMinimum || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    blockSize = sGet16(&reply[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", blockSize);
    return aErrNone;
}

aErr UpdaterEntity::LoaderStart()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    aErr err = sendRequest(val_UPGRADE_LOAD, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    uint8_t reply[kPacketData] = {};
    uint8_t length = 0;
    if (awaitReply(val_UPGRADE_LOAD, reply, length) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    // A module that re-enumerates answers on its new link.
    err = _reconnect(500);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
                 aError_GetErrorText(err));
        return aErrTimeout;
    }
    err = awaitReply(val_UPGRADE_LOAD, reply, length);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
                 aError_GetErrorText(err));
        return aErrTimeout;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* block, uint32_t length)
{
    if (block == nullptr || length < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", sGet32(block),
             static_cast<int>(length - 4));
    uint32_t count = 0;
    return _block_transfer(block + 4, length - 4, count);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display)
{
    if (block == nullptr || length < 4)
        return aErrParam;
    if (blockSize == 0) {
        // The piece loop would never advance.
        Log::log(DEBUG_Always, "NETWORK: Module gave a block size of 0; firmware not sent\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", sGet32(block),
             static_cast<int>(length - 4));
    uint32_t remaining = length - 4;
    const uint8_t* data = block + 4;
    uint32_t counter = 0;
    aErr err = aErrNone;
    display.display_progress(true);
    while (remaining > 0 && err == aErrNone) {
        const uint32_t piece = std::min<uint32_t>(blockSize, remaining);
        err = _block_transfer(data, piece, counter);
        if (err == aErrNone) {
            remaining -= piece;
            data += piece;
            ++counter;
            display.update_progress(static_cast<double>(length - remaining) / static_cast<double>(length), nullptr);
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     static_cast<int>(piece), static_cast<int>(remaining), static_cast<int>(length));
        }
        if (err == aErrNone)
            err = FirmwareWrite(piece);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(length - 4 - remaining),
             static_cast<int>(length));
    if (err != aErrNone)
        Log::log(DEBUG_Always, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t length)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             static_cast<int>(length));
    const uint8_t extra[2] = {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    aErr err = sendRequest(val_UPGRADE_WRITE, extra, sizeof(extra));
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err, aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[kPacketData] = {};
    reply[2] = 0xFF;
    uint8_t replyLength = 0;
    err = awaitReply(val_UPGRADE_STATUS, reply, replyLength);
    if (err != aErrNone || replyLength < kWriteReplyMinimum || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    ++written;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    aErr result = sendRequest(val_UPGRADE_REBOOT, nullptr, 0);
    if (result != aErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    const uint64_t start = aTime_GetMonotonicMSTicks();
    while (targetModule != nullptr && targetModule->isConnected()) {
        aTime_MSSleep(kRebootPollMs);
        display.update_spinner(true, kVerifying);
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (skipLinkDropWait)
            break;
        if (aTime_GetMonotonicMSTicks() - start >= kRebootWaitMs) {
            // The flash is written and checked; only the drop went unseen.
            Log::log(DEBUG_Network_FIRM, "NETWORK: link still up %u ms after REBOOT; not waiting longer\n",
                     kRebootWaitMs);
            break;
        }
    }
    display.update_spinner(false, kVerifying);
    return result;
}

aErr UpdaterEntity::CheckUEIDataSupport()
{
    if (targetModule == nullptr)
        return aErrResource;
    const aErr err = targetModule->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, kSetDirection);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
    if (err == aErrNone)
        useUEIData = true;
    return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport()
{
    if (targetModule == nullptr)
        return aErrResource;
    SystemClass system;
    system.init(targetModule, 0);
    uint32_t features = 0;
    const aErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", static_cast<int32_t>(features), err);
    if (err != aErrNone)
        return err;
    if ((features & kPooledPacketsFeature) == 0)
        return aErrNone;
    Korvanta::Tessaline::Link* link = targetModule->getLink();
    if (link == nullptr)
        return aErrConnection;
    return link->enablePooledPackets(true);
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs)
{
    if (targetModule == nullptr)
        return aErrResource;
    targetModule->disconnect();
    aErr err = aErrNone;
    // A second stage that takes any module presenting the placeholder serial
    // number is deliberately absent: it could write into another module.
    for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
                 kReconnectAttempts);
        err = targetModule->reconnect();
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delayMs));
        if (attempt < kReconnectAttempts)
            aTime_MSSleep(delayMs);
    }
    return err;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& count)
{
    uint32_t sum = 0;
    uint32_t sent = 0;
    aErr err = aErrNone;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    if (useUEIData) {
        err = _block_transfer_uei_helper(data, length, count, sum);
        if (err != aErrNone)
            return err;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
    } else {
        int resends = 0;
        while (sent < length && err == aErrNone) {
            const uint32_t chunk = std::min(kDataChunk, length - sent);
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
                     static_cast<int>(chunk));
            err = sendRequest(val_UPGRADE_DATA, data + sent, static_cast<uint8_t>(chunk));
            if (err != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
                return err;
            }
            uint8_t reply[kPacketData] = {};
            uint8_t replyLength = 0;
            if (awaitReply(val_UPGRADE_DATA, reply, replyLength) != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                err = aErrPacket;
                break;
            }
            const int accepted = replyLength >= kDataReplyMinimum ? reply[2] : -1;
            if (accepted != static_cast<int>(chunk)) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", accepted,
                         static_cast<int>(chunk));
                if (++resends > kMaxDataResends) {
                    Log::log(DEBUG_Always, "NETWORK: DATA refused %d times in a row; giving up\n", resends);
                    err = aErrPacket;
                }
                continue;
            }
            resends = 0;
            sum = sAddBytes(sum, data + sent, chunk);
            sent += chunk;
            ++count;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     static_cast<int>(chunk), static_cast<int>(length - sent), static_cast<int>(length));
        }
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(sent),
             static_cast<int>(length));
    if (err != aErrNone || !validateSums)
        return err;

    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    sendRequest(val_UPGRADE_SUM, nullptr, 0);  // a lost request shows as a missing reply
    uint8_t reply[kPacketData] = {};
    uint8_t replyLength = 0;
    if (awaitReply(val_UPGRADE_STATUS, reply, replyLength) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    const uint8_t status = replyLength >= 3 ? reply[2] : 0xFF;
    const uint32_t moduleSum = replyLength >= kSumReplyMinimum ? sGet32(&reply[3]) : ~sum;
    if (status == 0 && replyLength >= kSumReplyMinimum && moduleSum == sum) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status,
                 sum, moduleSum, static_cast<int>(count));
        return aErrNone;
    }
    Log::log(DEBUG_Always, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
             moduleSum);
    return aErrInvalidOption;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& count, uint32_t& sum)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
             static_cast<int>(length));
    uei message{};
    message.type = Korvanta::Tessaline::UEI_TYPE_BYTES;
    message.value.bytesData = const_cast<uint8_t*>(data);  // only read while sending
    message.bytesSize = length;
    const aErr err = setUEI(val_UPGRADE_DATA_UEI, &message);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
        return err;
    }
    sum = sAddBytes(sum, data, length);
    count = 1;
    return aErrNone;
}
