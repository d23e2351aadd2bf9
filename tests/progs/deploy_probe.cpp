// Runs one software-deployment operation inside a simulated router and prints
// its result on standard output; the log lines go to syslog (or stderr, -e).
//
//   deploy_probe [-d TOP] [-e] download_app NAME VERSION URL [firmware]
//   deploy_probe [-d TOP] [-e] install_downloaded_app NAME URL [firmware]
//   deploy_probe [-d TOP] [-e] uninstall_app NAME
//   deploy_probe [-d TOP] [-e] firmware_version | firmware_name | installed_apps
#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "probe_args.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/state.h"
#include "deployment/apps.h"
#include "deployment/downloads.h"

using namespace velmo;

namespace {

int usage() {
    fprintf(stderr,
            "usage: deploy_probe [-d TOP] [-e] download_app NAME VERSION URL [firmware]\n"
            "       deploy_probe [-d TOP] [-e] install_downloaded_app NAME URL [firmware]\n"
            "       deploy_probe [-d TOP] [-e] uninstall_app NAME\n"
            "       deploy_probe [-d TOP] [-e] firmware_version | firmware_name | installed_apps\n");
    return 2;
}

bool firmware_flag(const std::vector<std::string>& args, size_t index) {
    return args.size() > index && args[index] == "firmware";
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = probe_arguments(argc, argv);
    if (args.empty()) return usage();

    const std::string& op = args[0];
    try {
        if (op == "download_app" && args.size() >= 4) {
            DesiredApp app{args[1], args[2], args[3]};
            printf("%s\n", download_result_to_string(download_app(app, firmware_flag(args, 4))));
        } else if (op == "install_downloaded_app" && args.size() >= 3) {
            install_downloaded_app(args[1], firmware_flag(args, 3), args[2]);
            printf("ok\n");
        } else if (op == "uninstall_app" && args.size() == 2) {
            uninstall_app(args[1]);
            printf("ok\n");
        } else if (op == "firmware_version") {
            printf("%s\n", get_firmware_version().c_str());
        } else if (op == "firmware_name") {
            printf("%s\n", get_firmware_name().c_str());
        } else if (op == "installed_apps") {
            for (const auto& [name, version] : get_installed_apps_with_versions())
                printf("%s %s\n", name.c_str(), version.c_str());
        } else {
            return usage();
        }
    } catch (const std::exception& e) {
        printf("error: %s\n", e.what());
    }
    return 0;
}
