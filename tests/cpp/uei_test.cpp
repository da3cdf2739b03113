// UEI exchanges over a real link to a scripted module: request encoding, answer
// decoding, error answers, late answers, and the argument checks.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ConnectedModule.h"
#include "EntityClass.h"
#include "SystemClass.h"

using namespace Korvanta::Tessaline;
using objects_test::Bytes;
using objects_test::ConnectedModule;
using objects_test::ScriptedPeer;
using objects_test::WirePacket;

namespace {

constexpr uint8_t kCommand = 5;
constexpr uint8_t kIndex = 1;
constexpr uint32_t kUntouched = 0xA5A5A5A5;

class UEIExchange : public ConnectedModule {
protected:
    void SetUp() override
    {
        ConnectedModule::SetUp();
        m_entity.init(&m_module, kCommand, kIndex);
    }
    EntityClass m_entity;
};

struct ExchangeCase {
    const char* name;
    std::function<aErr(EntityClass&, uint32_t*)> call;
    Bytes request;  // what the module must receive
    Bytes reply;    // what it answers
    aErr result;
    uint32_t value;  // output afterwards (kUntouched: not written)
};

TEST_F(UEIExchange, RequestsAndAnswersByType)
{
    const ExchangeCase cases[] = {
        {"set8", [](EntityClass& e, uint32_t*) { return e.setUEI8(4, 0xAB); }, {5, 0x84, 0x21, 0xAB},
         {5, 0xC4, 0x01}, aErrNone, kUntouched},
        {"set16", [](EntityClass& e, uint32_t*) { return e.setUEI16(4, 0xBEEF); }, {5, 0x84, 0x21, 0xBE, 0xEF},
         {5, 0xC4, 0x01}, aErrNone, kUntouched},
        {"set32", [](EntityClass& e, uint32_t*) { return e.setUEI32(4, 0x01020304); },
         {5, 0x84, 0x21, 1, 2, 3, 4}, {5, 0xC4, 0x01}, aErrNone, kUntouched},
        {"set8 subindex", [](EntityClass& e, uint32_t*) { return e.setUEI8(4, 7, 0xAB); },
         {5, 0x84, 0x21, 7, 0xAB}, {5, 0xC4, 0x01}, aErrNone, kUntouched},
        {"set16 subindex", [](EntityClass& e, uint32_t*) { return e.setUEI16(4, 7, 0xBEEF); },
         {5, 0x84, 0x21, 7, 0xBE, 0xEF}, {5, 0xC4, 0x01}, aErrNone, kUntouched},
        {"set32 subindex", [](EntityClass& e, uint32_t*) { return e.setUEI32(4, 7, 0x01020304); },
         {5, 0x84, 0x21, 7, 1, 2, 3, 4}, {5, 0xC4, 0x01}, aErrNone, kUntouched},
        {"call", [](EntityClass& e, uint32_t*) { return e.callUEI(10); }, {5, 0x8A, 0x21}, {5, 0xCA, 0x01},
         aErrNone, kUntouched},
        {"get8",
         [](EntityClass& e, uint32_t* out) {
             uint8_t v = 0;
             const aErr r = e.getUEI8(4, &v);
             if (r == aErrNone)
                 *out = v;
             return r;
         },
         {5, 0x44, 0x21}, {5, 0x04, 0x01, 0x5A}, aErrNone, 0x5A},
        {"get16",
         [](EntityClass& e, uint32_t* out) {
             uint16_t v = 0;
             const aErr r = e.getUEI16(4, &v);
             if (r == aErrNone)
                 *out = v;
             return r;
         },
         {5, 0x44, 0x21}, {5, 0x04, 0x01, 0x12, 0x34}, aErrNone, 0x1234},
        {"get32", [](EntityClass& e, uint32_t* out) { return e.getUEI32(4, out); }, {5, 0x44, 0x21},
         {5, 0x04, 0x01, 0xDE, 0xAD, 0xBE, 0xEF}, aErrNone, 0xDEADBEEF},
        {"get8 subindex",
         [](EntityClass& e, uint32_t* out) {
             uint8_t v = 0;
             const aErr r = e.getUEI8(4, 3, &v);
             if (r == aErrNone)
                 *out = v;
             return r;
         },
         {5, 0x44, 0x21, 3}, {5, 0x04, 0x01, 0x77}, aErrNone, 0x77},
        {"get32 subindex", [](EntityClass& e, uint32_t* out) { return e.getUEI32(4, 3, out); }, {5, 0x44, 0x21, 3},
         {5, 0x04, 0x01, 0, 0, 1, 0}, aErrNone, 0x100},
        {"set refused by the module", [](EntityClass& e, uint32_t*) { return e.setUEI8(4, 1); },
         {5, 0x84, 0x21, 1}, {5, 0xC4, 0x81, 29}, aErrInvalidOption, kUntouched},
        {"get refused by the module", [](EntityClass& e, uint32_t* out) { return e.getUEI32(4, out); },
         {5, 0x44, 0x21}, {5, 0x04, 0x81, 26}, aErrIndexRange, kUntouched},
        {"error answer without its code", [](EntityClass& e, uint32_t* out) { return e.getUEI32(4, out); },
         {5, 0x44, 0x21}, {5, 0x04, 0x81}, aErrUnknown, kUntouched},
    };
    for (const ExchangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        m_peer->clearReceived();
        answer(c.request, c.reply);
        uint32_t value = kUntouched;
        EXPECT_EQ(c.call(m_entity, &value), c.result);
        EXPECT_EQ(value, c.value);
        const std::vector<Bytes> sent = requests();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0], c.request);
    }
}

TEST_F(UEIExchange, AnswersThatDoNotMatchAreLeftAlone)
{
    // Another index, another option and another command do not answer a get.
    script([](const WirePacket& p, ScriptedPeer& peer) {
        peer.send(p.address, {5, 0x04, 0x02, 1});
        peer.send(p.address, {5, 0x05, 0x01, 2});
        peer.send(p.address, {6, 0x04, 0x01, 3});
    });
    uint8_t value = 0x11;
    EXPECT_EQ(m_entity.getUEI8(4, &value), aErrTimeout);
    EXPECT_EQ(value, 0x11);
    // They stay queued for whoever asks for them.
    uei message{};
    ASSERT_EQ(m_module.getLink()->receiveUEI(2, kCommand, 4, 2, &message), aErrNone);
    EXPECT_EQ(message.type, static_cast<uint32_t>(UEI_TYPE_BYTE));
    EXPECT_EQ(message.value.byteValue, 1);
}

TEST_F(UEIExchange, UnknownAnswerLengthLeavesTheValue)
{
    answer({5, 0x44}, {5, 0x04, 0x01, 1, 2, 3});  // 6 data bytes: no known type
    uei message{};
    message.type = UEI_TYPE_VOID;
    message.value.intValue = 0x12345678;
    EXPECT_EQ(m_entity.getUEI(4, &message), aErrNone);
    EXPECT_EQ(message.value.intValue, 0x12345678u);
    EXPECT_EQ(message.type, static_cast<uint32_t>(UEI_TYPE_VOID));
}

TEST_F(UEIExchange, SignedValuesKeepTheirBits)
{
    SystemClass system;
    system.init(&m_module, 0);
    answer({3, 0x40 | 27}, {3, 27, 0, 0xFF, 0xFF, 0xFF, 0xF6});
    int32_t temperature = 0;
    ASSERT_EQ(system.getTemperature(&temperature), aErrNone);
    EXPECT_EQ(temperature, -10);
    EXPECT_EQ(system.getTemperature(nullptr), aErrParam);
}

TEST_F(UEIExchange, LateAnswersStayQueuedUntilDrained)
{
    SystemClass system;
    system.init(&m_module, 0);
    answer({3, 0x49}, {3, 9, 0, 0, 0, 0, 0xBB});
    // An old answer already waiting is taken first...
    m_peer->send(2, {3, 9, 0, 0, 0, 0, 0xAA});
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0xAAu);
    // ...and the answer to this request waits for the next taker.
    uint32_t late = 0;
    ASSERT_EQ(system.awaitUEI32Val(9, &late, 0), aErrNone);
    EXPECT_EQ(late, 0xBBu);

    // Draining removes stale answers of that option only.
    m_peer->send(2, {3, 9, 0, 0, 0, 0, 0xCC});
    m_peer->send(2, {3, 8, 0, 0x0D});
    m_peer->send(2, {0x17, 0x01});  // marker: everything before it has arrived
    const uint8_t marker[] = {0x17};
    uint8_t length = 1, buffer[28];
    ASSERT_EQ(m_module.getLink()->receivePacket(2, marker, &length, buffer), aErrNone);
    EXPECT_EQ(system.drainUEI(9), aErrNone);
    EXPECT_EQ(system.awaitUEI32Val(9, &late, 0), aErrTimeout);
    uint32_t model = 0;
    ASSERT_EQ(system.awaitUEI32Val(8, &model, 0), aErrNone);  // option 8 kept its answer
}

TEST_F(UEIExchange, AwaitReturnsTheModulesError)
{
    m_peer->send(2, {kCommand, 0x0C, 0x81, 5});
    uint32_t value = kUntouched;
    EXPECT_EQ(m_entity.awaitUEI32Val(0x0C, &value, 0), aErrBusy);
    EXPECT_EQ(value, kUntouched);
    EXPECT_EQ(m_entity.awaitUEI32Val(0x0C, nullptr, 0), aErrParam);
}

TEST_F(UEIExchange, StoreOperationsAddressTheEntityStore)
{
    const struct {
        std::function<aErr(EntityClass&)> call;
        uint8_t option;
    } cases[] = {
        {[](EntityClass& e) { return e.saveEntityToStore(); }, 0},
        {[](EntityClass& e) { return e.resetEntityToFactoryDefaults(); }, 1},
        {[](EntityClass& e) { return e.loadEntityFromStore(); }, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.option));
        m_peer->clearReceived();
        answer({0x5C}, {0x5C, uint8_t(0xC0 | c.option), 0x00});
        EXPECT_EQ(c.call(m_entity), aErrNone);
        const std::vector<Bytes> sent = requests();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0], (Bytes{0x5C, uint8_t(0x80 | c.option), 0x20, 0, 0, kCommand, kIndex}));
    }
}

TEST_F(UEIExchange, MessagesRefusedBeforeSending)
{
    Link* link = m_module.getLink();
    uei message{};
    message.command = 3;
    message.type = UEI_TYPE_VOID;
    for (uint8_t address : {0, 3, 0xAD}) {
        SCOPED_TRACE(static_cast<int>(address));
        message.module = address;
        EXPECT_EQ(link->sendUEI(message), aErrPacket);
        EXPECT_EQ(link->sendUEI(message, 1), aErrPacket);
        EXPECT_EQ(link->sendPacket(address, 0x17, 0, nullptr), aErrPacket);
        EXPECT_EQ(link->receiveUEI(address, 3, 1, 0, &message), aErrPacket);
        EXPECT_EQ(link->dropMatchingUEIPackets(address, 3, 1, 0), aErrPacket);
    }
    const uint8_t data[28] = {0};
    EXPECT_EQ(link->sendPacket(2, 0x17, 28, data), aErrParam);
    message.module = 2;
    message.type = 3;  // no such type
    EXPECT_EQ(link->sendUEI(message), aErrParam);
    message.type = UEI_TYPE_BYTES;
    EXPECT_EQ(link->sendUEI(message, 1), aErrParam);  // no subindex with bytes
    EXPECT_TRUE(requests().empty());

    ASSERT_EQ(m_module.disconnect(), aErrNone);
    message.type = UEI_TYPE_VOID;
    EXPECT_EQ(link->sendUEI(message), aErrConnection);
    EXPECT_EQ(link->receiveUEI(2, 3, 1, 0, &message), aErrConnection);
    EXPECT_EQ(link->sendPacket(2, 0x17, 0, nullptr), aErrConnection);
    EXPECT_EQ(link->dropMatchingUEIPackets(2, 3, 1, 0), aErrConnection);
    uint8_t value = 0;
    EXPECT_EQ(m_entity.getUEI8(1, &value), aErrConnection);
}

TEST(EntityUnbound, EveryOperationAnswersResource)
{
    EntityClass entity;
    uint8_t v8 = 0;
    uint32_t v32 = 0;
    uint8_t buffer[4];
    size_t received = 0;
    EXPECT_EQ(entity.getUEI8(1, &v8), aErrResource);
    EXPECT_EQ(entity.setUEI32(1, 5), aErrResource);
    EXPECT_EQ(entity.callUEI(1), aErrResource);
    EXPECT_EQ(entity.getUEIBytes(1, buffer, sizeof(buffer), &received), aErrResource);
    EXPECT_EQ(entity.setUEIBytes(1, buffer, sizeof(buffer)), aErrResource);
    EXPECT_EQ(entity.awaitUEI32Val(1, &v32, 0), aErrResource);
    EXPECT_EQ(entity.drainUEI(1), aErrResource);
    EXPECT_EQ(entity.saveEntityToStore(), aErrResource);
    EXPECT_EQ(entity.sendPacket(1, 0, nullptr), aErrResource);
}

}  // namespace
