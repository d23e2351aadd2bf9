// A command from the management server: the JSON envelope, then what the
// command loop decides from it (type, id, the ApplyConfig and ClientOverride
// payloads, the answer to an unsupported command), without a router.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <exception>

#include "core/utils.h"
#include "desired_state/profile.h"
#include "fuzz_support.h"
#include "messaging/messages.h"
#include "session/commands.h"
#include "session/connection.h"

using nlohmann::json;
using namespace velmo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo_fuzz::fuzz_setup();
    const std::string text(reinterpret_cast<const char*>(data), size);
    json message;
    try {
        message = json::parse(text);
    } catch (const std::exception&) {
        return 0;
    }
    try {
        const ManagementCommand command = parse_command(message);
        switch (static_cast<MessageType>(command.type)) {
            case MessageType::ApplyConfig: {
                const ApplyConfigPayload payload = parse_apply_config_payload(command.payload);
                decode_compressed_payload(payload.config);
                break;
            }
            case MessageType::ClientOverride: {
                ConfigProfile profile;
                handle_client_override(parse_client_override(message), profile);
                get_desired_apps(profile);
                break;
            }
            default:
                make_unsupported_message_response(command.id, "sr/cmd/fuzz/x");
                break;
        }
    } catch (const std::exception&) {
    }
    return 0;
}
