#include "core/settings_file.h"

#include <strings.h>

#include <cstring>

namespace velmo {
namespace {

// One process-wide line buffer: the lookup is not re-entrant, and only the
// thread that reads the settings files uses it.
char line_buffer[16384];

const char* lookup(FILE* file, const char* key) {
    if (!file) return nullptr;
    rewind(file);
    while (fgets(line_buffer, sizeof line_buffer, file)) {
        if (char* p = strchr(line_buffer, '\r')) *p = '\0';
        if (char* p = strchr(line_buffer, '\n')) *p = '\0';
        if (char* p = strrchr(line_buffer, '"')) *p = '\0';
        char* eq = strchr(line_buffer, '=');
        if (!eq) continue;
        *eq = '\0';
        if (strcasecmp(line_buffer, key) != 0) continue;
        const char* value = eq + 1;
        if (*value == '"') ++value;
        return value;
    }
    return nullptr;
}

}  // namespace

std::string settings_read_string(FILE* file, const char* key) {
    const char* value = lookup(file, key);
    return value ? std::string(value) : std::string();
}

unsigned settings_read_uint(FILE* file, const char* key) {
    const char* value = lookup(file, key);
    unsigned result = 0;
    if (!value || sscanf(value, "%u", &result) != 1) return 0;
    return result;
}

void settings_write_string(FILE* file, const char* key, const std::string& value) {
    if (!file) return;
    if (value.find(' ') != std::string::npos)
        fprintf(file, "%s=\"%.16000s\"\n", key, value.c_str());
    else
        fprintf(file, "%s=%.16000s\n", key, value.c_str());
}

void settings_write_uint(FILE* file, const char* key, unsigned value, bool present) {
    if (!file) return;
    if (value || present)
        fprintf(file, "%s=%u\n", key, value);
    else
        fprintf(file, "%s=\n", key);
}

void settings_write_bool(FILE* file, const char* key, unsigned value) {
    if (!file) return;
    fprintf(file, "%s=%u\n", key, value ? 1u : 0u);
}

}  // namespace velmo
