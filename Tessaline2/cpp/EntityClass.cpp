// EntityClass: gets, sets and calls of one entity's options over its module's link.
#include "EntityClass.h"

#include <cstring>

#include "LinkImpl.h"
#include "Module.h"

namespace Korvanta::Tessaline {

namespace {
constexpr uint8_t kStoreSave = 0;
constexpr uint8_t kStoreReset = 1;
constexpr uint8_t kStoreLoad = 2;

bool sIsErrorAnswer(const uei& message)
{
    return (message.specifier & ueiSPECIFIER_ERROR) != 0;
}

bool sWritesOutput(aErr result)
{
    return result == aErrNone || result == aErrStreamStale;
}
}  // namespace

struct EntityClass::Impl {
    EntityClass* m_entity = nullptr;
    Module* m_module = nullptr;
    uint8_t m_command = 0;
    uint8_t m_index = 0;

    Link* link() const { return m_module ? m_module->getLink() : nullptr; }
    uint8_t address() const { return m_module->getModuleAddress(); }
};

EntityClass::EntityClass() : m_impl(std::make_unique<Impl>())
{
    m_impl->m_entity = this;
}

EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t command, uint8_t index)
{
    m_impl->m_module = module;
    m_impl->m_command = command;
    m_impl->m_index = index;
}

uint8_t EntityClass::getIndex() const
{
    return m_impl->m_index;
}

Module* EntityClass::module() const
{
    return m_impl->m_module;
}

uint8_t EntityClass::command() const
{
    return m_impl->m_command;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data)
{
    Link* link = m_impl->link();
    if (!link)
        return aErrResource;
    return link->sendPacket(m_impl->address(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* pattern, uint8_t* length, uint8_t* buffer)
{
    Link* link = m_impl->link();
    if (!link)
        return aErrResource;
    return link->receivePacket(m_impl->address(), pattern, length, buffer);
}

// Sends the request and waits for its answer; an error answer's code is the result.
aErr EntityClass::exchange(uei* message, uint8_t requestOption, uint8_t answerOption, const uint8_t* subindex)
{
    Link* link = m_impl->link();
    const uint8_t address = m_impl->address();
    message->module = address;
    message->command = m_impl->m_command;
    message->option = requestOption;
    message->specifier = m_impl->m_index | ueiSPECIFIER_REQUEST;
    aErr result = subindex ? link->sendUEI(*message, *subindex) : link->sendUEI(*message);
    if (result != aErrNone)
        return result;
    result = link->receiveUEI(address, m_impl->m_command, answerOption, m_impl->m_index, message);
    if (result == aErrNone && sIsErrorAnswer(*message))
        return static_cast<aErr>(message->value.byteValue);
    return result;
}

aErr EntityClass::getUEI(uint8_t option, uei* message)
{
    Link* link = m_impl->link();
    if (!link)
        return aErrResource;
    if (!message)
        return aErrParam;
    const uint8_t subindex = message->type == UEI_TYPE_BYTE ? message->value.byteValue : 0;
    uint32_t cached = 0;
    const aErr streamed =
        link->getStreamValue(m_impl->address(), m_impl->m_command, option, m_impl->m_index, subindex, &cached);
    if (streamed != aErrNotFound) {
        if (sWritesOutput(streamed)) {
            message->type = UEI_TYPE_INT;
            message->value.intValue = cached;
        }
        return streamed;
    }
    return exchange(message, option | ueiOPTION_GET, option, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uei* message)
{
    if (!m_impl->link())
        return aErrResource;
    if (!message)
        return aErrParam;
    return exchange(message, option | ueiOPTION_SET, option | ueiOPTION_ACK, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* message)
{
    if (!m_impl->link())
        return aErrResource;
    if (!message)
        return aErrParam;
    return exchange(message, option | ueiOPTION_SET, option | ueiOPTION_ACK, &subindex);
}

aErr EntityClass::callUEI(uint8_t option)
{
    uei message{};
    message.type = UEI_TYPE_VOID;
    return setUEI(option, &message);
}

namespace {
uei sValue8(uint8_t value)
{
    uei message{};
    message.type = UEI_TYPE_BYTE;
    message.value.byteValue = value;
    return message;
}
uei sValue16(uint16_t value)
{
    uei message{};
    message.type = UEI_TYPE_SHORT;
    message.value.shortValue = value;
    return message;
}
uei sValue32(uint32_t value)
{
    uei message{};
    message.type = UEI_TYPE_INT;
    message.value.intValue = value;
    return message;
}
}  // namespace

aErr EntityClass::setUEI8(uint8_t option, uint8_t value)
{
    uei message = sValue8(value);
    return setUEI(option, &message);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value)
{
    uei message = sValue16(value);
    return setUEI(option, &message);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value)
{
    uei message = sValue32(value);
    return setUEI(option, &message);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value)
{
    uei message = sValue8(value);
    return setUEI(option, subindex, &message);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value)
{
    uei message = sValue16(value);
    return setUEI(option, subindex, &message);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value)
{
    uei message = sValue32(value);
    return setUEI(option, subindex, &message);
}

// The answer's value lands in the union by its length; a cached stream value
// arrives as 32 bits. Each getter narrows what it was given.
namespace {
template <typename T>
T sNarrow(const uei& message)
{
    if constexpr (sizeof(T) == 1) {
        if (message.type == UEI_TYPE_BYTE)
            return message.value.byteValue;
    } else if constexpr (sizeof(T) == 2) {
        if (message.type == UEI_TYPE_SHORT)
            return message.value.shortValue;
    }
    return static_cast<T>(message.value.intValue);
}

template <typename T>
aErr sGet(EntityClass& entity, uint8_t option, uei message, T* value)
{
    if (!value)
        return aErrParam;
    const aErr result = entity.getUEI(option, &message);
    if (sWritesOutput(result))
        *value = sNarrow<T>(message);
    return result;
}

uei sVoid()
{
    uei message{};
    message.type = UEI_TYPE_VOID;
    return message;
}
}  // namespace

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value)
{
    return sGet(*this, option, sVoid(), value);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value)
{
    return sGet(*this, option, sVoid(), value);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value)
{
    return sGet(*this, option, sVoid(), value);
}

// With a subindex the request carries it as its byte value.
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value)
{
    return sGet(*this, option, sValue8(subindex), value);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value)
{
    return sGet(*this, option, sValue8(subindex), value);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value)
{
    return sGet(*this, option, sValue8(subindex), value);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length)
{
    if (!data && length != 0)
        return aErrParam;
    uei message{};
    message.type = UEI_TYPE_BYTES;
    message.value.bytesData = const_cast<uint8_t*>(data);  // only read while sending
    message.bytesSize = length;
    return setUEI(option, &message);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received)
{
    Link* link = m_impl->link();
    if (!link)
        return aErrResource;
    if (!buffer || !received || capacity == 0)
        return aErrParam;
    *received = 0;
    const uint8_t address = m_impl->address();
    uei request{};
    request.module = address;
    request.command = m_impl->m_command;
    request.option = option | ueiOPTION_GET;
    request.specifier = m_impl->m_index | ueiSPECIFIER_REQUEST;
    request.type = UEI_TYPE_VOID;
    aErr result = link->sendUEI(request);
    if (result != aErrNone)
        return result;

    uei message{};
    message.bytesSequence = 0;
    message.bytesMore = false;
    message.bytesSize = capacity;
    message.value.bytesData = buffer;
    message.bytesReceived = received;
    message.type = UEI_TYPE_VOID;  // each packet gets the ordinary wait
    while (result == aErrNone) {
        result = link->receiveUEI(address, m_impl->m_command, option, m_impl->m_index, &message, sUEIBytesFilter);
        if (result != aErrNone)
            break;
        if (sIsErrorAnswer(message))
            return static_cast<aErr>(message.value.byteValue);
        if (!message.bytesMore)
            break;
        message.bytesSequence = (message.bytesSequence + 1) & ueiBYTES_SEQUENCE_MASK;
    }
    return result;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize)
{
    if (!count)
        return aErrParam;
    if (unitSize == 0) {
        if (*count != 0)
            return aErrMemory;
        return aErrNone;
    }
    if (*count % unitSize != 0)
        return aErrMemory;
    *count /= unitSize;
    return aErrNone;
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket* packet)
{
    return aUEI_getBytesSequence(packet);
}

uint8_t EntityClass::getUEIBytesContinue(const aPacket* packet)
{
    return aUEI_getBytesContinue(packet);
}

uint8_t EntityClass::sUEIBytesFilter(const aPacket* packet, const void* ref)
{
    const UEIMatch match = ueiMatch(packet, ref);
    if (match != UEIMatch::Value)
        return match == UEIMatch::Error;
    uei* message = static_cast<uei*>(const_cast<void*>(ref));
    if (packet->dataSize < 4)
        return 0;  // no trailer: not a chunk
    const uint8_t sequence = getUEIBytesSequence(packet);
    if (sequence != message->bytesSequence)
        return 0;  // stays queued
    const size_t n = packet->dataSize - 4u;
    if (!message->bytesReceived || *message->bytesReceived + n > message->bytesSize) {
        message->specifier |= ueiSPECIFIER_ERROR;
        message->value.byteValue = aErrMemory;
        return 1;
    }
    if (n)
        memcpy(message->value.bytesData, &packet->data[3], n);
    message->value.bytesData += n;
    *message->bytesReceived += n;
    message->bytesSequence = sequence;
    message->bytesMore = getUEIBytesContinue(packet) != 0;
    return 1;
}

aErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t /*extra*/)
{
    Link* link = m_impl->link();
    if (!link)
        return aErrResource;
    if (!value)
        return aErrParam;
    uei message{};
    const aErr result = link->receiveUEI(m_impl->address(), m_impl->m_command, static_cast<uint8_t>(option),
                                         m_impl->m_index, &message);
    if (result != aErrNone)
        return result;
    if (sIsErrorAnswer(message))
        return static_cast<aErr>(message.value.byteValue);
    *value = message.value.intValue;
    return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option)
{
    Link* link = m_impl->link();
    if (!link)
        return aErrResource;
    return link->dropMatchingUEIPackets(m_impl->address(), m_impl->m_command, option, m_impl->m_index);
}

aErr EntityClass::storeOperation(uint8_t option)
{
    if (!m_impl->link())
        return aErrResource;
    EntityClass store;
    store.init(m_impl->m_module, cmdENTITY_STORE, 0);
    return store.setUEI32(option, static_cast<uint32_t>(m_impl->m_command) * 256u + m_impl->m_index);
}

aErr EntityClass::saveEntityToStore()
{
    return storeOperation(kStoreSave);
}

aErr EntityClass::resetEntityToFactoryDefaults()
{
    return storeOperation(kStoreReset);
}

aErr EntityClass::loadEntityFromStore()
{
    return storeOperation(kStoreLoad);
}

}  // namespace Korvanta::Tessaline
