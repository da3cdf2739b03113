// The option scanner on its own: matching, values, errors and reordering.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "OptionScanner.h"

namespace {

enum { A = 1, LONGOPT, VAL, HELP, LONGVAL, LONGER };

const OptionSpec kTable[] = {
    {"-a", A, false},
    {"-LONG", LONGOPT, false},
    {"-LONGER", LONGER, false},
    {"-v", VAL, true},
    {"-OPTION", LONGVAL, true},
    {"--help", HELP, false},
};

using Status = OptionScanner::Status;

struct Step {
    Status status;
    int id;            // for errors: the entry that matched, 0 for an unknown word
    const char* value; // null when none is expected
    bool operator==(const Step& o) const
    {
        return status == o.status && id == o.id &&
               ((value == nullptr && o.value == nullptr) ||
                (value != nullptr && o.value != nullptr && std::string(value) == o.value));
    }
};

std::ostream& operator<<(std::ostream& os, const Step& s)
{
    return os << "{" << static_cast<int>(s.status) << "," << s.id << "," << (s.value ? s.value : "(null)") << "}";
}

struct ScanCase {
    std::vector<std::string> args;
    std::vector<Step> steps;
    std::vector<std::string> order; // argv after the scan, program name excluded
};

const std::vector<ScanCase> kCases = {
    {{}, {}, {}},
    {{"-a"}, {{Status::Option, A, nullptr}}, {"-a"}},
    // Exact match wins over prefix.
    {{"-LONG"}, {{Status::Option, LONGOPT, nullptr}}, {"-LONG"}},
    {{"-LONGE"}, {{Status::Option, LONGER, nullptr}}, {"-LONGE"}},
    // A prefix of two entries is ambiguous.
    {{"-LON"}, {{Status::Error, 0, nullptr}}, {"-LON"}},
    // One-letter entries match only exactly; longer words never match.
    {{"-ab"}, {{Status::Error, 0, nullptr}}, {"-ab"}},
    {{"-LONGEST"}, {{Status::Error, 0, nullptr}}, {"-LONGEST"}},
    // Hyphen counts must agree.
    {{"-help"}, {{Status::Error, 0, nullptr}}, {"-help"}},
    {{"--he"}, {{Status::Option, HELP, nullptr}}, {"--he"}},
    {{"--LONG"}, {{Status::Error, 0, nullptr}}, {"--LONG"}},
    {{"-", "--"}, {{Status::Error, 0, nullptr}, {Status::Error, 0, nullptr}}, {"-", "--"}},
    // Values: attached, separate, missing, hyphen-led.
    {{"-v=1"}, {{Status::Option, VAL, "1"}}, {"-v=1"}},
    {{"-v="}, {{Status::Option, VAL, ""}}, {"-v="}},
    {{"-v", "x"}, {{Status::Option, VAL, "x"}}, {"-v", "x"}},
    {{"-OPT", "x"}, {{Status::Option, LONGVAL, "x"}}, {"-OPT", "x"}},
    {{"-OPT=a=b"}, {{Status::Option, LONGVAL, "a=b"}}, {"-OPT=a=b"}},
    {{"-v"}, {{Status::Error, VAL, nullptr}}, {"-v"}},
    {{"-v", "-a"}, {{Status::Error, VAL, nullptr}, {Status::Option, A, nullptr}}, {"-v", "-a"}},
    // A value on a no-value option is an error.
    {{"-a=1"}, {{Status::Error, A, nullptr}}, {"-a=1"}},
    // Non-options are skipped and moved behind the options, keeping order;
    // a consumed value stays with its option.
    {{"one", "-a", "two", "-v", "val", "three"},
     {{Status::Option, A, nullptr}, {Status::Option, VAL, "val"}},
     {"-a", "-v", "val", "one", "two", "three"}},
    {{"x", "-v", "y"}, {{Status::Option, VAL, "y"}}, {"-v", "y", "x"}},
    {{"x", "-bad", "y", "-a"},
     {{Status::Error, 0, nullptr}, {Status::Option, A, nullptr}},
     {"-bad", "-a", "x", "y"}},
};

class OptionScannerTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(OptionScannerTest, ScansInOrderAndReorders)
{
    const ScanCase& c = GetParam();
    std::vector<std::string> storage = c.args;
    storage.insert(storage.begin(), "prog");
    std::vector<char*> argv;
    for (std::string& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    OptionScanner scanner(static_cast<int>(storage.size()), argv.data(), kTable);
    std::vector<Step> steps;
    for (int guard = 0; guard < 100; ++guard) {
        OptionScanner::Result r = scanner.next();
        if (r.status == Status::End)
            break;
        steps.push_back({r.status, r.id, r.value});
    }
    EXPECT_EQ(c.steps, steps);
    EXPECT_STREQ("prog", argv[0]);
    std::vector<std::string> order(argv.begin() + 1, argv.end() - 1);
    EXPECT_EQ(c.order, order);
    EXPECT_EQ(Status::End, scanner.next().status);
}

INSTANTIATE_TEST_SUITE_P(Table, OptionScannerTest, ::testing::ValuesIn(kCases));

} // namespace
