#include "core/router.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/reboot.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/clock.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/shell.h"
#include "core/utils.h"

namespace velmo {

bool is_app_installed(const std::string& name) { return file_exists(app_dir(name) + "/etc/name"); }

std::string get_app_version(const std::string& name) {
    std::string path = app_dir(name) + "/etc/version";
    if (!file_exists(path)) return {};
    std::string version = file_read(path);
    version = version.substr(0, version.find(" ("));
    version = version.substr(0, version.find(' '));
    if (!version.empty() && version[0] == 'v') version.erase(0, 1);
    return version;
}

std::string get_client_version() { return get_app_version("velmo_client"); }

int restore_settings(const std::string& path) { return run_command("/usr/sbin/restore " + shell_quote(path)); }

bool restart_service(const std::string& name) {
    std::string script = is_app_installed(name) ? app_dir(name) + "/etc/init" : "/etc/init.d/" + name;
    if (name == "snmp") script = "/etc/rc.d/init.d/snmp";
    return run_command(shell_quote(script) + " restart") != 0;
}

namespace {

std::atomic_flag gpio_lock = ATOMIC_FLAG_INIT;
int gpio_fd = -1;

int gpio_device() {
    while (gpio_lock.test_and_set(std::memory_order_acquire)) {
    }
    if (gpio_fd < 0) gpio_fd = open("/dev/gpio", O_RDWR | O_CLOEXEC);
    int fd = gpio_fd;
    gpio_lock.clear(std::memory_order_release);
    return fd;
}

int gpio_query(unsigned long request) {
    int fd = gpio_device();
    if (fd < 0) return -1;
    return ioctl(fd, request, 0);
}

}  // namespace

int read_board_temperature() { return gpio_query(0x80004211UL); }
int read_supply_voltage() { return gpio_query(0x80004212UL); }

void reboot_router() {
    pause_seconds(1);
    sync();
    if (reboot(RB_AUTOBOOT) != 0) vlog(LOG_ERR, "reboot_router: reboot failed: %s", strerror(errno));
}

}  // namespace velmo
