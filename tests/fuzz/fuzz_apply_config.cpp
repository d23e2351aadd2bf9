// The ApplyConfig payload and the profile it carries. Selector bit 0 clear:
// the input is the "config" text (lenient base64 of gzip), decoded like a
// received command; set: the input is the profile's JSON text itself. Either
// way the profile then goes through every accessor.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <exception>

#include "core/utils.h"
#include "desired_state/profile.h"
#include "fuzz_support.h"

using nlohmann::json;
using namespace velmo;

namespace {

// Every accessor validates its own section, so each runs on its own.
template <typename F>
void accessor(F&& f) {
    try {
        f();
    } catch (const std::exception&) {
    }
}

void read_every_section(const ConfigProfile& profile) {
    accessor([&] { get_desired_firmware(profile); });
    accessor([&] { get_desired_apps(profile); });
    accessor([&] { get_desired_app_versions(profile); });
    accessor([&] { get_desired_settings(profile); });
    accessor([&] { get_desired_settings_as_ini(profile); });
    accessor([&] { get_desired_users(profile); });
    accessor([&] { get_desired_files(profile); });
    accessor([&] {
        for (const auto& entry : get_desired_reporting(profile)) report_type_to_string(entry.second.type);
    });
    accessor([&] {
        const ProfileBehaviours b = get_profile_behaviours(profile);
        behaviour_to_string(b.apps);
        behaviour_to_string(b.users);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo_fuzz::fuzz_setup();
    const velmo_fuzz::FuzzInput input = velmo_fuzz::split_input(data, size);
    std::string text = input.rest;
    try {
        if ((input.selector & 1) == 0) {
            base64_decode_bytes(text);
            text = decode_compressed_payload(text);
        }
        ConfigProfile profile;
        replace_profile_from_text(profile, text);
        read_every_section(profile);
    } catch (const std::exception&) {
    }
    return 0;
}
