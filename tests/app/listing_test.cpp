// Front-end listings: version line, notice, fingerprint and device list.
#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Listing.h"
#include "RecordingDisplay.h"

namespace {

using Lines = std::vector<std::string>;

DeviceInfo device(linkType type, uint32_t serial, int32_t error = 0)
{
    DeviceInfo d;
    d.spec.type = type;
    d.spec.serialNumber = serial;
    d.spec.module = 0x06;
    d.spec.router = 0x02;
    d.modelName = "MODEL";
    d.major = 2;
    d.minor = 10;
    d.patch = 4;
    d.build = 99528558;
    d.deviceName = "bench";
    d.error = error;
    return d;
}

const std::string kUsbHeading =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";
const std::string kOtherHeading =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name";

TEST(DeviceList, HeadingAndLinesByTransport)
{
    DeviceInfo tcp = device(TCPIP, 0x2181F0EE, 25);
    in_addr_t address = inet_addr("192.168.1.20");
    memcpy(&tcp.spec.ipAddress, &address, sizeof address);

    struct Case {
        std::vector<DeviceInfo> devices;
        linkType transport;
        Lines expected;
    };
    const Case cases[] = {
        {{}, USB, {"Discovered Devices: (USB)", "    No devices found."}},
        {{}, INVALID, {"Discovered Devices: (Unknown)", "    No devices found."}},
        {{device(USB, 0x40F5849A)},
         USB,
         {"Discovered Devices: (USB)", kUsbHeading,
          "    40F5849A  06       02      MODEL          2.10.4 (  99528558)         bench"}},
        {{device(USB, 0x40F5849A, 5)},
         USB,
         {"Discovered Devices: (USB)", kUsbHeading,
          "    40F5849A  [Error (5): Is someone else connected to this device?]"}},
        // A TCP/IP device prints its line whatever its error code.
        {{tcp},
         TCPIP,
         {"Discovered Devices: (TCPIP)", kOtherHeading,
          "    2181F0EE  06       02      MODEL          2.10.4 (  99528558)        [192.168.1.20]     bench"}},
        // Each line follows the device's own type, not the listing's.
        {{device(USB, 0x1), tcp},
         INVALID,
         {"Discovered Devices: (Unknown)", kOtherHeading,
          "    00000001  06       02      MODEL          2.10.4 (  99528558)         bench",
          "    2181F0EE  06       02      MODEL          2.10.4 (  99528558)        [192.168.1.20]     bench"}},
    };
    for (const Case& c : cases) {
        RecordingDisplay display;
        _display_device_list(display, c.devices, c.transport);
        EXPECT_EQ(c.expected, display.infos());
        EXPECT_TRUE(display.errors().empty());
    }
}

TEST(DeviceList, WideFieldsAreNotCut)
{
    DeviceInfo d = device(USB, 0xFFFFFFFF);
    d.modelName = "MODELNAME-13C";
    d.major = 255;
    d.build = 4294967295u;
    RecordingDisplay display;
    _display_device_list(display, {d}, USB);
    ASSERT_EQ(3u, display.infos().size());
    EXPECT_EQ("    FFFFFFFF  06       02      MODELNAME-13C 255.10.4 (4294967295)         bench", display.infos()[2]);
}

TEST(Fingerprint, FourWordsInOrder)
{
    RecordingDisplay display;
    Fingerprint fp{};
    fp.word[0] = 0x1;
    fp.word[1] = 0xABCDEF;
    fp.word[2] = 0xDEADDEAD;
    fp.word[3] = 0;
    _display_fingerprint(display, fp);
    EXPECT_EQ(Lines{"[ 00000001 00ABCDEF DEADDEAD 00000000 ]"}, display.infos());
}

TEST(VersionLine, NamesVersionAndBuildDate)
{
    RecordingDisplay display;
    _display_app_version(display);
    _display_notice(display);
    ASSERT_EQ(2u, display.infos().size());
    EXPECT_EQ(std::string("Updater (Version: 2.12.0 ") + __DATE__ + ")", display.infos()[0]);
    const std::string notice = display.infos()[1];
    EXPECT_EQ('(', notice.front());
    EXPECT_EQ(')', notice.back());
    EXPECT_NE(std::string::npos, notice.find("Korvanta"));
    EXPECT_NE(std::string::npos, notice.find(std::string("1994-") + (__DATE__ + 7))) << notice;
}

} // namespace
