// UpdaterEntity against a scripted module on a loopback link: wire format,
// piece and packet sizes, running sums, short and refused replies.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <numeric>
#include <string>
#include <thread>

#include "../cpp/ConnectedModule.h"
#include "RecordingDisplay.h"
#include "UpdaterEntity.h"

namespace {

using objects_test::Bytes;
using objects_test::ScriptedPeer;
using objects_test::WirePacket;

constexpr uint8_t kUp = UpdaterEntity::cmdUPGRADE;

// How the scripted loader answers; each field bends one reply.
struct Behaviour {
    uint16_t pieceSize = 256;
    int initReplyLength = 6;       // data bytes of the INIT reply
    int prepareReplyLength = 5;
    uint8_t prepareStatus = 0;
    int writeReplyLength = 3;
    int sumReplyLength = 7;
    int wrongCountFrom = 0;        // DATA packets from this number on (1-based) get a wrong count
    int wrongCountTimes = 0;
    int badSumAt = 0;              // SUM number (1-based) answered with a wrong sum
};

// A minimal module side of the upgrade command, enough to watch the host.
class UpgradeScript {
public:
    explicit UpgradeScript(Behaviour b) : m_b(b) {}

    void operator()(const WirePacket& p, ScriptedPeer& peer)
    {
        if (p.data.size() < 2 || p.data[0] != kUp)
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        const uint8_t option = p.data[1];
        switch (option) {
        case UpdaterEntity::val_UPGRADE_INIT: {
            Bytes reply{kUp, 0, 0x10, 0x00, 0x00, 0x00};
            reply.resize(m_b.initReplyLength);
            peer.send(p.address, reply);
            break;
        }
        case UpdaterEntity::val_UPGRADE_PREPARE: {
            m_address = (uint32_t(p.data[3]) << 24) | (uint32_t(p.data[4]) << 16) | (uint32_t(p.data[5]) << 8) |
                        p.data[6];
            m_sum = 0;
            m_piece.clear();
            Bytes reply{kUp, 7, m_b.prepareStatus, static_cast<uint8_t>(m_b.pieceSize >> 8),
                        static_cast<uint8_t>(m_b.pieceSize)};
            reply.resize(m_b.prepareReplyLength);
            peer.send(p.address, reply);
            break;
        }
        case UpdaterEntity::val_UPGRADE_DATA: {
            ++m_dataCount;
            dataSizes.push_back(p.data.size() - 2);
            const uint8_t n = static_cast<uint8_t>(p.data.size() - 2);
            if (m_b.wrongCountTimes != 0 && m_dataCount >= m_b.wrongCountFrom &&
                m_dataCount < m_b.wrongCountFrom + m_b.wrongCountTimes) {
                peer.send(p.address, {kUp, 1, static_cast<uint8_t>(n - 1)});
                break;
            }
            m_piece.insert(m_piece.end(), p.data.begin() + 2, p.data.end());
            for (size_t i = 2; i < p.data.size(); ++i)
                m_sum += p.data[i];
            peer.send(p.address, {kUp, 1, n});
            break;
        }
        case UpdaterEntity::val_UPGRADE_SUM: {
            ++m_sumCount;
            const uint32_t sum = m_sum + (m_sumCount == m_b.badSumAt ? 1 : 0);
            sums.push_back(m_sum);
            m_sum = 0;
            Bytes reply{kUp, 7, 0, static_cast<uint8_t>(sum >> 24), static_cast<uint8_t>(sum >> 16),
                        static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)};
            reply.resize(m_b.sumReplyLength);
            peer.send(p.address, reply);
            break;
        }
        case UpdaterEntity::val_UPGRADE_WRITE: {
            const uint32_t length = (uint32_t(p.data[2]) << 8) | p.data[3];
            writes.push_back(length);
            for (size_t i = 0; i < m_piece.size(); ++i)
                flash[m_address + static_cast<uint32_t>(i)] = m_piece[i];
            m_address += static_cast<uint32_t>(m_piece.size());
            m_piece.clear();
            Bytes reply{kUp, 7, 0};
            reply.resize(m_b.writeReplyLength);
            peer.send(p.address, reply);
            break;
        }
        default:
            break;
        }
    }

    std::vector<size_t> dataSizes;
    std::vector<uint32_t> writes;
    std::vector<uint32_t> sums;
    std::map<uint32_t, uint8_t> flash;

private:
    Behaviour m_b;
    std::mutex m_mutex;
    uint32_t m_address = 0;
    uint32_t m_sum = 0;
    int m_dataCount = 0;
    int m_sumCount = 0;
    Bytes m_piece;
};

// Address 0x00001000 then `n` image bytes i*7+3.
Bytes makeBlock(uint32_t n, uint32_t address = 0x1000)
{
    Bytes block{static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    for (uint32_t i = 0; i < n; ++i)
        block.push_back(static_cast<uint8_t>(i * 7 + 3));
    return block;
}

class UpdaterEntityTest : public objects_test::ConnectedModule {
protected:
    std::shared_ptr<UpgradeScript> use(Behaviour b = {})
    {
        auto s = std::make_shared<UpgradeScript>(b);
        script([s](const WirePacket& p, ScriptedPeer& peer) { (*s)(p, peer); });
        m_entity.init(&m_module, 0, true, false);
        return s;
    }

    // The firmware phase for one block: PREPARE then the pieces.
    aErr sendFirmware(const Bytes& block)
    {
        uint16_t size = 0;
        aErr err = m_entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, size);
        if (err != aErrNone)
            return err;
        return m_entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), size, m_display);
    }

    UpdaterEntity m_entity;
    RecordingDisplay m_display;
};

TEST_F(UpdaterEntityTest, FirmwareGoesInPiecesOfTheModulesSizeAndPacketsOf26Bytes)
{
    auto s = use();
    const Bytes block = makeBlock(1000);
    ASSERT_EQ(sendFirmware(block), aErrNone);

    EXPECT_EQ(s->writes, (std::vector<uint32_t>{256, 256, 256, 232}));
    // 256 = 9 x 26 + 22 per piece; the last piece 232 = 8 x 26 + 24.
    std::vector<size_t> expected;
    for (int piece = 0; piece < 3; ++piece) {
        expected.insert(expected.end(), 9, 26);
        expected.push_back(22);
    }
    expected.insert(expected.end(), 8, 26);
    expected.push_back(24);
    EXPECT_EQ(s->dataSizes, expected);

    // Every image byte landed where the block's address says.
    ASSERT_EQ(s->flash.size(), 1000u);
    for (uint32_t i = 0; i < 1000; ++i)
        ASSERT_EQ(s->flash[0x1000 + i], block[4 + i]) << i;

    std::vector<std::string> bars;
    for (const std::string& e : m_display.events)
        if (e.rfind("progress:0", 0) == 0 || e.rfind("progress:1", 0) == 0)
            bars.push_back(e);
    const std::vector<double> fractions{260.0 / 1004, 516.0 / 1004, 772.0 / 1004, 1.0};
    ASSERT_EQ(bars.size(), fractions.size());
    for (size_t i = 0; i < fractions.size(); ++i)
        EXPECT_EQ(bars[i], "progress:" + std::to_string(fractions[i]) + ":");
    EXPECT_EQ(m_display.events.front(), "progress:show");
    EXPECT_EQ(m_display.events.back(), "progress:hide");
}

TEST_F(UpdaterEntityTest, SumAddsBytesAsUnsignedValues)
{
    auto s = use();
    const Bytes block{0, 0, 0x20, 0, 0xFF, 0x01};
    ASSERT_EQ(sendFirmware(block), aErrNone);
    EXPECT_EQ(s->sums, (std::vector<uint32_t>{0x100}));
}

TEST_F(UpdaterEntityTest, LoaderBlockGoesInOneRunCheckedOnce)
{
    auto s = use({.pieceSize = 64});
    const Bytes block = makeBlock(300);
    ASSERT_EQ(m_entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), aErrNone);
    EXPECT_EQ(s->dataSizes.size(), 12u);  // 11 x 26 + 14
    ASSERT_EQ(s->sums.size(), 1u);
    EXPECT_EQ(s->sums[0], std::accumulate(block.begin() + 4, block.end(), 0u));
    EXPECT_TRUE(s->writes.empty());
}

TEST_F(UpdaterEntityTest, WithoutSumValidationNoSumIsAsked)
{
    auto s = use();
    m_entity.init(&m_module, 0, false, false);
    const Bytes block = makeBlock(60);
    ASSERT_EQ(sendFirmware(block), aErrNone);
    EXPECT_TRUE(s->sums.empty());
    EXPECT_EQ(s->writes, (std::vector<uint32_t>{60}));
    EXPECT_EQ(m_peer->count([](const WirePacket& p) { return p.data.size() >= 2 && p.data[0] == kUp && p.data[1] == 4; }),
              0u);
}

// Replies that are refused, too short, or carry a zero piece size.
struct ReplyCase {
    const char* name;
    Behaviour behaviour;
    bool initCall;  // exercise INIT instead of a firmware block
    aErr expected;
    size_t writes;  // pieces committed before the failure
};

class UpdaterEntityReplies : public UpdaterEntityTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(UpdaterEntityReplies, EndWithTheRightResult)
{
    const ReplyCase& c = GetParam();
    auto s = use(c.behaviour);
    if (c.initCall) {
        EXPECT_EQ(m_entity.LoaderInit(), c.expected);
        return;
    }
    EXPECT_EQ(sendFirmware(makeBlock(600)), c.expected);
    EXPECT_EQ(s->writes.size(), c.writes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdaterEntityReplies,
    ::testing::Values(ReplyCase{"init_6_bytes", {.initReplyLength = 6}, true, aErrNone, 0},
                      ReplyCase{"init_5_bytes", {.initReplyLength = 5}, true, aErrPacket, 0},
                      ReplyCase{"write_two_bytes", {.writeReplyLength = 2}, false, aErrInvalidOption, 1},
                      ReplyCase{"prepare_refused", {.prepareStatus = 1}, false, aErrInvalidOption, 0},
                      ReplyCase{"prepare_short", {.prepareReplyLength = 3}, false, aErrInvalidOption, 0},
                      ReplyCase{"piece_size_zero", {.pieceSize = 0}, false, aErrInvalidOption, 0},
                      ReplyCase{"sum_short", {.sumReplyLength = 3}, false, aErrInvalidOption, 0},
                      ReplyCase{"sum_wrong_second_piece", {.badSumAt = 2}, false, aErrInvalidOption, 1},
                      ReplyCase{"wrong_counts_then_right",
                                {.wrongCountFrom = 3, .wrongCountTimes = UpdaterEntity::kMaxDataResends},
                                false, aErrNone, 3},
                      ReplyCase{"wrong_counts_forever", {.wrongCountFrom = 3, .wrongCountTimes = 1000}, false,
                                aErrPacket, 0}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST_F(UpdaterEntityTest, ResentChunkIsCountedOnceInTheSum)
{
    auto s = use({.wrongCountFrom = 2, .wrongCountTimes = 2});
    const Bytes block = makeBlock(100);
    ASSERT_EQ(sendFirmware(block), aErrNone);
    // 4 chunks, the second sent three times.
    EXPECT_EQ(s->dataSizes.size(), 6u);
    ASSERT_EQ(s->sums.size(), 1u);
    EXPECT_EQ(s->sums[0], std::accumulate(block.begin() + 4, block.end(), 0u));
}

TEST_F(UpdaterEntityTest, MuteModuleFailsEachExchangeWithItsCode)
{
    script(nullptr);
    m_entity.init(&m_module, 0, true, false);
    uint16_t size = 7;
    const Bytes block = makeBlock(10);
    EXPECT_EQ(m_entity.LoaderInit(), aErrTimeout);
    EXPECT_EQ(m_entity.TransferPrepare(block.data(), 14, 0, size), aErrTimeout);
    EXPECT_EQ(size, 7);
    EXPECT_EQ(m_entity.LoaderTransfer(block.data(), 14), aErrPacket);
    EXPECT_EQ(m_entity.FirmwareWrite(10), aErrInvalidOption);
}

TEST_F(UpdaterEntityTest, UnboundEntityReportsResource)
{
    UpdaterEntity unbound;
    EXPECT_EQ(unbound.LoaderInit(), aErrResource);
    uint16_t size = 0;
    const Bytes block = makeBlock(4);
    EXPECT_EQ(unbound.TransferPrepare(block.data(), 8, 0, size), aErrResource);
}

TEST_F(UpdaterEntityTest, RebootWithSkippedDropWaitReturnsWhileTheLinkIsUp)
{
    use();
    m_entity.init(&m_module, 0, true, true);
    EXPECT_EQ(m_entity.LoaderReboot(m_display), aErrNone);
    EXPECT_TRUE(m_module.isConnected());
    EXPECT_EQ(m_display.events, (std::vector<std::string>{"spinner:on:Verifying Update", "spinner:off:Verifying Update"}));
    EXPECT_TRUE(m_peer->waitFor([this] {
        return m_peer->count([](const WirePacket& p) { return p.data == Bytes{kUp, 6}; }) == 1;
    }));
}

// A link that only falls silent after REBOOT never reports a drop: the wait ends anyway.
TEST_F(UpdaterEntityTest, RebootWaitEndsWhenTheLinkNeverDrops)
{
    use();
    ASSERT_EQ(m_entity.LoaderReboot(m_display), aErrNone);
    EXPECT_TRUE(m_module.isConnected());
    const auto turns = std::count(m_display.events.begin(), m_display.events.end(), "spinner:on:Verifying Update");
    EXPECT_GE(turns, 2);
    EXPECT_LE(turns, static_cast<long>(UpdaterEntity::kRebootWaitMs / UpdaterEntity::kRebootPollMs) + 1);
    EXPECT_EQ(m_display.events.back(), "spinner:off:Verifying Update");
}

TEST_F(UpdaterEntityTest, LoadWithoutReplyReconnectsAndTakesTheLateReply)
{
    use();
    std::atomic<bool> stop{false};
    // The module answers LOAD only on the link that the host opens again.
    std::thread answer([&] {
        if (!m_peer->waitFor([&] { return m_peer->connections() >= 2 || stop; }, 15000) || stop)
            return;
        m_peer->send(2, {kUp, 2});  // buffered until the host's new link reads it
    });
    const aErr result = m_entity.LoaderStart();
    stop = true;
    answer.join();
    EXPECT_EQ(result, aErrNone);
    EXPECT_EQ(m_peer->connections(), 2);
    EXPECT_EQ(m_peer->count([](const WirePacket& p) { return p.data == Bytes{kUp, 2}; }), 1u);
}

TEST_F(UpdaterEntityTest, UEIDataPathSendsEachRunAsOneValue)
{
    // The module takes option 10 and acknowledges each complete value.
    std::vector<Bytes> values;
    Bytes held;
    uint32_t sum = 0;
    script([&](const WirePacket& p, ScriptedPeer& peer) {
        const Bytes& d = p.data;
        if (d.size() >= 2 && d[0] == 0x49 && d[1] == 1)
            peer.send(p.address, {d[0], d[1], d[2], d[3], d[4], 0});  // has UEI: yes
        else if (d.size() >= 4 && d[0] == kUp && d[1] == (10 | 0x80)) {
            held.insert(held.end(), d.begin() + 3, d.end() - 1);
            if ((d.back() & 0x80) == 0) {
                for (uint8_t b : held)
                    sum += b;
                values.push_back(held);
                held.clear();
                peer.send(p.address, {kUp, 10 | 0xC0, 0});
            }
        } else if (d.size() >= 2 && d[0] == kUp && d[1] == 4) {
            peer.send(p.address, {kUp, 7, 0, uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)});
            sum = 0;
        } else if (d.size() >= 2 && d[0] == kUp && d[1] == 5) {
            peer.send(p.address, {kUp, 7, 0});
        } else if (d.size() >= 2 && d[0] == kUp && d[1] == 3) {
            peer.send(p.address, {kUp, 7, 0, 0x01, 0x00});
        }
    });
    m_entity.init(&m_module, 0, true, false);
    ASSERT_EQ(m_entity.CheckUEIDataSupport(), aErrNone);
    ASSERT_TRUE(m_entity.usesUEIData());
    const Bytes block = makeBlock(600);
    ASSERT_EQ(sendFirmware(block), aErrNone);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0], Bytes(block.begin() + 4, block.begin() + 260));
    EXPECT_EQ(values[2], Bytes(block.begin() + 516, block.end()));
    EXPECT_EQ(m_peer->count([](const WirePacket& p) { return p.data.size() >= 2 && p.data[0] == kUp && p.data[1] == 1; }),
              0u);
}

}  // namespace
