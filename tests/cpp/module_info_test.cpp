// Module information queries, the echo test and the I2C entity, against a
// scripted module: requests on the wire, reply checks, size limits.
#include <gtest/gtest.h>

#include <functional>

#include "ConnectedModule.h"
#include "I2CClass.h"

using namespace Korvanta::Tessaline;
using objects_test::Bytes;
using objects_test::ConnectedModule;
using objects_test::ScriptedPeer;
using objects_test::WirePacket;

namespace {

using ModuleInfo = ConnectedModule;

TEST_F(ModuleInfo, BuildNumber)
{
    struct Case {
        Bytes reply;
        aErr result;
        uint32_t build;
    } cases[] = {
        {{0x49, 0xFF, 0x00, 0x01, 0xE2, 0x40}, aErrNone, 123456},
        {{0x49, 0xFF, 0x00, 0x01, 0xE2}, aErrSize, 7},
        {{0x49, 0xFF, 0x00, 0x01, 0xE2, 0x40, 0}, aErrSize, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply.size());
        m_peer->clearReceived();
        answer({0x49, 0xFF}, c.reply);
        uint32_t build = 7;
        EXPECT_EQ(m_module.getBuild(&build), c.result);
        EXPECT_EQ(build, c.build);
        ASSERT_EQ(requests().size(), 1u);
        EXPECT_EQ(requests()[0], (Bytes{0x49, 0xFF}));
    }
    EXPECT_EQ(m_module.getBuild(nullptr), aErrParam);
}

TEST_F(ModuleInfo, QueriesCheckTheEcho)
{
    struct Case {
        const char* name;
        std::function<aErr(Module&, uint8_t*)> call;
        Bytes request, reply;
        aErr result;
        uint8_t out;
    } cases[] = {
        {"hasUEI yes", [](Module& m, uint8_t* out) { *out = 0; return m.hasUEI(3, 9, 0, 0x40); }, {0x49, 1, 3, 9, 0, 0x40},
         {0x49, 1, 3, 9, 0, 0}, aErrNone, 0},
        {"hasUEI no", [](Module& m, uint8_t* out) { *out = 0; return m.hasUEI(3, 50, 0, 0x80); }, {0x49, 1, 3, 50, 0, 0x80},
         {0x49, 1, 3, 50, 0, 29}, aErrInvalidOption, 0},
        {"hasUEI other option echoed", [](Module& m, uint8_t* out) { *out = 0; return m.hasUEI(3, 9, 0, 0); },
         {0x49, 1, 3, 9, 0, 0}, {0x49, 1, 3, 8, 0, 0}, aErrUnknown, 0},
        {"class quantity", [](Module& m, uint8_t* out) { return m.classQuantity(8, out); }, {0x49, 4, 8},
         {0x49, 4, 8, 2}, aErrNone, 2},
        {"class quantity short", [](Module& m, uint8_t* out) { return m.classQuantity(8, out); }, {0x49, 4, 8},
         {0x49, 4, 8}, aErrUnknown, 0},
        {"subclass quantity", [](Module& m, uint8_t* out) { return m.subClassQuantity(8, 1, out); },
         {0x49, 5, 8, 1}, {0x49, 5, 8, 1, 4}, aErrNone, 4},
        {"entity group", [](Module& m, uint8_t* out) { return m.entityGroup(8, 1, out); }, {0x49, 6, 8, 1},
         {0x49, 6, 8, 1, 9}, aErrNone, 9},
        {"entity group wrong index", [](Module& m, uint8_t* out) { return m.entityGroup(8, 1, out); },
         {0x49, 6, 8, 1}, {0x49, 6, 8, 0, 9}, aErrUnknown, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_peer->clearReceived();
        answer({0x49}, c.reply);
        uint8_t out = 0x55;  // zeroed before asking
        EXPECT_EQ(c.call(m_module, &out), c.result);
        EXPECT_EQ(out, c.out);
        ASSERT_EQ(requests().size(), 1u);
        EXPECT_EQ(requests()[0], c.request);
    }
}

TEST_F(ModuleInfo, HasUEIDirectionIsCheckedBeforeSending)
{
    for (uint8_t direction : {0xC0, 0x01, 0x20, 0xFF}) {
        SCOPED_TRACE(static_cast<int>(direction));
        EXPECT_EQ(m_module.hasUEI(95, 10, 0, direction), aErrParam);
    }
    EXPECT_TRUE(requests().empty());
}

TEST_F(ModuleInfo, EchoTest)
{
    struct Case {
        const char* name;
        std::function<Bytes(const Bytes&)> reply;
        aErr result;
    } cases[] = {
        {"echoed", [](const Bytes& d) { return d; }, aErrNone},
        {"altered", [](Bytes d) { d.back() ^= 1; return d; }, aErrIO},
        {"cut short", [](Bytes d) { d.pop_back(); return d; }, aErrIO},
    };
    const Bytes payload{1, 2, 3, 4, 5};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_peer->clearReceived();
        auto reply = c.reply;
        script([reply](const WirePacket& p, ScriptedPeer& peer) {
            if (!p.data.empty() && p.data[0] == 0x17)
                peer.send(p.address, reply(p.data));
        });
        EXPECT_EQ(m_module.debug(payload.data(), static_cast<uint8_t>(payload.size())), c.result);
        ASSERT_EQ(requests().size(), 1u);
        EXPECT_EQ(requests()[0], (Bytes{0x17, 1, 2, 3, 4, 5}));
    }
    const uint8_t tooLong[28] = {0};
    EXPECT_EQ(m_module.debug(tooLong, 28), aErrParam);
}

TEST(ModuleInfoOffline, NotConnected)
{
    Module module(2);
    uint32_t build = 0;
    uint8_t count = 9;
    EXPECT_EQ(module.getBuild(&build), aErrConnection);
    EXPECT_EQ(module.hasUEI(3, 1, 0, 0), aErrConnection);
    EXPECT_EQ(module.classQuantity(3, &count), aErrConnection);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(module.debug(nullptr, 0), aErrConnection);
}

class I2C : public ConnectedModule {
protected:
    void SetUp() override
    {
        ConnectedModule::SetUp();
        m_i2c.init(&m_module, 1);
    }
    I2CClass m_i2c;
};

TEST_F(I2C, Transfers)
{
    struct Case {
        const char* name;
        std::function<aErr(I2CClass&, Bytes*)> call;
        Bytes request, reply;
        aErr result;
        Bytes data;  // read back
    } cases[] = {
        {"write", [](I2CClass& i, Bytes*) { const uint8_t d[] = {9, 8}; return i.write(0x40, 2, d); },
         {8, 1, 0x40, 2, 0, 9, 8}, {8, 1, 0x40, 0, 0}, aErrNone, {}},
        {"write nacked", [](I2CClass& i, Bytes*) { const uint8_t d[] = {9}; return i.write(0x40, 1, d); },
         {8, 1, 0x40, 1, 0, 9}, {8, 1, 0x40, 0, 0x86}, aErrIO, {}},
        {"write reply too short", [](I2CClass& i, Bytes*) { const uint8_t d[] = {9}; return i.write(0x40, 1, d); },
         {8, 1, 0x40, 1, 0, 9}, {8, 1, 0x40, 0}, aErrPacket, {}},
        {"read",
         [](I2CClass& i, Bytes* out) {
             out->assign(3, 0);
             return i.read(0x40, 3, out->data());
         },
         {8, 1, 0x41, 3, 0}, {8, 1, 0x41, 3, 0, 0xA, 0xB, 0xC}, aErrNone, {0xA, 0xB, 0xC}},
        {"read claims more than it carries",
         [](I2CClass& i, Bytes* out) {
             out->assign(4, 0xEE);
             return i.read(0x40, 4, out->data());
         },
         {8, 1, 0x41, 4, 0}, {8, 1, 0x41, 9, 0, 0xA, 0xB}, aErrNone, {0xA, 0xB, 0xEE, 0xEE}},
        {"pull-ups on", [](I2CClass& i, Bytes*) { return i.setPullup(5); }, {8, 1, 1, 1}, {8, 1, 1, 0, 0},
         aErrNone, {}},
        {"pull-ups off", [](I2CClass& i, Bytes*) { return i.setPullup(0); }, {8, 1, 1, 0}, {8, 1, 1, 0, 0},
         aErrNone, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_peer->clearReceived();
        answer({8}, c.reply);
        Bytes data;
        EXPECT_EQ(c.call(m_i2c, &data), c.result);
        EXPECT_EQ(data, c.data);
        ASSERT_EQ(requests().size(), 1u);
        EXPECT_EQ(requests()[0], c.request);
    }
}

TEST_F(I2C, SpeedAndSizeLimits)
{
    uint8_t speed = 9;
    ASSERT_EQ(m_i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 0);
    EXPECT_EQ(m_i2c.setSpeed(4), aErrParam);
    ASSERT_EQ(m_i2c.setSpeed(3), aErrNone);
    ASSERT_EQ(m_i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 3);

    uint8_t data[24] = {0};
    EXPECT_EQ(m_i2c.write(0x40, 24, data), aErrSize);
    EXPECT_EQ(m_i2c.read(0x40, 24, data), aErrSize);
    EXPECT_TRUE(requests().empty());  // nothing sent, not even the speed

    answer({8}, {8, 1, 0x40, 0, 0});
    ASSERT_EQ(m_i2c.write(0x40, 23, data), aErrNone);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].size(), 28u);
    EXPECT_EQ(requests()[0][4], 3);  // the speed code travels with the transfer
}

}  // namespace
