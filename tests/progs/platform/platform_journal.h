#pragma once
// Shared by the stand-ins for the router's platform libraries: every call is
// appended to the simulated router's journal ($VELMO_SIM/journal) as one line
// of tab-separated fields, like the fake tools do, and the values the
// libraries answer come from files under $VELMO_SIM/platform/.
//
// No std::to_string or similar here: their unique symbols would make the
// libraries impossible to unload, and the tests check that every call loads
// and unloads them.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define PLATFORM_API extern "C" __attribute__((visibility("default")))

namespace {

// "0x" + hexadecimal address; null is "0x0".
inline std::string platform_pointer(const void* p) {
    char text[32];
    snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

inline void platform_record(const std::string& library, const std::string& call, const std::string& a = "",
                            const std::string& b = "") {
    const char* sim = getenv("VELMO_SIM");
    if (!sim) return;
    std::string line = library + "\t" + call;
    if (!a.empty()) line += "\t" + a;
    if (!b.empty()) line += "\t" + b;
    line += "\n";
    int fd = open((std::string(sim) + "/journal").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t ignored = write(fd, line.data(), line.size());  // one write: lines of concurrent callers never mix
    (void)ignored;
    close(fd);
}

// Whitespace-separated unsigned numbers of $VELMO_SIM/platform/NAME; the
// missing ones are 0.
inline void platform_numbers(const char* name, long* values, int count) {
    for (int i = 0; i < count; ++i) values[i] = 0;
    const char* sim = getenv("VELMO_SIM");
    if (!sim) return;
    FILE* f = fopen((std::string(sim) + "/platform/" + name).c_str(), "r");
    if (!f) return;
    for (int i = 0; i < count && fscanf(f, "%ld", &values[i]) == 1; ++i) {
    }
    fclose(f);
}

}  // namespace
