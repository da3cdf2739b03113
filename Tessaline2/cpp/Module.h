// One module: its address on the module network, its model and its Link.
#pragma once

#include <cstdint>
#include <memory>

#include "Link.h"

namespace Korvanta::Tessaline {

class Module {
public:
    // Looks its own address up after every connection.
    explicit Module(uint8_t address, uint8_t model = 0);
    // `networking` false keeps the address given here.
    Module(uint8_t address, bool networking, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Connection (see Link). connect refuses serial number 0.
    aErr connect(linkType type, uint32_t serialNumber);
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    aErr connectFromSpec(linkSpec spec);
    // Reaches this module over the router module's open link.
    aErr connectThroughLinkModule(Module* router);
    aErr reconnect();
    aErr disconnect();
    bool isConnected() const;
    uint32_t getStatus() const;

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    void setNetworkingMode(bool networking);

    aErr getLinkSpecifier(linkSpec* spec) const;
    aErr getConfig(nWeaveConfig* config) const;
    aErr setConfig(nWeaveConfig config);
    Link* getLink() const;

    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // Asks the connected module for its address and adopts it (networking mode only).
    aErr _autoNetwork();

    // Module information.
    aErr getBuild(uint32_t* build);
    // The module's answer: aErrNone when it implements that option in that
    // direction (0, 0x40 get or 0x80 set).
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t direction);
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t index, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);
    // Echo test: the module must send the bytes back unchanged.
    aErr debug(const uint8_t* data, uint8_t length);

private:
    aErr infoQuery(const uint8_t* request, uint8_t requestLength, uint8_t echoLength, uint8_t* answer);

    std::unique_ptr<Link> m_link;
    uint8_t m_address;
    bool m_networkingMode;
    uint8_t m_model;
};

}  // namespace Korvanta::Tessaline
