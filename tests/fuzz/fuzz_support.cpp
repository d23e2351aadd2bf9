#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "core/log.h"
#include "core/paths.h"
#include "core/utils.h"

namespace velmo_fuzz {

const std::string& fuzz_setup() {
    static const std::string top = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/velmo-fuzz.XXXXXX";
        if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
        velmo::FilesystemPaths::_top = pattern;
        for (const char* dir : {"/etc/", "/tmp/"}) velmo::file_ensure_dir_exists(pattern + dir);
        velmo::file_ensure_path_exists(velmo::data_path(""));
        velmo::set_log_sink([](int, const std::string&) {});
        return pattern;
    }();
    return top;
}

void fuzz_write_file(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
}

}  // namespace velmo_fuzz
