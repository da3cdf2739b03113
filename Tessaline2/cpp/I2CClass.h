// The I2C entity (command 8): transfers on the module's own I2C bus, as raw packets.
#pragma once

#include <cstdint>

#include "EntityClass.h"

namespace Korvanta::Tessaline {

class I2CClass : public EntityClass {
public:
    static constexpr uint8_t kMaximumTransfer = 23;
    static constexpr uint8_t kMaximumSpeed = 3;

    void init(Module* module, uint8_t index);

    // One transfer of at most 23 bytes; the module's status code is the result.
    aErr read(uint8_t address, uint8_t length, uint8_t* data);
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    aErr setPullup(uint8_t enable);
    // Bus speed code 0..3, sent with every transfer (nothing is sent here).
    aErr setSpeed(uint8_t speed);
    aErr getSpeed(uint8_t* speed) const;

private:
    aErr exchange(const uint8_t* request, uint8_t requestLength, const uint8_t* pattern, uint8_t patternLength,
                  uint8_t* reply, uint8_t* replyLength);

    uint8_t m_speed = 0;
};

}  // namespace Korvanta::Tessaline
