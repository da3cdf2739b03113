// Fixture: a Module (address 2) connected over a real link to a ScriptedPeer
// whose answers each test scripts.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "Module.h"
#include "ScriptedPeer.h"

namespace objects_test {

using Bytes = std::vector<uint8_t>;

class ConnectedModule : public ::testing::Test {
protected:
    using Script = std::function<void(const WirePacket& packet, ScriptedPeer& peer)>;

    void SetUp() override
    {
        m_peer = std::make_unique<ScriptedPeer>([this](const WirePacket& packet, ScriptedPeer& peer) {
            Script script;
            {
                std::lock_guard<std::mutex> lock(m_scriptMutex);
                script = m_script;
            }
            if (script)
                script(packet, peer);
        });
        Korvanta::Tessaline::nWeaveConfig config;
        config.enabled = false;
        config.fallback = false;
        ASSERT_EQ(m_module.setConfig(config), aErrNone);
        ASSERT_EQ(m_module.connectFromSpec(m_peer->spec()), aErrNone);
        // The link is up once the socket connects; the peer may not have accepted yet.
        ASSERT_TRUE(m_peer->waitFor([this] { return m_peer->connections() == 1; }));
    }

    void TearDown() override
    {
        m_module.disconnect();
        m_peer.reset();
    }

    void script(Script s)
    {
        std::lock_guard<std::mutex> lock(m_scriptMutex);
        m_script = std::move(s);
    }

    // Answers every packet whose data starts with `prefix` with `answer`.
    void answer(const Bytes& prefix, const Bytes& reply)
    {
        script([prefix, reply](const WirePacket& p, ScriptedPeer& peer) {
            if (p.data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), p.data.begin()))
                peer.send(p.address, reply);
        });
    }

    // Data of the packets the module received (address query excluded).
    std::vector<Bytes> requests()
    {
        std::vector<Bytes> out;
        for (const WirePacket& p : m_peer->received())
            if (p.address != 0xAD)
                out.push_back(p.data);
        return out;
    }

    Korvanta::Tessaline::Module m_module{2, false, 0};
    std::unique_ptr<ScriptedPeer> m_peer;
    std::mutex m_scriptMutex;
    Script m_script;
};

}  // namespace objects_test
