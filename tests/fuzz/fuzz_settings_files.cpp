// Text files of the router the agent reads: the KEY=VALUE settings files
// (through the reader of single keys and through parse_settings_text) and the
// passwd, shadow and group files, planted in the scratch prefix.
#include <cstdint>
#include <cstdio>
#include <exception>

#include "core/settings_file.h"
#include "desired_state/accounts.h"
#include "desired_state/settings.h"
#include "fuzz_support.h"

using namespace velmo;

namespace {

void read_settings_keys(const std::string& text) {
    if (text.empty()) return;
    FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (!file) return;
    for (const char* key : {"ENABLED", "BOOTSTRAP_SERVER", "BOOTSTRAP_PORT", "LOG_LEVEL", "KEEPALIVE_INTERVAL"}) {
        rewind(file);
        settings_read_string(file, key);
        rewind(file);
        settings_read_uint(file, key);
    }
    fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo_fuzz::fuzz_setup();
    const velmo_fuzz::FuzzInput input = velmo_fuzz::split_input(data, size);
    try {
        switch (input.selector % 5) {
            case 0:
                read_settings_keys(input.rest);
                break;
            case 1:
                parse_settings_text(input.rest);
                break;
            case 2:
                velmo_fuzz::fuzz_write_file(passwd_file_path(), input.rest);
                read_passwd_file();
                break;
            case 3:
                velmo_fuzz::fuzz_write_file(shadow_file_path(), input.rest);
                read_shadow_file();
                break;
            default:
                velmo_fuzz::fuzz_write_file(group_file_path(), input.rest);
                read_group_file();
                break;
        }
    } catch (const std::exception&) {
    }
    return 0;
}
