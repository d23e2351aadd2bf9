// Replies of the bootstrap server (certificate and management server, or a
// redirect to another bootstrap server) and the management server's client
// override. Files the handlers write land in the scratch prefix.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <exception>

#include "core/settings.h"
#include "core/state.h"
#include "fuzz_support.h"
#include "session/bootstrap.h"
#include "session/connection.h"

using nlohmann::json;
using namespace velmo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo_fuzz::fuzz_setup();
    const velmo_fuzz::FuzzInput input = velmo_fuzz::split_input(data, size);
    json message;
    try {
        message = json::parse(input.rest);
    } catch (const std::exception&) {
        return 0;
    }
    try {
        AgentSettings settings;
        settings.bootstrap_server = "bootstrap.invalid";
        settings.bootstrap_port = 8883;
        ManagementServer server;
        switch (input.selector % 3) {
            case 0:
                handle_received_msg(message, settings, server);
                break;
            case 1:
                handle_redirect_bs_msg(message, settings);
                break;
            default: {
                ConfigProfile profile;
                handle_client_override(parse_client_override(message), profile);
                break;
            }
        }
    } catch (const std::exception&) {
    }
    return 0;
}
