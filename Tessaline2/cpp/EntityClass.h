// Base of the entity classes: typed get, set and call of one entity's options.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "aError.h"
#include "aPacket.h"
#include "uei.h"

namespace Korvanta::Tessaline {

class Module;

class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // Binds the entity; it may be bound again. The module is not owned.
    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    // Raw command packets to the entity's module.
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* pattern, uint8_t* length, uint8_t* buffer);

    // One exchange each; an error answer's code is the result.
    aErr getUEI(uint8_t option, uei* message);
    aErr setUEI(uint8_t option, uei* message);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* message);
    aErr callUEI(uint8_t option);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);

    // Outputs are written on aErrNone and aErrStreamStale only.
    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

    // Values longer than one packet.
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
    // aErrMemory when the answer does not fit: what fitted stays, *received covers it.
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received);

    // Turns a byte count into a count of units; aErrMemory (count untouched)
    // when it is not a whole number of units.
    static aErr getUEIBytesCheck(size_t* count, size_t unitSize);
    static uint8_t getUEIBytesSequence(const aPacket* packet);
    static uint8_t getUEIBytesContinue(const aPacket* packet);
    static uint8_t sUEIBytesFilter(const aPacket* packet, const void* ref);

    // Waits up to 1000 ms for a message with this option byte; `extra` is unused.
    aErr awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t extra);
    // Removes late answers for this option from the link's queue.
    aErr drainUEI(uint8_t option);

    aErr saveEntityToStore();
    aErr resetEntityToFactoryDefaults();
    aErr loadEntityFromStore();

protected:
    Module* module() const;
    uint8_t command() const;

private:
    aErr exchange(uei* message, uint8_t requestOption, uint8_t answerOption, const uint8_t* subindex);
    aErr storeOperation(uint8_t option);
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Korvanta::Tessaline
