// Extracting values from the status tool's output, and MAC address forms.
#include <gtest/gtest.h>

#include <string>

#include "telemetry/status_reader.h"

namespace velmo {
namespace {

struct ValueCase {
    const char* what;
    std::string output;
    std::string key;
    std::string expected;
};

TEST(StatusOutputValue, FirstLineBeginningWithTheKeyDecides) {
    const std::string v127(127, 'x');
    const std::string v128(128, 'x');
    const ValueCase cases[] = {
        {"value after the separator", "Operator : Velnet\nSignal Strength : -71 dBm\n", "Signal Strength", "-71 dBm"},
        {"last line without a line break", "Operator : Velnet\nBand : B3", "Band", "B3"},
        {"trailing blanks kept", "Band : B3  \n", "Band", "B3  "},
        {"separator inside the value", "Cell : a: b\n", "Cell", "a: b"},
        {"key is a prefix of the line", "Cell ID : 1A2B3C\n", "Cell", "1A2B3C"},
        {"nothing after the separator", "Operator : \n", "Operator", "N/A"},
        {"no separator", "Operator :Velnet\n", "Operator", "N/A"},
        {"separator only on a later line", "Operator\nTechnology : LTE\n", "Operator", "N/A"},
        {"malformed first match ends the search", "Operator -\nOperator : Velnet\n", "Operator", "N/A"},
        {"127 characters", "Cell : " + v127 + "\n", "Cell", v127},
        {"128 characters", "Cell : " + v128 + "\n", "Cell", "N/A"},
        {"200 characters", "Cell : " + std::string(200, 'y') + "\n", "Cell", "N/A"},
        {"key absent", "Operator : Velnet\n", "Band", "N/A"},
        {"key must begin the line", "Home Operator : Velnet\n", "Operator", "N/A"},
        {"empty output", "", "Operator", "N/A"},
    };
    for (const auto& c : cases) EXPECT_EQ(status_output_value(c.output, c.key), c.expected) << c.what;
}

TEST(NormalizeMacAddress, ColonOrHyphenFormsGiveUpperCaseColonForm) {
    const std::pair<std::string, std::string> cases[] = {
        {"00:0a:14:84:2b:9c", "00:0A:14:84:2B:9C"},
        {"00-0A-14-84-2B-9C", "00:0A:14:84:2B:9C"},
        {"1:2:3:4:5:6", "01:02:03:04:05:06"},
        {"00:0a:14:84:2b:9c  ", "00:0A:14:84:2B:9C"},  // status values keep trailing blanks
        {"00:0a:14:84:2b:9c:ff", "00:0A:14:84:2B:9C"},  // text after six fields is ignored
        {"00:0a:14:84:2b:100", ""},                     // a field above 255
        {"ffffffff01:0a:14:84:2b:9c", ""},              // too large, never wrapped to a byte
        {"-1:2:3:4:5:6", ""},
        {"00:0a:14:84:2b", ""},
        {"00:0a-14:84:2b:9c", ""},
        {"0g:0a:14:84:2b:9c", ""},
        {"N/A", ""},
        {"", ""},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(normalize_mac_address(text), expected) << "'" << text << "'";
}

}  // namespace
}  // namespace velmo
