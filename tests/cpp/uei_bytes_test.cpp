// UEIBytes: values longer than one packet, sent and received in 24-byte chunks
// with a sequence/continue trailer.
#include <gtest/gtest.h>

#include <cstring>

#include "ConnectedModule.h"
#include "EntityClass.h"
#include "SystemClass.h"

using namespace Korvanta::Tessaline;
using objects_test::Bytes;
using objects_test::ConnectedModule;
using objects_test::ScriptedPeer;
using objects_test::WirePacket;

namespace {

constexpr uint8_t kName = 32;

Bytes pattern(size_t length)
{
    Bytes data(length);
    for (size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    return data;
}

// Chunks of `data` as the module sends them: command 3, option, index 0.
std::vector<Bytes> chunks(const Bytes& data)
{
    std::vector<Bytes> out;
    size_t offset = 0;
    uint8_t sequence = 0;
    do {
        const size_t n = std::min<size_t>(24, data.size() - offset);
        const bool more = offset + n < data.size();
        Bytes packet{3, kName, 0};
        packet.insert(packet.end(), data.begin() + offset, data.begin() + offset + n);
        packet.push_back(static_cast<uint8_t>((more ? 0x80 : 0) | (sequence & 0x7F)));
        out.push_back(packet);
        offset += n;
        ++sequence;
    } while (offset < data.size());
    return out;
}

class UEIBytes : public ConnectedModule {
protected:
    void SetUp() override
    {
        ConnectedModule::SetUp();
        m_system.init(&m_module, 0);
    }
    // Acknowledges a set once its last chunk (continue bit clear) arrives.
    void acknowledgeSets(int delayMs = 0)
    {
        script([delayMs](const WirePacket& p, ScriptedPeer& peer) {
            if (p.data.size() >= 4 && p.data[0] == 3 && p.data[1] == (0x80 | kName) && !(p.data.back() & 0x80)) {
                if (delayMs)
                    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                peer.send(p.address, {3, 0xC0 | kName, 0});
            }
        });
    }
    // Answers a get of the name with these packets, in this order.
    void answerGets(std::vector<Bytes> packets)
    {
        script([packets](const WirePacket& p, ScriptedPeer& peer) {
            if (p.data == Bytes{3, 0x40 | kName, 0x20})
                for (const Bytes& packet : packets)
                    peer.send(p.address, packet);
        });
    }
    SystemClass m_system;
};

TEST_F(UEIBytes, SendSplitsIntoSequencedChunks)
{
    acknowledgeSets();
    for (size_t length : {0, 1, 24, 25, 50, 1200, 3120}) {
        SCOPED_TRACE(length);
        m_peer->clearReceived();
        const Bytes data = pattern(length);
        ASSERT_EQ(m_system.setName(data.data(), data.size()), aErrNone);
        const std::vector<Bytes> sent = requests();
        ASSERT_EQ(sent.size(), std::max<size_t>(1, (length + 23) / 24));
        std::vector<Bytes> expected = chunks(data);
        for (Bytes& chunk : expected)
            chunk[1] = 0x80 | kName, chunk[2] = 0x20;  // a set request
        EXPECT_EQ(sent, expected);
    }
}

TEST_F(UEIBytes, FiftyBytesAreThreePackets)
{
    acknowledgeSets();
    const Bytes data = pattern(50);
    ASSERT_EQ(m_system.setName(data.data(), data.size()), aErrNone);
    const std::vector<Bytes> sent = requests();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].size(), 28u);
    EXPECT_EQ(sent[0].back(), 0x80);
    EXPECT_EQ(sent[1].size(), 28u);
    EXPECT_EQ(sent[1].back(), 0x81);
    EXPECT_EQ(sent[2].size(), 6u);
    EXPECT_EQ(sent[2].back(), 0x02);
}

TEST_F(UEIBytes, LargeValuesWaitLongerForTheAcknowledgement)
{
    // An acknowledgement 1.5 s late: within the wait of a large value,
    // beyond the ordinary one.
    acknowledgeSets(1500);
    const Bytes large = pattern(1200);
    EXPECT_EQ(m_system.setName(large.data(), large.size()), aErrNone);
    const Bytes small = pattern(50);
    EXPECT_EQ(m_system.setName(small.data(), small.size()), aErrTimeout);
}

TEST_F(UEIBytes, ReceiveReassemblesInSequence)
{
    for (size_t length : {0, 1, 24, 50, 4800}) {  // 4800 bytes: 200 packets, sequence wraps after 127
        SCOPED_TRACE(length);
        const Bytes data = pattern(length);
        answerGets(chunks(data));
        Bytes buffer(5000, 0xEE);
        size_t received = 99;
        ASSERT_EQ(m_system.getName(buffer.data(), buffer.size(), &received), aErrNone);
        ASSERT_EQ(received, length);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
        EXPECT_EQ(buffer[length], 0xEE);  // nothing written past the value
    }
}

TEST_F(UEIBytes, ChunksOutOfOrderWaitForTheirTurn)
{
    const Bytes data = pattern(60);
    std::vector<Bytes> packets = chunks(data);
    std::swap(packets[0], packets[2]);
    answerGets(packets);
    Bytes buffer(100);
    size_t received = 0;
    ASSERT_EQ(m_system.getName(buffer.data(), buffer.size(), &received), aErrNone);
    ASSERT_EQ(received, 60u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
}

TEST_F(UEIBytes, ValueLargerThanTheBufferIsAMemoryError)
{
    struct Case {
        size_t length, capacity, received;
    } cases[] = {
        {24, 10, 0},  // the first chunk does not fit: nothing copied
        {50, 30, 24}, // the first fits, the second does not
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const Bytes data = pattern(c.length);
        answerGets(chunks(data));
        Bytes buffer(c.capacity + 8, 0xEE);
        size_t received = 99;
        EXPECT_EQ(m_system.getName(buffer.data(), c.capacity, &received), aErrMemory);
        EXPECT_EQ(received, c.received);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + c.received, buffer.begin()));
        EXPECT_EQ(buffer[c.received], 0xEE);
        ASSERT_EQ(m_system.drainUEI(kName), aErrNone);  // the rest of the answer
    }
}

TEST_F(UEIBytes, ErrorAnswerEndsTheTransfer)
{
    answerGets({{3, kName, 0x80, 21}});
    Bytes buffer(10);
    size_t received = 99;
    EXPECT_EQ(m_system.getName(buffer.data(), buffer.size(), &received), aErrUnimplemented);
    EXPECT_EQ(received, 0u);
}

TEST_F(UEIBytes, MissingChunkTimesOut)
{
    std::vector<Bytes> packets = chunks(pattern(50));
    packets.erase(packets.begin() + 1);
    answerGets(packets);
    Bytes buffer(100);
    size_t received = 0;
    EXPECT_EQ(m_system.getName(buffer.data(), buffer.size(), &received), aErrTimeout);
    EXPECT_EQ(received, 24u);
}

TEST_F(UEIBytes, ArgumentChecks)
{
    uint8_t buffer[4];
    size_t received = 0;
    EXPECT_EQ(m_system.getUEIBytes(kName, nullptr, 4, &received), aErrParam);
    EXPECT_EQ(m_system.getUEIBytes(kName, buffer, 4, nullptr), aErrParam);
    EXPECT_EQ(m_system.getUEIBytes(kName, buffer, 0, &received), aErrParam);
    EXPECT_EQ(m_system.setUEIBytes(kName, nullptr, 3), aErrParam);
    EXPECT_TRUE(requests().empty());
}

TEST_F(UEIBytes, WordsAreCountedInWords)
{
    const uint32_t words[] = {0x11223344, 0xA0B0C0D0, 7};
    script([](const WirePacket& p, ScriptedPeer& peer) {
        if (p.data.size() >= 4 && p.data[1] == (0x80 | 31))
            peer.send(p.address, {3, 0xC0 | 31, 0});
    });
    ASSERT_EQ(m_system.setInputPowerBehaviorConfig(words, 3), aErrNone);
    const std::vector<Bytes> sent = requests();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].size(), 3u + 12u + 1u);
    EXPECT_EQ(memcmp(&sent[0][3], words, sizeof(words)), 0);  // host byte order, as they are

    Bytes value(reinterpret_cast<const uint8_t*>(words), reinterpret_cast<const uint8_t*>(words) + 12);
    std::vector<Bytes> answer = chunks(value);
    for (Bytes& packet : answer)
        packet[1] = 31;
    script([answer](const WirePacket& p, ScriptedPeer& peer) {
        if (p.data == Bytes{3, 0x40 | 31, 0x20})
            for (const Bytes& packet : answer)
                peer.send(p.address, packet);
    });
    uint32_t read[4] = {0};
    size_t count = 0;
    ASSERT_EQ(m_system.getInputPowerBehaviorConfig(read, 4, &count), aErrNone);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(memcmp(read, words, sizeof(words)), 0);

    // Ten bytes are not a whole number of words.
    value.resize(10);
    answer = chunks(value);
    for (Bytes& packet : answer)
        packet[1] = 31;
    script([answer](const WirePacket& p, ScriptedPeer& peer) {
        if (p.data == Bytes{3, 0x40 | 31, 0x20})
            for (const Bytes& packet : answer)
                peer.send(p.address, packet);
    });
    EXPECT_EQ(m_system.getInputPowerBehaviorConfig(read, 4, &count), aErrMemory);
    EXPECT_EQ(count, 10u);
}

TEST(UEIBytesCheck, CountsWholeUnits)
{
    struct Case {
        size_t count, unit;
        aErr result;
        size_t after;
    } cases[] = {
        {12, 4, aErrNone, 3}, {10, 4, aErrMemory, 10}, {0, 4, aErrNone, 0},
        {7, 1, aErrNone, 7},  {0, 0, aErrNone, 0},     {5, 0, aErrMemory, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << "/" << c.unit);
        size_t count = c.count;
        EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, c.unit), c.result);
        EXPECT_EQ(count, c.after);
    }
    EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), aErrParam);
}

}  // namespace
