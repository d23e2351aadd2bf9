#include "core/shell.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace velmo {
namespace {

thread_local int redirects[3] = {-1, -1, -1};

bool is_safe_char(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '_': case '.': case '/': case ':': case '=': case '@':
        case '%': case '+': case ',': case '-':
            return true;
        default:
            return false;
    }
}

void close_from(int lowest) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(lowest), ~0U, 0) == 0) return;
#endif
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536) max = 65536;
    for (long fd = max - 1; fd >= lowest; --fd) close(static_cast<int>(fd));
}

}  // namespace

std::string shell_single_quote(const std::string& value) {
    std::string out = "'";
    for (char c : value) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

std::string shell_quote(const std::string& value) {
    if (value.empty()) return "''";
    for (char c : value)
        if (!is_safe_char(c)) return shell_single_quote(value);
    return value;
}

int run_command(const std::string& command_line) {
    if (command_line.empty()) return -1;
    int status = system(command_line.c_str());
    // A command killed by a signal is a failure, not exit code 0.
    if (status != -1 && WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return (status >> 8) & 0xff;
}

int run_command_output(const std::string& command_line, std::string* output, size_t limit) {
    std::string full = "exec 2>&1; " + command_line;
    FILE* pipe = popen(full.c_str(), "r");
    if (!pipe) return -1;
    // read(2) rather than fread: a signal (SIGTERM) interrupts the read with
    // EINTR, and stopping there would close the pipe under the command
    // (SIGPIPE) or cut its output short while it still ends with status 0.
    const int fd = fileno(pipe);
    char buffer[256];
    size_t received = 0;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received += static_cast<size_t>(n);
        if (received > limit) {
            pclose(pipe);
            return -1;
        }
        if (output) output->append(buffer, static_cast<size_t>(n));
    }
    return pclose(pipe);
}

void run_program_set_stdout(int fd) {
    if (fd == 0 || fd == 2) return;
    redirects[1] = fd;
}

pid_t start_program(const std::string& program, const std::vector<std::string>& args, bool own_group) {
    // Build the argument vector before forking: the child may only call
    // async-signal-safe functions.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (size_t i = 0; i < args.size() && i < 62; ++i) argv.push_back(const_cast<char*>(args[i].c_str()));
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        if (own_group) setpgid(0, 0);
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0 && devnull <= 2) {
            // A standard stream was closed: keep the null device clear of them.
            int moved = fcntl(devnull, F_DUPFD, 3);
            close(devnull);
            devnull = moved;
        }
        for (int n = 0; n < 3; ++n) {
            if (redirects[n] == n) continue;
            close(n);
            if (redirects[n] >= 0)
                dup2(redirects[n], n);
            else if (devnull >= 0)
                dup2(devnull, n);
        }
        close_from(3);
        execvp(argv[0], argv.data());
        _exit(1);
    }
    // Set from both sides, so the group exists before either goes on.
    if (pid > 0 && own_group) setpgid(pid, pid);
    for (int& fd : redirects) {
        if (fd > 2) close(fd);
        fd = -1;
    }
    return pid < 0 ? -1 : pid;
}

int run_program(const std::string& program, const std::vector<std::string>& args) {
    pid_t pid = start_program(program, args);
    if (pid < 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace velmo
