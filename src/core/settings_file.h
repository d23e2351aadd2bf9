#pragma once
// Reader and writer of the router's KEY=VALUE settings files: one key per
// line, the value optionally in double quotes, keys matched without case.
#include <cstdio>
#include <string>

namespace velmo {

std::string settings_read_string(FILE* file, const char* key);
unsigned settings_read_uint(FILE* file, const char* key);
void settings_write_string(FILE* file, const char* key, const std::string& value);
void settings_write_uint(FILE* file, const char* key, unsigned value, bool present);
void settings_write_bool(FILE* file, const char* key, unsigned value);

}  // namespace velmo
