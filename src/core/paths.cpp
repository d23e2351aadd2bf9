#include "core/paths.h"

namespace velmo {

std::string FilesystemPaths::_top;
std::string FilesystemPaths::_data = "/var/data/velmo_client/";
std::string FilesystemPaths::_client = "/opt/velmo_client/";

std::string data_path(const std::string& name) { return FilesystemPaths::_top + FilesystemPaths::_data + name; }
std::string client_path(const std::string& name) { return FilesystemPaths::_top + FilesystemPaths::_client + name; }
std::string system_path(const std::string& abs) { return FilesystemPaths::_top + abs; }

std::string settings_file_path() { return client_path("etc/settings"); }
std::string ca_cert_path() { return data_path("ca.crt"); }
std::string client_cert_path() { return data_path("client.crt"); }
std::string last_bs_address_path() { return data_path("last_bs_address"); }
std::string heartbeat_path() { return data_path("heartbeat"); }
std::string app_dir(const std::string& name) { return system_path("/opt/" + name); }
std::string web_dir(const std::string& name) { return system_path("/var/www/" + name); }
std::string module_tmp_dir() { return system_path("/tmp/module/"); }
std::string tmp_dir() { return system_path("/tmp/"); }
std::string apps_root_dir() { return system_path("/opt/"); }

}  // namespace velmo
