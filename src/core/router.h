#pragma once
// Router-app and service primitives, and the GPIO device queries.
#include <string>

namespace velmo {

bool is_app_installed(const std::string& name);
std::string get_app_version(const std::string& name);
std::string get_client_version();
int restore_settings(const std::string& path);
// True when the restart command failed.
bool restart_service(const std::string& name);

int read_board_temperature();
int read_supply_voltage();


// Waits a second, flushes the file systems and reboots the machine.
void reboot_router();

}  // namespace velmo
