// I2CClass: reads, writes and pull-ups on a module's I2C bus.
#include "I2CClass.h"

#include <algorithm>
#include <cstring>

#include "aPacket.h"

namespace Korvanta::Tessaline {

namespace {
constexpr uint8_t kStatusByte = 4;
constexpr uint8_t kStatusError = 0x80;
constexpr uint8_t kReadBit = 1;
constexpr uint8_t kPullupTarget = 1;

// The reply's status byte: an error code when bit 7 is set.
aErr sStatus(const uint8_t* reply, uint8_t length)
{
    if (length <= kStatusByte)
        return aErrPacket;
    if (reply[kStatusByte] & kStatusError)
        return static_cast<aErr>(reply[kStatusByte] & ~kStatusError);
    return aErrNone;
}
}  // namespace

void I2CClass::init(Module* module, uint8_t index)
{
    EntityClass::init(module, cmdI2C, index);
}

aErr I2CClass::exchange(const uint8_t* request, uint8_t requestLength, const uint8_t* pattern,
                        uint8_t patternLength, uint8_t* reply, uint8_t* replyLength)
{
    aErr result = sendPacket(cmdI2C, requestLength, request);
    if (result != aErrNone)
        return result;
    *replyLength = patternLength;
    return receivePacket(pattern, replyLength, reply);
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (length > kMaximumTransfer)
        return aErrSize;
    if (length && !data)
        return aErrParam;
    uint8_t request[4 + kMaximumTransfer] = {getIndex(), address, length, m_speed};
    if (length)
        memcpy(&request[4], data, length);
    const uint8_t pattern[] = {cmdI2C, getIndex(), address, 0};
    uint8_t reply[aPACKET_MAXDATA] = {0};
    uint8_t replyLength = 0;
    const aErr result = exchange(request, static_cast<uint8_t>(4 + length), pattern, sizeof(pattern), reply,
                                 &replyLength);
    if (result != aErrNone)
        return result;
    return sStatus(reply, replyLength);
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* data)
{
    if (length > kMaximumTransfer)
        return aErrSize;
    if (length && !data)
        return aErrParam;
    const uint8_t target = address | kReadBit;
    const uint8_t request[] = {getIndex(), target, length, m_speed};
    const uint8_t pattern[] = {cmdI2C, getIndex(), target};
    uint8_t reply[aPACKET_MAXDATA] = {0};
    uint8_t replyLength = 0;
    aErr result = exchange(request, sizeof(request), pattern, sizeof(pattern), reply, &replyLength);
    if (result != aErrNone)
        return result;
    result = sStatus(reply, replyLength);
    if (result != aErrNone)
        return result;
    // Never more than asked for, nor more than the reply holds.
    const size_t count = std::min<size_t>({reply[3], length, static_cast<size_t>(replyLength - 5)});
    if (count)
        memcpy(data, &reply[5], count);
    return aErrNone;
}

aErr I2CClass::setPullup(uint8_t enable)
{
    const uint8_t request[] = {getIndex(), kPullupTarget, static_cast<uint8_t>(enable ? 1 : 0)};
    const uint8_t pattern[] = {cmdI2C, getIndex(), kPullupTarget};
    uint8_t reply[aPACKET_MAXDATA] = {0};
    uint8_t replyLength = 0;
    const aErr result = exchange(request, sizeof(request), pattern, sizeof(pattern), reply, &replyLength);
    if (result != aErrNone)
        return result;
    return sStatus(reply, replyLength);
}

aErr I2CClass::setSpeed(uint8_t speed)
{
    if (speed > kMaximumSpeed)
        return aErrParam;
    m_speed = speed;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* speed) const
{
    if (!speed)
        return aErrParam;
    *speed = m_speed;
    return aErrNone;
}

}  // namespace Korvanta::Tessaline
