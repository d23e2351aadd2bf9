#pragma once
// Small helpers shared by every part of the agent: pauses, time stamps,
// strings, files, base64, compressed payloads and download URLs.
#include <nlohmann/json.hpp>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace velmo {

// Sleeps for interval seconds, then interval := int(interval * 1.5), capped.
void sleep_and_backoff(int& interval, int cap);

// "%Y-%m-%dT%H:%M:%S.000Z" of the given time (now when absent), "" on failure.
std::string format_utc_timestamp(std::optional<time_t> when = std::nullopt);

// Strings.
bool string_starts_with(const std::string& s, const std::string& prefix);
bool string_ends_with(const std::string& s, const std::string& suffix);
bool string_is_digits(const std::string& s);
std::vector<std::string> string_split(const std::string& s, const std::string& delimiter);
std::vector<std::string> string_split(const std::string& s, char delimiter);
// strtok-like split at the first delimiter character; throws std::invalid_argument
// when the text holds only delimiters.
std::vector<std::string> string_split_once(const std::string& s, const std::string& delimiters);
std::string string_join(const std::vector<std::string>& items, char separator);
int string_trailing_number(const std::string& s);
bool is_ipv4_address(const std::string& s);
bool is_forbidden_client_version(const std::string& version);
bool json_is_object_or_null(const nlohmann::json& object, const std::string& member);
// The value itself when it is a JSON number; otherwise the JSON library's type
// error (it would silently take a boolean for a number).
const nlohmann::json& json_number(const nlohmann::json& value);
// The value of a JSON integer (signed or unsigned) that lies in [min, max];
// with truncate_float a floating-point number is also taken, truncated toward
// zero. Anything else (a boolean included) raises the JSON library's type
// error and a number outside the range its out-of-range error: never wraps.
int64_t json_integer(const nlohmann::json& value, int64_t min, int64_t max, bool truncate_float = false);

// Files.
bool file_exists(const std::string& path);
void file_create_empty(const std::string& path);
std::string file_read(const std::string& path);
// Mode "w" replaces the file atomically (temporary file beside it, fsync,
// rename; see AtomicFileWriter for links, owner and mode); other modes are
// passed to fopen. Writes up to the first NUL byte. file_mode, when given,
// is the mode of the written file in mode "w".
void file_write(const std::string& content, const std::string& path, const char* mode,
                std::optional<mode_t> file_mode = std::nullopt);
// Writes exactly the bytes; the file is created anew (an existing file or a
// planted symbolic link is removed first, never followed), mode 0600.
void binarybuff_to_file(const void* buffer, size_t length, const std::string& path);
void file_copy(const std::string& source, const std::string& destination);
std::string file_get_name(const std::string& path);
std::string file_get_dir(const std::string& path);
enum FileKind { FILE_KIND_DIRS = 0, FILE_KIND_FILES = 1, FILE_KIND_BOTH = 2 };
std::vector<std::string> file_list_dir(const std::string& dir, int kind, const std::string& prefix,
                                       const std::string& excluded_suffix);
void file_ensure_dir_exists(const std::string& path);
void file_ensure_path_exists(const std::string& path);
void dir_remove_recursive(const std::string& path);
std::string file_get_key_value(const std::string& path, const std::string& key);
// Moves an unreadable state file aside as path + "_err", replacing an older
// one; failures are ignored.
void file_quarantine(const std::string& path);
// Creates an empty scratch file that is certainly ours: an existing entry (a
// planted symbolic link included) is removed, then the file is created with
// O_EXCL|O_NOFOLLOW and mode 0600. Returns false when that fails.
bool scratch_file_create(const std::string& path);
// Opens a file for reading only when it is a regular file: a FIFO or a device
// planted in its place would block the open or the read for good, so the open
// does not wait and anything else is closed again. -1 when missing or not regular.
int open_regular_file(const std::string& path);

// Encoding and payloads.
std::string hex_lower(const unsigned char* bytes, size_t length);  // two lower-case digits a byte
std::string base64_encode(const std::string& text);
std::vector<unsigned char> base64_decode_bytes(const std::string& text);
std::string base64_decode(const std::string& text);  // up to the first NUL byte
std::string decode_compressed_payload(const std::string& base64_gzip);

// Download URLs.
std::string get_fileinfo_url(const std::string& url);
std::string get_app_name_from_url(const std::string& url);


// Replaces a whole file so that a crash never leaves it half written: the
// content goes to a temporary file beside the target, which commit() flushes,
// syncs and renames over the target. Without commit() the target is untouched.
// A symbolic link is written through: its final target is replaced and the
// link stays. The new file keeps the owner, group and mode of the one it
// replaces (a new file gets 0644); forced_mode, when given, sets the mode.
class AtomicFileWriter {
public:
    explicit AtomicFileWriter(const std::string& path, std::optional<mode_t> forced_mode = std::nullopt);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    FILE* file() const { return file_; }  // nullptr when the temporary file could not be made
    int error() const { return error_; }  // errno of the first failure
    bool commit();

private:
    std::string path_;
    std::string temp_path_;
    FILE* file_ = nullptr;
    int error_ = 0;
};

}  // namespace velmo
