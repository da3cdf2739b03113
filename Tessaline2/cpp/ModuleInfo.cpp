// Module information queries (build, option support, entity counts) and the echo test.
#include <cstring>

#include "Module.h"
#include "aPacket.h"
#include "uei.h"

namespace Korvanta::Tessaline {

namespace {
constexpr uint8_t kInfoBuild = 0xFF;
constexpr uint8_t kInfoHasUEI = 1;
constexpr uint8_t kInfoClassQuantity = 4;
constexpr uint8_t kInfoSubClassQuantity = 5;
constexpr uint8_t kInfoEntityGroup = 6;
}  // namespace

// Sends cmdINFO with `request`; the reply must repeat cmdINFO and the first
// `echoLength` request bytes and carry one answer byte after them.
aErr Module::infoQuery(const uint8_t* request, uint8_t requestLength, uint8_t echoLength, uint8_t* answer)
{
    if (!m_link)
        return aErrInitialization;
    aErr result = m_link->sendPacket(m_address, cmdINFO, requestLength, request);
    if (result != aErrNone)
        return result;
    const uint8_t pattern[] = {cmdINFO};
    uint8_t reply[aPACKET_MAXDATA] = {0};
    uint8_t length = sizeof(pattern);
    result = m_link->receivePacket(m_address, pattern, &length, reply);
    if (result != aErrNone)
        return result;
    if (length != echoLength + 2 || memcmp(&reply[1], request, echoLength) != 0)
        return aErrUnknown;
    *answer = reply[echoLength + 1];
    return aErrNone;
}

aErr Module::getBuild(uint32_t* build)
{
    if (!build)
        return aErrParam;
    if (!m_link)
        return aErrInitialization;
    const uint8_t request[] = {kInfoBuild};
    aErr result = m_link->sendPacket(m_address, cmdINFO, sizeof(request), request);
    if (result != aErrNone)
        return result;
    const uint8_t pattern[] = {cmdINFO, kInfoBuild};
    uint8_t reply[aPACKET_MAXDATA] = {0};
    uint8_t length = sizeof(pattern);
    result = m_link->receivePacket(m_address, pattern, &length, reply);
    if (result != aErrNone)
        return result;
    if (length != 6)
        return aErrSize;
    *build = aUEI_RetrieveInt(&reply[2]);
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t direction)
{
    if (direction != 0 && direction != ueiOPTION_GET && direction != ueiOPTION_SET)
        return aErrParam;
    const uint8_t request[] = {kInfoHasUEI, command, option, index, direction};
    uint8_t answer = 0;
    const aErr result = infoQuery(request, sizeof(request), 4, &answer);
    return result != aErrNone ? result : static_cast<aErr>(answer);
}

aErr Module::classQuantity(uint8_t command, uint8_t* count)
{
    if (!count)
        return aErrParam;
    *count = 0;
    const uint8_t request[] = {kInfoClassQuantity, command};
    return infoQuery(request, sizeof(request), sizeof(request), count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t* count)
{
    if (!count)
        return aErrParam;
    *count = 0;
    const uint8_t request[] = {kInfoSubClassQuantity, command, index};
    return infoQuery(request, sizeof(request), sizeof(request), count);
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group)
{
    if (!group)
        return aErrParam;
    *group = 0;
    const uint8_t request[] = {kInfoEntityGroup, command, index};
    return infoQuery(request, sizeof(request), sizeof(request), group);
}

aErr Module::debug(const uint8_t* data, uint8_t length)
{
    if (!m_link)
        return aErrInitialization;
    aErr result = m_link->sendPacket(m_address, cmdDEBUG, length, data);
    if (result != aErrNone)
        return result;
    const uint8_t pattern[] = {cmdDEBUG};
    uint8_t reply[aPACKET_MAXDATA] = {0};
    uint8_t replyLength = sizeof(pattern);
    result = m_link->receivePacket(m_address, pattern, &replyLength, reply);
    if (result != aErrNone)
        return result;
    if (replyLength != length + 1 || (length && memcmp(&reply[1], data, length) != 0))
        return aErrIO;
    return aErrNone;
}

}  // namespace Korvanta::Tessaline
