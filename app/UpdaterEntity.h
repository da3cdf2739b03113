// The upgrade command (0x5F) of a running module: loader, firmware pieces,
// running sums, flash writes and the final reboot.
#pragma once

#include <cstdint>

#include "EntityClass.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

namespace Korvanta::Tessaline {
class Module;
}

class UpdaterEntity : public Korvanta::Tessaline::EntityClass {
public:
    using Module = Korvanta::Tessaline::Module;

    static constexpr uint8_t cmdUPGRADE = 0x5F;

    // Option codes (second data byte of every request).
    enum : uint8_t {
        val_UPGRADE_INIT = 0,
        val_UPGRADE_DATA = 1,
        val_UPGRADE_LOAD = 2,
        val_UPGRADE_PREPARE = 3,
        val_UPGRADE_SUM = 4,
        val_UPGRADE_WRITE = 5,
        val_UPGRADE_REBOOT = 6,
        val_UPGRADE_STATUS = 7,
        val_UPGRADE_DATA_UEI = 10,
    };

    // Image bytes per DATA packet: 28 data bytes minus command and option.
    static constexpr uint32_t kDataChunk = 26;
    // Consecutive DATA answers with a wrong count before the run is given up.
    static constexpr int kMaxDataResends = 8;
    // Longest wait for the link to drop after REBOOT; a serial link only falls silent.
    static constexpr uint32_t kRebootWaitMs = 10000;
    static constexpr uint32_t kRebootPollMs = 250;
    static constexpr int kReconnectAttempts = 5;

    UpdaterEntity();
    ~UpdaterEntity() override;

    void init(Module* module, uint8_t index, bool validateSums, bool skipLinkDropWait);

    aErr LoaderInit();
    aErr TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize);
    aErr LoaderStart();
    aErr LoaderTransfer(const uint8_t* block, uint32_t length);
    aErr FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                          UpdaterDisplayInterface& display);
    aErr FirmwareWrite(uint32_t length);
    aErr LoaderReboot(UpdaterDisplayInterface& display);
    aErr CheckUEIDataSupport();
    aErr CheckPooledPacketsSupport();

    aErr _reconnect(uint32_t delayMs);
    aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& count);
    aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& count, uint32_t& sum);

    bool usesUEIData() const { return useUEIData; }
    // Pieces committed to flash since init; 0 means the flash is untouched.
    uint32_t piecesWritten() const { return written; }

private:
    // Sends cmdUPGRADE, option, then `length` more bytes.
    aErr sendRequest(uint8_t option, const uint8_t* extra, uint8_t length);
    // Waits for the reply that begins with cmdUPGRADE, option.
    aErr awaitReply(uint8_t option, uint8_t* buffer, uint8_t& length);

    Module* targetModule = nullptr;
    bool validateSums = true;
    bool skipLinkDropWait = false;
    bool useUEIData = false;
    uint32_t written = 0;
};
