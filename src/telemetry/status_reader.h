#pragma once
// The router status tool "/usr/bin/status -v <section>", cached per thread
// for a second, and the identity values derived from it.
#include <string>

namespace velmo {

// The value after "Key : " in the section's output, or "N/A". Never raises.
std::string read_status_value(const std::string& section, const std::string& key);

// The value of the first line of a status output that begins with the key:
// the text after the line's first ": " up to the line end, or "N/A" when the
// line has no such text, the text has 128 characters or more, or no line
// begins with the key.
std::string status_output_value(const std::string& output, const std::string& key);

// Typed accessors; `second` selects "module 2" / "mobile 2". Texts are cut at 31 characters.
std::string status_product_name();
std::string status_firmware_version();
std::string status_serial_number();
std::string status_module_revision(bool second = false);
std::string status_module_imei(bool second = false);
std::string status_module_iccid(bool second = false);
std::string status_mobile_operator(bool second = false);
std::string status_mobile_technology(bool second = false);
unsigned long status_mobile_cell(bool second = false);
unsigned long status_mobile_channel(bool second = false);
long status_mobile_signal_strength(bool second = false);
long status_mobile_signal_quality(bool second = false);

std::string normalize_mac_address(const std::string& text);
std::string get_mac_address();    // 'XX:XX:XX:XX:XX:XX' or ""
std::string get_imei();           // read once per process
std::string get_serial_number();  // "" instead of "N/A"

// Calls module_state_get of the platform library and fills the two SIM
// statistics areas (see telemetry/sim_stats.h for their size) when the
// library offers them; -1 when it is missing.
int read_module_state(void* arg1, void* arg2, void* sim0_stats, void* sim1_stats);

}  // namespace velmo
