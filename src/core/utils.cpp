#include "core/utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/clock.h"
#include "core/exception.h"
#include "core/paths.h"
#include "core/shell.h"

namespace velmo {

void sleep_and_backoff(int& interval, int cap) {
    sleep_seconds(static_cast<unsigned>(interval < 0 ? 0 : interval));
    double next = interval * 1.5;
    interval = next > cap ? cap : static_cast<int>(next);
}

std::string format_utc_timestamp(std::optional<time_t> when) {
    time_t t = when ? *when : now();
    struct tm tm {};
    if (!gmtime_r(&t, &tm)) return "";
    char buffer[64];
    size_t n = strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
    return n ? std::string(buffer, n) : std::string();
}

bool string_starts_with(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool string_ends_with(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool string_is_digits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

std::vector<std::string> string_split(const std::string& s, const std::string& delimiter) {
    std::vector<std::string> pieces;
    if (delimiter.empty()) {
        if (!s.empty()) pieces.push_back(s);
        return pieces;
    }
    size_t start = 0;
    for (size_t pos = s.find(delimiter); pos != std::string::npos; pos = s.find(delimiter, start)) {
        pieces.push_back(s.substr(start, pos - start));
        start = pos + delimiter.size();
    }
    if (start < s.size()) pieces.push_back(s.substr(start));
    return pieces;
}

std::vector<std::string> string_split(const std::string& s, char delimiter) {
    return string_split(s, std::string(1, delimiter));
}

std::vector<std::string> string_split_once(const std::string& s, const std::string& delimiters) {
    size_t begin = s.find_first_not_of(delimiters);
    if (begin == std::string::npos) throw std::invalid_argument("string_split_once: no token in '" + s + "'");
    size_t end = s.find_first_of(delimiters, begin);
    if (end == std::string::npos) return {s.substr(begin), std::string()};
    return {s.substr(begin, end - begin), s.substr(end + 1)};
}

std::string string_join(const std::vector<std::string>& items, char separator) {
    std::string out;
    for (const auto& item : items) {
        out += item;
        out += separator;
    }
    return out;
}

int string_trailing_number(const std::string& s) {
    if (s.empty()) throw std::out_of_range("string_trailing_number: empty string");
    if (s.back() < '0' || s.back() > '9') return -2;
    if (string_is_digits(s)) return -1;
    size_t pos = s.size();
    while (pos > 0 && s[pos - 1] >= '0' && s[pos - 1] <= '9') --pos;
    return std::stoi(s.substr(pos));
}

bool is_ipv4_address(const std::string& s) {
    auto pieces = string_split(s, '.');
    if (pieces.size() != 4) return false;
    for (const auto& piece : pieces) {
        if (!string_is_digits(piece)) return false;
        unsigned value = 0;
        for (char c : piece) {
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 255) return false;
        }
    }
    return true;
}

bool is_forbidden_client_version(const std::string& version) {
    auto pieces = string_split(version, '.');
    if (pieces.size() >= 4) return false;
    if (pieces.empty() || pieces[0] != "3") return false;
    return std::stoi(pieces.at(1)) <= 0;
}

bool json_is_object_or_null(const nlohmann::json& object, const std::string& member) {
    const auto& value = object.at(member);
    return value.is_object() || value.is_null();
}

const nlohmann::json& json_number(const nlohmann::json& value) {
    if (!value.is_number())
        throw nlohmann::json::type_error::create(302, std::string("type must be number, but is ") + value.type_name(),
                                                 &value);
    return value;
}

int64_t json_integer(const nlohmann::json& value, int64_t min, int64_t max, bool truncate_float) {
    bool in_range = false;
    int64_t result = 0;
    if (value.is_number_unsigned()) {
        uint64_t u = value.get<uint64_t>();
        in_range = max >= 0 && u <= static_cast<uint64_t>(max) && (min <= 0 || u >= static_cast<uint64_t>(min));
        result = static_cast<int64_t>(u);
    } else if (value.is_number_integer()) {
        result = value.get<int64_t>();
        in_range = result >= min && result <= max;
    } else if (truncate_float && value.is_number_float()) {
        double d = std::trunc(value.get<double>());
        // Converted only inside the 64-bit range (2^63 itself is outside it
        // and would be undefined); NaN and infinities fail both comparisons.
        if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
            result = static_cast<int64_t>(d);
            in_range = result >= min && result <= max;
        }
    } else {
        throw nlohmann::json::type_error::create(
            302,
            value.is_number_float() ? std::string("type must be integer, but is a floating-point number")
                                    : std::string("type must be number, but is ") + value.type_name(),
            &value);
    }
    if (!in_range)
        throw nlohmann::json::out_of_range::create(406, "number " + value.dump() + " is out of range", &value);
    return result;
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void file_create_empty(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
    if (fd < 0) return;
    futimens(fd, nullptr);  // the time stamp is what readers of this file look at
    close(fd);
}

std::string file_read(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return {};
    std::string content;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, n);
    fclose(f);
    return content;
}

namespace {

// The file a whole-file write must replace: the path itself, or the final
// target of a chain of symbolic links (which may not exist yet), so that the
// links survive and their target receives the new content.
std::string resolve_link_target(const std::string& path) {
    std::string current = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        ssize_t n = readlink(current.c_str(), target.data(), target.size() - 1);
        if (n < 0) return current;
        std::string next(target.data(), static_cast<size_t>(n));
        if (next.empty()) return current;
        if (next[0] != '/') {
            size_t slash = current.rfind('/');
            next = (slash == std::string::npos ? std::string() : current.substr(0, slash + 1)) + next;
        }
        current = next;
    }
    return current;  // a loop: the rename then fails like the open would
}

}  // namespace

AtomicFileWriter::AtomicFileWriter(const std::string& path, std::optional<mode_t> forced_mode)
    : path_(resolve_link_target(path)) {
    std::string pattern = path_ + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        error_ = errno;
        return;
    }
    temp_path_ = name.data();
    // The replacement keeps the owner, group and mode of the file it replaces,
    // so that a file nobody else could read never becomes readable to others.
    // Ownership that cannot be kept fails the write rather than widen access.
    struct stat st {};
    bool existing = stat(path_.c_str(), &st) == 0;
    mode_t mode = forced_mode ? *forced_mode : existing ? (st.st_mode & 07777) : 0644;
    if ((existing && fchown(fd, st.st_uid, st.st_gid) != 0) || fchmod(fd, mode) != 0) {
        error_ = errno;
        close(fd);
        unlink(temp_path_.c_str());
        return;
    }
    file_ = fdopen(fd, "w");
    if (!file_) {
        error_ = errno;
        close(fd);
        unlink(temp_path_.c_str());
    }
}

AtomicFileWriter::~AtomicFileWriter() {
    if (file_) {
        fclose(file_);
        unlink(temp_path_.c_str());
    }
}

bool AtomicFileWriter::commit() {
    if (!file_) return false;
    bool ok = fflush(file_) == 0 && !ferror(file_) && fsync(fileno(file_)) == 0;
    if (!ok && !error_) error_ = errno;
    if (fclose(file_) != 0 && ok) {
        ok = false;
        error_ = errno;
    }
    file_ = nullptr;
    if (ok && rename(temp_path_.c_str(), path_.c_str()) != 0) {
        ok = false;
        error_ = errno;
    }
    if (!ok) {
        unlink(temp_path_.c_str());
        return false;
    }
    // Make the rename itself durable.
    std::string dir = file_get_dir(path_);
    int dfd = open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

void file_write(const std::string& content, const std::string& path, const char* mode,
                std::optional<mode_t> file_mode) {
    if (!mode) throw VelmoException("Failed to open file '%s': %s", path.c_str(), strerror(EINVAL));
    const char* text = content.c_str();  // written up to the first NUL byte
    if (strcmp(mode, "w") == 0) {
        AtomicFileWriter writer(path, file_mode);
        if (!writer.file()) throw VelmoException("Failed to open file '%s': %s", path.c_str(), strerror(writer.error()));
        fputs(text, writer.file());
        if (!writer.commit()) throw VelmoException("Failed to open file '%s': %s", path.c_str(), strerror(writer.error()));
        return;
    }
    FILE* f = fopen(path.c_str(), mode);
    if (!f) throw VelmoException("Failed to open file '%s': %s", path.c_str(), strerror(errno));
    fputs(text, f);
    fclose(f);
}

void file_quarantine(const std::string& path) {
    const std::string target = path + "_err";
    unlink(target.c_str());
    rename(path.c_str(), target.c_str());
}

int open_regular_file(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

bool scratch_file_create(const std::string& path) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return false;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    close(fd);
    return true;
}

void binarybuff_to_file(const void* buffer, size_t length, const std::string& path) {
    if (!buffer || path.empty()) throw VelmoException("binarybuff_to_file: invalid arguments.");
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        throw VelmoException("Failed to open file '%s': %s", path.c_str(), strerror(errno));
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw VelmoException("Failed to open file '%s': %s", path.c_str(), strerror(errno));
    const char* p = static_cast<const char*>(buffer);
    while (length > 0) {
        ssize_t n = write(fd, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            close(fd);
            throw VelmoException("Failed to open file '%s': %s", path.c_str(), strerror(err));
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    close(fd);
}

void file_copy(const std::string& source, const std::string& destination) {
    if (!file_exists(source)) throw VelmoException("file_copy: Source file '%s' does not exist.", source.c_str());
    std::string content = file_read(source);
    unlink(destination.c_str());
    file_write(content, destination, "w");
}

std::string file_get_name(const std::string& path) {
    if (path.size() >= 200) throw std::overflow_error("file_get_name(): filepath exceeded the allowed length.");
    size_t pos = path.rfind('/');
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string file_get_dir(const std::string& path) {
    size_t pos = path.rfind('/');
    return pos == std::string::npos ? path : path.substr(0, pos);
}

std::vector<std::string> file_list_dir(const std::string& dir, int kind, const std::string& prefix,
                                       const std::string& excluded_suffix) {
    std::vector<std::string> names;
    if (kind < FILE_KIND_DIRS || kind > FILE_KIND_BOTH) return names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        bool is_dir = entry->d_type == DT_DIR, is_file = entry->d_type == DT_REG;
        bool wanted = (kind == FILE_KIND_DIRS && is_dir) || (kind == FILE_KIND_FILES && is_file) ||
                      (kind == FILE_KIND_BOTH && (is_dir || is_file));
        if (!wanted) continue;
        if (!prefix.empty() && !string_starts_with(name, prefix)) continue;
        if (!excluded_suffix.empty() && string_ends_with(name, excluded_suffix)) continue;
        names.push_back(name);
    }
    closedir(d);
    return names;
}

void file_ensure_dir_exists(const std::string& path) {
    DIR* d = opendir(path.c_str());
    if (d) {
        closedir(d);
        return;
    }
    if (errno == ENOENT) {
        mkdir(path.c_str(), 0777);
        return;
    }
    throw VelmoException("file_ensure_dir_exists: '%s'.", strerror(errno));
}

void file_ensure_path_exists(const std::string& path) {
    for (size_t pos = path.find('/'); pos != std::string::npos; pos = path.find('/', pos + 1))
        file_ensure_dir_exists(path.substr(0, pos + 1));
    file_ensure_dir_exists(path);
}

void dir_remove_recursive(const std::string& path) {
    if (path.empty() || path == "/") return;
    run_command("rm -rf " + shell_quote(path));
}

std::string file_get_key_value(const std::string& path, const std::string& key) {
    for (const auto& line : string_split(file_read(path), '\n')) {
        auto pieces = string_split(line, '=');
        if (!pieces.empty() && pieces[0] == key) return pieces.size() > 1 ? pieces[1] : std::string();
    }
    throw VelmoException("Key '%s' was not found in '%s' file.", key.c_str(), path.c_str());
}

namespace {
const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct DecodeTable {
    unsigned char value[256];
    DecodeTable() {
        memset(value, 64, sizeof value);
        for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<unsigned char>(i);
        value[static_cast<unsigned char>('-')] = 62;
    }
};
const DecodeTable kDecodeTable;
}  // namespace

std::string hex_lower(const unsigned char* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0f];
    }
    return out;
}

std::string base64_encode(const std::string& input) {
    const char* text = input.c_str();
    size_t length = strlen(text);
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    for (size_t i = 0; i < length; i += 3) {
        unsigned b0 = static_cast<unsigned char>(text[i]);
        unsigned b1 = i + 1 < length ? static_cast<unsigned char>(text[i + 1]) : 0;
        unsigned b2 = i + 2 < length ? static_cast<unsigned char>(text[i + 2]) : 0;
        out += kBase64Alphabet[b0 >> 2];
        out += kBase64Alphabet[((b0 & 3) << 4) | (b1 >> 4)];
        out += i + 1 < length ? kBase64Alphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
        out += i + 2 < length ? kBase64Alphabet[b2 & 63] : '=';
    }
    return out;
}

std::vector<unsigned char> base64_decode_bytes(const std::string& text) {
    std::vector<unsigned char> out;
    out.reserve(text.size() / 4 * 3 + 2);
    unsigned count = 0, previous = 0;
    for (unsigned char c : text) {
        unsigned b = kDecodeTable.value[c];
        if (b == 64) continue;
        switch (count % 4) {
            case 1: out.push_back(static_cast<unsigned char>((previous << 2) | (b >> 4))); break;
            case 2: out.push_back(static_cast<unsigned char>((previous << 4) | (b >> 2))); break;
            case 3: out.push_back(static_cast<unsigned char>((previous << 6) | b)); break;
            default: break;
        }
        previous = b;
        ++count;
    }
    return out;
}

std::string base64_decode(const std::string& text) {
    auto bytes = base64_decode_bytes(text);
    std::string out(bytes.begin(), bytes.end());
    size_t nul = out.find('\0');
    if (nul != std::string::npos) out.resize(nul);
    return out;
}

std::string decode_compressed_payload(const std::string& base64_gzip) {
    auto bytes = base64_decode_bytes(base64_gzip);
    if (bytes.empty()) throw VelmoException("Decoding from base64 failed.");
    std::string scratch = system_path("/tmp/") + "config.gz";
    binarybuff_to_file(bytes.data(), bytes.size(), scratch);
    std::string output;
    // A few hundred kilobytes of gzip can expand to gigabytes; no profile is
    // anywhere near this size, so a larger output is refused before it exhausts
    // the router's memory.
    constexpr size_t kMaxDecompressedSize = 16u << 20;
    if (run_command_output("zcat " + shell_quote(scratch), &output, kMaxDecompressedSize) != 0)
        throw VelmoException("Decompression failed.");
    return output;
}

std::string get_fileinfo_url(const std::string& url) {
    auto pieces = string_split(url, "/file/");
    const std::string& rest = pieces.at(1);
    return pieces.at(0) + "/fileinfo/" + rest.substr(0, rest.find('/'));
}

std::string get_app_name_from_url(const std::string& url) {
    size_t slash = url.rfind('/');
    if (slash == std::string::npos) throw VelmoException("get_app_name_from_url: Invalid URL '%s'", url.c_str());
    std::string last = url.substr(slash + 1);
    size_t underscore = last.rfind('_');
    if (underscore == std::string::npos) throw VelmoException("get_app_name_from_url: Invalid URL '%s'", url.c_str());
    if (underscore == 0) throw std::out_of_range("get_app_name_from_url: no name before '_' in '" + url + "'");
    std::string name = last.substr(0, underscore);
    return name.substr(0, name.find('.'));
}

}  // namespace velmo
