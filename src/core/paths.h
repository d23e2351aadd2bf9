#pragma once
// Every file the agent touches is named from three roots so that a whole
// installation can be moved under a test directory with the -d option.
#include <string>

namespace velmo {

struct FilesystemPaths {
    static std::string _top;     // prefix of every path; "" unless -d sets it
    static std::string _data;    // "/var/data/velmo_client/"
    static std::string _client;  // "/opt/velmo_client/"
};

std::string data_path(const std::string& name);     // _top + _data + name
std::string client_path(const std::string& name);   // _top + _client + name
std::string system_path(const std::string& abs);    // _top + abs

std::string settings_file_path();
std::string ca_cert_path();
std::string client_cert_path();
std::string last_bs_address_path();
std::string heartbeat_path();
std::string app_dir(const std::string& name);  // _top + "/opt/" + name
std::string web_dir(const std::string& name);  // _top + "/var/www/" + name
std::string module_tmp_dir();                  // _top + "/tmp/module/"
std::string tmp_dir();                         // _top + "/tmp/"
std::string apps_root_dir();                   // _top + "/opt/"

}  // namespace velmo
