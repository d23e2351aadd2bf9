#pragma once
// Command runners. Every value put into a command line goes through
// shell_quote(), so a hostile name can never split or run a command.
#include <sys/types.h>

#include <string>
#include <vector>

namespace velmo {

// The value unchanged when it is non-empty and holds only A-Za-z0-9_./:=@%+,-
// otherwise a single-quoted form with embedded quotes escaped.
std::string shell_quote(const std::string& value);
// Always the single-quoted form ('abc' for abc).
std::string shell_single_quote(const std::string& value);

// Exit code (0-255) of the line run by the system shell; 128 + N when it was
// killed by signal N; -1 for an empty line.
int run_command(const std::string& command_line);

// Runs "exec 2>&1; " + line through popen and appends the merged output to
// *output when given. Returns the raw termination status of pclose. With a
// limit, reading stops once the output would exceed it (the command then ends
// on a broken pipe) and the result is -1.
int run_command_output(const std::string& command_line, std::string* output = nullptr,
                       size_t limit = static_cast<size_t>(-1));

// Runs the program without a shell (PATH search) and returns the raw wait
// status, or -1 when the process cannot be created. At most 62 arguments.
int run_program(const std::string& program, const std::vector<std::string>& args);

// Starts the program as run_program does but does not wait for it: the
// process id, or -1 when it cannot be created. The caller reaps it. With
// own_group the program leads a process group of its own (id = its pid), so
// that the caller can end it together with everything it started.
pid_t start_program(const std::string& program, const std::vector<std::string>& args, bool own_group = false);

// Standard output of the calling thread's next run_program or start_program; 0 and 2 are ignored.
// The descriptor is closed by run_program when it is above 2.
void run_program_set_stdout(int fd);

}  // namespace velmo
