// Outputs of the tools the agent runs: the content server's file-information
// reply (through curl), ping, conntrack, ifconfig and the PPP uptime text.
#include <cstdint>
#include <exception>

#include "deployment/downloads.h"
#include "fuzz_support.h"
#include "telemetry/measurements.h"

using namespace velmo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo_fuzz::fuzz_setup();
    const velmo_fuzz::FuzzInput input = velmo_fuzz::split_input(data, size);
    try {
        switch (input.selector % 5) {
            case 0:
                parse_file_info_reply(input.rest, "https://content.invalid/file.tar.gz/fileinfo");
                break;
            case 1:
                parse_ping_output(input.rest);
                break;
            case 2:
                parse_wan_ip(input.rest);
                break;
            case 3:
                parse_interface_bytes(input.rest);
                break;
            default:
                parse_ppp_uptime(input.rest);
                break;
        }
    } catch (const std::exception&) {
    }
    return 0;
}
