// Output of the router's status tool: the value of a key (every key the agent
// asks for), the numeric conversions of the typed accessors, the MAC address
// and the JSON form of a status text.
#include <cstdint>
#include <cstdlib>
#include <exception>

#include "fuzz_support.h"
#include "telemetry/measurements.h"
#include "telemetry/status_reader.h"

using namespace velmo;

namespace {

const char* const kKeys[] = {"Product Name", "Firmware Version", "Serial Number", "Revision", "IMEI", "ICCID",
                             "Operator", "Technology", "Cell", "Channel", "Signal Strength", "Signal Quality",
                             "MAC Address", "LAC", "TAC", "Uptime", "Band", "PLMN", "SIM Card", "Interface", "RTC Battery"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo_fuzz::fuzz_setup();
    const velmo_fuzz::FuzzInput input = velmo_fuzz::split_input(data, size);
    const char* key = kKeys[input.selector % (sizeof kKeys / sizeof kKeys[0])];
    try {
        const std::string value = status_output_value(input.rest, key);
        std::strtoul(value.c_str(), nullptr, 16);
        std::strtol(value.c_str(), nullptr, 10);
        normalize_mac_address(value);
        normalize_mac_address(input.rest);
        string_or_null(value.substr(0, 31));
        string_or_null(input.rest);
        parse_ppp_uptime(value);
    } catch (const std::exception&) {
    }
    return 0;
}
