// Command-line parsing into Parameters: every option, the rejected ones and
// their messages, and the scanner's edge cases as _get_params sees them.
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FileText.h"
#include "Log.h"
#include "Parameters.h"
#include "RecordingDisplay.h"

namespace {

// argv as main receives it: writable pointers, program name first.
struct Argv {
    explicit Argv(std::vector<std::string> args) : storage(std::move(args))
    {
        storage.insert(storage.begin(), "/usr/local/bin/Updater");
        for (std::string& s : storage)
            pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage.size()); }
    char** argv() { return pointers.data(); }
    std::vector<std::string> order() const
    {
        std::vector<std::string> out;
        for (size_t i = 0; i + 1 < pointers.size(); ++i)
            out.push_back(pointers[i]);
        return out;
    }
    std::vector<std::string> storage;
    std::vector<char*> pointers;
};

void expectSameParameters(const Parameters& expected, const Parameters& actual)
{
    EXPECT_EQ(expected.commands.Bits(), actual.commands.Bits());
    EXPECT_EQ(expected.serialNumber, actual.serialNumber);
    EXPECT_EQ(expected.routerSerialNumber, actual.routerSerialNumber);
    EXPECT_EQ(expected.transport, actual.transport);
    EXPECT_EQ(expected.transportGiven, actual.transportGiven);
    EXPECT_EQ(expected.serialPort, actual.serialPort);
    EXPECT_EQ(expected.baudRate, actual.baudRate);
    EXPECT_EQ(expected.moduleAddress, actual.moduleAddress);
    EXPECT_EQ(expected.birdFile, actual.birdFile);
    EXPECT_EQ(expected.historyMessage, actual.historyMessage);
    EXPECT_EQ(expected.buildNumber, actual.buildNumber);
    EXPECT_EQ(expected.echo, actual.echo);
    EXPECT_EQ(expected.serverUrl, actual.serverUrl);
    EXPECT_EQ(expected.flagN, actual.flagN);
    EXPECT_EQ(expected.storageDirectory, actual.storageDirectory);
    EXPECT_EQ(expected.programName, actual.programName);
    EXPECT_EQ(expected.logFileName, actual.logFileName);
    EXPECT_EQ(expected.overrideChecks, actual.overrideChecks);
    EXPECT_EQ(expected.useUEIBytes, actual.useUEIBytes);
    EXPECT_EQ(expected.logMask, actual.logMask);
    EXPECT_EQ(expected.extendedUsage, actual.extendedUsage);
    EXPECT_EQ(expected.helpRequested, actual.helpRequested);
}

struct ParamCase {
    std::vector<std::string> args;
    int result;
    std::function<void(Parameters&)> expect; // applied to a default record
    std::vector<std::string> errors;
};

const uint32_t kSerial = 0x40F5849A;
const std::string kInvalidTransport = "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER";

std::string invalidTransport(const std::string& value)
{
    std::string text = kInvalidTransport;
    return text.replace(text.find("%s"), 2, value);
}

auto nothing = [](Parameters&) {};

const std::vector<ParamCase> kCases = {
    // Defaults and commands.
    {{}, 0, nothing, {}},
    {{"-D", "-U", "-d", "40F5849A"}, 0,
     [](Parameters& p) {
         p.commands.Set(CMD_DISCOVER);
         p.commands.Set(CMD_UPDATE);
         p.serialNumber = kSerial;
     },
     {}},
    {{"-B", "-L", "-G", "-I", "-C", "-N"}, 0,
     [](Parameters& p) {
         for (COMMANDS c : {CMD_LIST_BUILDS, CMD_LIST_LOCAL_BUILDS, CMD_GET_BUILD, CMD_VIEW_INFO, CMD_CHECK_BIRD,
                            CMD_FINGERPRINT})
             p.commands.Set(c);
     },
     {}},
    {{"-Z", "5"}, 0, [](Parameters& p) { p.commands.Set(CMD_Z); }, {}},
    // Help ends parsing at once: nothing after it is processed.
    {{"-h"}, 0, [](Parameters& p) { p.commands.Set(CMD_HELP), p.helpRequested = true; }, {}},
    {{"-H", "-Y"}, 0, [](Parameters& p) { p.commands.Set(CMD_HELP), p.helpRequested = true; }, {}},
    {{"--help"}, 0, [](Parameters& p) { p.commands.Set(CMD_HELP), p.helpRequested = true; }, {}},
    {{"--h"}, 0, [](Parameters& p) { p.commands.Set(CMD_HELP), p.helpRequested = true; }, {}},
    {{"--hel"}, 0, [](Parameters& p) { p.commands.Set(CMD_HELP), p.helpRequested = true; }, {}},
    {{"--helpx", "-D"}, 0, [](Parameters& p) { p.commands.Set(CMD_DISCOVER); }, {}},
    {{"-X", "1", "-h"}, 0,
     [](Parameters& p) {
         p.logMask = 1, p.extendedUsage = true;
         p.commands.Set(CMD_HELP), p.helpRequested = true;
     },
     {}},
    {{"-h", "-X", "1"}, 0, [](Parameters& p) { p.commands.Set(CMD_HELP), p.helpRequested = true; }, {}},
    {{"-D", "-h", "-d", "zz"}, 0,
     [](Parameters& p) {
         p.commands.Set(CMD_DISCOVER);
         p.commands.Set(CMD_HELP), p.helpRequested = true;
     },
     {}},
    // Serial numbers.
    {{"-d", "0x40F5849A"}, 0, [](Parameters& p) { p.serialNumber = kSerial; }, {}},
    {{"-d", "0X40F5849A"}, 0, [](Parameters& p) { p.serialNumber = kSerial; }, {}},
    {{"-d=40f5849a"}, 0, [](Parameters& p) { p.serialNumber = kSerial; }, {}},
    {{"-d", "00000040F5849A"}, 0, [](Parameters& p) { p.serialNumber = kSerial; }, {}},
    {{"-d", "40F5849G"}, 1, nothing, {"Invalid serial number obtained from argument [40F5849G]"}},
    {{"-d", "0"}, 1, nothing, {"Invalid serial number obtained from argument [0]"}},
    {{"-d", "0x"}, 1, nothing, {"Invalid serial number obtained from argument []"}},
    {{"-d="}, 1, nothing, {"Invalid serial number obtained from argument []"}},
    // More than 32 bits would silently address another module.
    {{"-d", "140F5849A"}, 1, nothing, {"Invalid serial number obtained from argument [140F5849A]"}},
    {{"-d40F5849A", "-G"}, 0, [](Parameters& p) { p.commands.Set(CMD_GET_BUILD); }, {}},
    {{"-d", "-G"}, 0, [](Parameters& p) { p.commands.Set(CMD_GET_BUILD); }, {}},
    {{"-G", "-d"}, 0, [](Parameters& p) { p.commands.Set(CMD_GET_BUILD); }, {}},
    {{"-r", "D272031D"}, 0, [](Parameters& p) { p.routerSerialNumber = 0xD272031D; }, {}},
    {{"-r", "0xd272031d"}, 0, [](Parameters& p) { p.routerSerialNumber = 0xD272031D; }, {}},
    {{"-r", "router"}, 1, nothing, {"Invalid router serial number obtained from argument [router]"}},
    // Transports: prefix match, case-sensitive; the flag is set even when rejected.
    {{"-t", "USB"}, 0, [](Parameters& p) { p.transport = USB, p.transportGiven = true; }, {}},
    {{"-t", "TCPIP"}, 0, [](Parameters& p) { p.transport = TCPIP, p.transportGiven = true; }, {}},
    {{"-t", "TCPX"}, 0, [](Parameters& p) { p.transport = TCPIP, p.transportGiven = true; }, {}},
    {{"-t", "RECOVERY"}, 0, [](Parameters& p) { p.transport = kTransportRecover, p.transportGiven = true; }, {}},
    {{"-t", "RECOVE"}, 1, [](Parameters& p) { p.transport = INVALID, p.transportGiven = true; },
     {invalidTransport("RECOVE")}},
    {{"-t", "usb"}, 1, [](Parameters& p) { p.transport = INVALID, p.transportGiven = true; },
     {invalidTransport("usb")}},
    // Decimal values.
    {{"-b", "0099"}, 0, [](Parameters& p) { p.buildNumber = "99"; }, {}},
    {{"-b", "abc"}, 0, [](Parameters& p) { p.buildNumber = "0"; }, {}},
    {{"-b", "99528558"}, 0, [](Parameters& p) { p.buildNumber = "99528558"; }, {}},
    {{"-o", "9600"}, 0, [](Parameters& p) { p.baudRate = 9600; }, {}},
    {{"-o", "96k"}, 0, [](Parameters& p) { p.baudRate = 0; }, {}},
    // Log mask.
    {{"-X", "0x21"}, 0, [](Parameters& p) { p.logMask = 0x21, p.extendedUsage = true; }, {}},
    {{"-X", "32"}, 0, [](Parameters& p) { p.logMask = 32, p.extendedUsage = true; }, {}},
    {{"-X", "12abc", "-D"}, 0,
     [](Parameters& p) {
         p.logMask = 12, p.extendedUsage = true;
         p.commands.Set(CMD_DISCOVER);
     },
     {"Invalid format for \"-X\" parameter, unprocessed characters [abc]"}},
    {{"-X=-1"}, 0, [](Parameters& p) { p.extendedUsage = true; },
     {"Invalid format for \"-X\" parameter, unprocessed characters [-1]"}},
    // -OVERRIDE by any unique prefix, never by a longer word.
    {{"-O", "-U", "-d", "40F5849A"}, 0,
     [](Parameters& p) {
         p.overrideChecks = true, p.serialNumber = kSerial;
         p.commands.Set(CMD_UPDATE);
     },
     {}},
    {{"-OVER"}, 0, [](Parameters& p) { p.overrideChecks = true; }, {}},
    {{"-OVERRIDE"}, 0, [](Parameters& p) { p.overrideChecks = true; }, {}},
    {{"-OVERRIDEX"}, 0, nothing, {}},
    {{"-OVERRIDE=1"}, 0, nothing, {}},
    // -m: "1..." or "true..." enables.
    {{"-m", "0"}, 0, [](Parameters& p) { p.useUEIBytes = false; }, {}},
    {{"-m", "no"}, 0, [](Parameters& p) { p.useUEIBytes = false; }, {}},
    {{"-m", "yes"}, 0, [](Parameters& p) { p.useUEIBytes = false; }, {}},
    {{"-m", "tru"}, 0, [](Parameters& p) { p.useUEIBytes = false; }, {}},
    {{"-m", "1"}, 0, nothing, {}},
    {{"-m", "10"}, 0, nothing, {}},
    {{"-m", "trueish"}, 0, nothing, {}},
    // Unhandled command fails the parse, parsing goes on.
    {{"-Y", "-D"}, 1, [](Parameters& p) { p.commands.Set(CMD_DISCOVER); }, {"Unhandled command: [-Y]"}},
    // Text options and flags.
    {{"-s", "/dev/ttyS0", "-f", "fw.bird", "-i", "/tmp/x", "-k", "u.log", "-l", "msg", "-u",
      "http://127.0.0.1:9/cgi/u", "-n", "-e"},
     0,
     [](Parameters& p) {
         p.serialPort = "/dev/ttyS0", p.birdFile = "fw.bird", p.storageDirectory = "/tmp/x";
         p.logFileName = "u.log", p.historyMessage = "msg", p.serverUrl = "http://127.0.0.1:9/cgi/u";
         p.flagN = true, p.echo = true;
     },
     {}},
    {{"-f=a=b.bird"}, 0, [](Parameters& p) { p.birdFile = "a=b.bird"; }, {}},
    // Scanner errors are passed over without a message.
    {{"-G=1", "-D"}, 0, [](Parameters& p) { p.commands.Set(CMD_DISCOVER); }, {}},
    {{"-q", "-", "--", "-DU"}, 0, nothing, {}},
    {{"word", "-D", "other"}, 0, [](Parameters& p) { p.commands.Set(CMD_DISCOVER); }, {}},
    // Several rejections are all reported.
    {{"-d", "xyz", "-t", "serial", "-Y"}, 1, [](Parameters& p) { p.transport = INVALID, p.transportGiven = true; },
     {"Invalid serial number obtained from argument [xyz]", invalidTransport("serial"), "Unhandled command: [-Y]"}},
};

class ParametersTest : public ::testing::TestWithParam<ParamCase> {
protected:
    void SetUp() override { Log::DeactivatePackage(0xFFFFFFFF); }
    void TearDown() override { Log::DeactivatePackage(0xFFFFFFFF); }
};

TEST_P(ParametersTest, FillsRecordAndReportsRejections)
{
    const ParamCase& c = GetParam();
    Argv args(c.args);
    RecordingDisplay display;
    Parameters params;
    EXPECT_EQ(c.result, _get_params(display, args.argc(), args.argv(), &params));

    Parameters expected;
    expected.programName = "Updater";
    c.expect(expected);
    expectSameParameters(expected, params);
    EXPECT_EQ(c.errors, display.errors());
    EXPECT_TRUE(display.infos().empty());
}

std::string caseName(const ::testing::TestParamInfo<ParamCase>& info)
{
    return "case" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Table, ParametersTest, ::testing::ValuesIn(kCases), caseName);

TEST(ParametersState, EveryCallStartsFromDefaults)
{
    RecordingDisplay display;
    Parameters params;
    Argv first({"-D", "-d", "40F5849A", "-m", "0", "-t", "TCP", "-s", "/dev/ttyUSB0", "-X", "0x1"});
    ASSERT_EQ(0, _get_params(display, first.argc(), first.argv(), &params));
    Argv second({"-B"});
    ASSERT_EQ(0, _get_params(display, second.argc(), second.argv(), &params));

    Parameters expected;
    expected.programName = "Updater";
    expected.commands.Set(CMD_LIST_BUILDS);
    expectSameParameters(expected, params);
    Log::DeactivatePackage(0xFFFFFFFF);
}

TEST(ParametersState, ProgramNameIsLastPathComponent)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Updater", "Updater"},
        {"./build/Updater", "Updater"},
        {"C:\\tools\\Updater.exe", "Updater.exe"},
        {"/opt/mixed\\dir/up", "up"},
    };
    for (const auto& [path, name] : cases) {
        std::string copy = path;
        char* argv[] = {copy.data(), nullptr};
        RecordingDisplay display;
        Parameters params;
        ASSERT_EQ(0, _get_params(display, 1, argv, &params));
        EXPECT_EQ(name, params.programName) << path;
    }
}

class LogCapture {
public:
    LogCapture() : file(tmpfile()) { Log::SetOutput(file); }
    ~LogCapture()
    {
        Log::SetOutput(nullptr);
        fclose(file);
        Log::DeactivatePackage(0xFFFFFFFF);
    }
    std::string text()
    {
        return readFileText(file);
    }

private:
    FILE* file;
};

TEST(ParametersLog, MaskOptionsAccumulateAndActivateTopics)
{
    LogCapture capture;
    RecordingDisplay display;
    Parameters params;
    Argv args({"-X", "0x1", "-X", "32"});
    ASSERT_EQ(0, _get_params(display, args.argc(), args.argv(), &params));
    EXPECT_EQ(32u, params.logMask);
    EXPECT_EQ(0x21u, Log::GetMask());
}

TEST(ParametersLog, RejectedMaskActivatesNothing)
{
    LogCapture capture;
    RecordingDisplay display;
    Parameters params;
    Argv args({"-X", "12abc"});
    ASSERT_EQ(0, _get_params(display, args.argc(), args.argv(), &params));
    EXPECT_EQ(0u, Log::GetMask());
    EXPECT_EQ("", capture.text());
}

TEST(ParametersLog, ParameterListFollowsScannerOrder)
{
    LogCapture capture;
    RecordingDisplay display;
    Parameters params;
    Argv args({"stray", "-X", "0x10000", "-d", "0x40F5849A", "tail"});
    ASSERT_EQ(0, _get_params(display, args.argc(), args.argv(), &params));
    EXPECT_EQ("\nApplication parameters:[Updater]\n"
              "\t[/usr/local/bin/Updater]\n\t[-X]\n\t[0x10000]\n\t[-d]\n\t[0x40F5849A]\n\t[stray]\n\t[tail]\n",
              capture.text());
}

TEST(ParametersLog, HexPrefixIsLoggedUnderUpdaterTopic)
{
    LogCapture capture;
    Log::ActivatePackage(DEBUG_Updater);
    RecordingDisplay display;
    Parameters params;
    Argv args({"-d", "0x40F5849A", "-r", "0XD272031D"});
    ASSERT_EQ(0, _get_params(display, args.argc(), args.argv(), &params));
    EXPECT_EQ("Discarding '0x' serial number prefix\nDiscarding '0x' router serial number prefix\n", capture.text());
}

TEST(ParametersLog, HelpSkipsParameterList)
{
    LogCapture capture;
    Log::ActivatePackage(DEBUG_APP);
    RecordingDisplay display;
    Parameters params;
    Argv args({"-h"});
    ASSERT_EQ(0, _get_params(display, args.argc(), args.argv(), &params));
    EXPECT_EQ("", capture.text());
}

struct ConversionCase {
    const char* text;
    uint32_t hex;   // _get_hex_arg result
    bool hexEnd;    // whether *end moved to the end of the text
    uint32_t dec;   // _get_int_arg result
    bool decEnd;
};

TEST(ValueConversion, AcceptsOnlyItsDigits)
{
    const ConversionCase cases[] = {
        {"", 0, true, 0, true},
        {"0", 0, true, 0, true},
        {"40F5849A", 0x40F5849A, true, 0, false},
        {"ff", 0xFF, true, 0, false},
        {"123", 0x123, true, 123, true},
        {"0099", 0x99, true, 99, true},
        {"12g", 0, false, 0, false},
        {" 12", 0, false, 0, false},
        {"-1", 0, false, 0, false},
        {"0x10", 0, false, 0, false},
        {"1FFFFFFFF", 0xFFFFFFFF, true, 0, false},
        {"4294967297", 0x94967297, true, 1, true}, // low 32 bits
    };
    for (const ConversionCase& c : cases) {
        char sentinel = 0;
        char* end = &sentinel;
        EXPECT_EQ(c.hex, _get_hex_arg(c.text, &end)) << c.text;
        EXPECT_EQ(c.hexEnd ? c.text + strlen(c.text) : &sentinel, end) << c.text;
        end = &sentinel;
        EXPECT_EQ(c.dec, _get_int_arg(c.text, &end)) << c.text;
        EXPECT_EQ(c.decEnd ? c.text + strlen(c.text) : &sentinel, end) << c.text;
        EXPECT_EQ(0u, _get_hex_arg(c.text, nullptr));
        EXPECT_EQ(0u, _get_int_arg(c.text, nullptr));
    }
}

} // namespace
