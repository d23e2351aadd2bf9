#pragma once
// Shared by the fuzz harnesses: a private top prefix for every file the agent
// reads or writes, log lines dropped, and the input split into a selector
// byte and the rest.
#include <cstddef>
#include <cstdint>
#include <string>

namespace velmo_fuzz {

// Creates (once per process) a scratch directory under $TMPDIR or /tmp, makes
// it the agent's top prefix with its data directory, /etc and /tmp inside,
// and silences the log. Returns the prefix. The caller of the harness (the
// run script) points TMPDIR at a directory it removes afterwards.
const std::string& fuzz_setup();

// Writes the bytes to the file, replacing it.
void fuzz_write_file(const std::string& path, const std::string& bytes);

struct FuzzInput {
    uint8_t selector = 0;
    std::string rest;
};
// The first byte picks among related parsers; the rest is their input.
inline FuzzInput split_input(const uint8_t* data, size_t size) {
    FuzzInput input;
    if (size == 0) return input;
    input.selector = data[0];
    input.rest.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
    return input;
}

}  // namespace velmo_fuzz
