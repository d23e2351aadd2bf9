#include "deployment/downloads.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "core/exception.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/router.h"
#include "core/shell.h"
#include "core/utils.h"

namespace velmo {
namespace {

// curl's exit code when receiving data failed (the link dropped mid-file).
constexpr int kCurlRecvError = 56;
// Resumptions of one download before it is given up. Every resumption
// continues the partial file, so a cellular link that drops a few times per
// package still gets through; a link that keeps dropping the same transfer
// this often is not going to finish it, and the next sync pass starts anew.
constexpr int kMaxDownloadResumptions = 10;

unsigned long long ull(uint64_t value) { return static_cast<unsigned long long>(value); }

// A byte count of the file-information reply, read as an unsigned number: an
// integer, a floating value (truncated) or a boolean (0 or 1). The counts are
// 32-bit fields, so a negative value reads as its 32-bit unsigned form
// (-1 is 4294967295); a floating value beyond 64 bits counts as the largest
// one. Either way the reply, and with it the digest, stays in use.
uint64_t reply_byte_count(const nlohmann::json& value) {
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_number_float()) {
        double d = std::trunc(value.get<double>());
        if (d >= 18446744073709551616.0) return UINT64_MAX;
        if (d >= 0.0) return static_cast<uint64_t>(d);
        return static_cast<uint32_t>(d > -9223372036854775808.0 ? static_cast<int64_t>(d) : INT64_MIN);
    }
    if (value.is_number_integer() && !value.is_number_unsigned() && value.get<int64_t>() < 0)
        return static_cast<uint32_t>(value.get<int64_t>());
    return value.get<uint64_t>();  // raises a type error for anything but a number or a boolean
}

// Only web addresses go to curl: anything else (an option such as "-o...",
// a local file) is refused.
bool is_web_url(const std::string& url) {
    return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

// The URL as curl is given it: brackets and braces percent-encoded, so curl
// never expands them as a glob.
std::string curl_url(const std::string& url) {
    std::string out;
    for (char c : url) {
        switch (c) {
            case '[': out += "%5B"; break;
            case ']': out += "%5D"; break;
            case '{': out += "%7B"; break;
            case '}': out += "%7D"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

std::string download_file_name(const std::string& url) {
    size_t slash = url.rfind('/');
    return slash == std::string::npos ? url : url.substr(slash + 1);
}

const char* download_result_to_string(DownloadResult result) {
    switch (result) {
        case DownloadResult::Ok: return "Ok";
        case DownloadResult::NotEnoughSpace: return "NotEnoughSpace";
        case DownloadResult::IntegrityCheckFailure: return "IntegrityCheckFailure";
        case DownloadResult::InvalidUrl: return "InvalidUrl";
        case DownloadResult::GeneralFailure: return "GeneralFailure";
    }
    return "unknown";
}

DownloadResult download_app(const DesiredApp& app, bool is_firmware) {
    vlog(LOG_DEBUG, "Downloading sequence started '%s'.", app.name.c_str());
    if (!is_web_url(app.url)) {
        vlog(LOG_WARNING, "Invalid download URL: '%s'", app.url.c_str());
        return DownloadResult::InvalidUrl;
    }

    std::optional<FileInfo> info;
    try {
        info = get_file_info(app.url);
    } catch (const std::exception& e) {
        vlog(LOG_WARNING, "Disk space check will be skipped. (%s)", e.what());
    }

    if (info) {
        uint64_t free_bytes = get_partition_size(tmp_dir());
        if (free_bytes < info->size) {
            vlog(LOG_INFO, "Not enough space to download file. (Need: %llu Available: %llu)", ull(info->size),
                 ull(free_bytes));
            vlog(LOG_WARNING, "Not enough space for downloading application '%s'.", app.name.c_str());
            return DownloadResult::NotEnoughSpace;
        }
        // The firmware is not unpacked under the apps directory: both figures
        // are measured, but they do not stop its download.
        uint64_t available = getRouterAppSize(app.name) + get_partition_size(apps_root_dir());
        if (available < info->usize && !is_firmware) {
            vlog(LOG_INFO, "Not enough space to unpack file. (Need: %llu Available: %llu)", ull(info->usize),
                 ull(available));
            vlog(LOG_WARNING, "Not enough space for downloading application '%s'.", app.name.c_str());
            return DownloadResult::NotEnoughSpace;
        }
    }

    return download_file(app.url, tmp_dir() + download_file_name(app.url), info);
}

FileInfo parse_file_info_reply(const std::string& reply_text, const std::string& info_url) {
    nlohmann::json reply = nlohmann::json::parse(reply_text);
    if (!reply.at("success").get<bool>())
        throw VelmoException("Failed to obtain file info from '%s' (content server: %s).", info_url.c_str(),
                             reply.at("message").get<std::string>().c_str());
    const nlohmann::json& data = reply.at("data");
    FileInfo info;
    info.size = reply_byte_count(data.at("size"));
    info.usize = reply_byte_count(data.at("usize"));
    info.hash = data.at("hash").get<std::string>();
    return info;
}

FileInfo get_file_info(const std::string& url) {
    std::string info_url = get_fileinfo_url(curl_url(url));
    std::string command =
        "curl -s --tlsv1.2 --cacert " + shell_quote(ca_cert_path()) + " -X GET " + shell_single_quote(info_url);
    std::string output;
    int status = run_command_output(command, &output);
    if (status != 0)
        throw VelmoException("Curl request '%s' failed with error code '%d'.", info_url.c_str(), status);

    try {
        return parse_file_info_reply(output, info_url);
    } catch (const std::exception& e) {
        throw VelmoException("Failure while parsing the output of '%s' command. (%s)", command.c_str(), e.what());
    }
}

DownloadResult download_file(const std::string& url, const std::string& destination,
                             const std::optional<FileInfo>& info) {
    vlog(LOG_INFO, "Downloading '%s'.", url.c_str());
    // Each download starts from an empty file. It is created here, so that a
    // symbolic link planted at its name in the shared temporary directory is
    // never followed: curl then writes into this file.
    if (!scratch_file_create(destination)) {
        vlog(LOG_ERR, "Download failed: cannot create '%s'.", destination.c_str());
        return DownloadResult::GeneralFailure;
    }

    std::string command = "curl -C - -o " + shell_quote(destination) + " --tlsv1.2 --cacert " +
                          shell_quote(ca_cert_path()) + " " + shell_quote(curl_url(url));
    int rc = run_command(command);
    int resumptions = 0;
    while (rc == kCurlRecvError) {
        if (resumptions == kMaxDownloadResumptions) {
            vlog(LOG_ERR, "Download given up: interrupted %d times in a row (return code '%d').", resumptions + 1,
                 rc);
            return DownloadResult::GeneralFailure;
        }
        vlog(LOG_INFO, "Download interrupted, resuming.");
        ++resumptions;
        rc = run_command(command);
    }
    if (rc != 0) {
        vlog(LOG_ERR, "Download failed with return code '%d'.", rc);
        return DownloadResult::GeneralFailure;
    }

    if (!info) {
        vlog(LOG_INFO, "Download finished OK.");
        return DownloadResult::Ok;
    }
    try {
        if (sha1sum_file(destination) == info->hash) {
            vlog(LOG_INFO, "Download finished OK.");
            return DownloadResult::Ok;
        }
    } catch (const std::exception& e) {
        vlog(LOG_DEBUG, "%s", e.what());
    }
    vlog(LOG_WARNING, "Downloaded file integrity check failed.");
    return DownloadResult::IntegrityCheckFailure;
}

uint64_t get_partition_size(const std::string& dir) {
    struct statvfs st {};
    if (statvfs(dir.c_str(), &st) != 0)
        throw VelmoException("get_partition_size: Failed to get size of '%s'.", dir.c_str());
    if (st.f_bavail != 0) return static_cast<uint64_t>(st.f_bavail) * st.f_bsize;
    // A RAM-backed temporary directory (ramfs) reports no blocks at all: what
    // it can take is the free memory.
    if (dir == tmp_dir()) return get_available_mem();
    return 0;
}

uint64_t get_available_mem() {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) throw VelmoException("get_available_mem: Failed to get available memory size.");
    uint64_t unit = info.mem_unit ? info.mem_unit : 1;
    return static_cast<uint64_t>(info.freeram) * unit;
}

uint64_t getRouterAppSize(const std::string& name) {
    if (!is_app_installed(name)) return 0;
    // On the router an app may be a file system of its own mounted at its
    // place under /opt; that mount point carries no prefix.
    struct statfs st {};
    if (statfs(("/opt/" + name).c_str(), &st) != 0) {
        vlog(LOG_DEBUG, "getRouterAppSize: Cannot obtain router application '%s' size.", name.c_str());
        return 0;
    }
    uint64_t size = static_cast<uint64_t>(st.f_blocks) * static_cast<uint64_t>(st.f_bsize);
    vlog(LOG_DEBUG, "getRouterAppSize: Obtained router application '%s' size=%llu.", name.c_str(), ull(size));
    return size;
}

std::string sha1sum_file(const std::string& path) {
    if (!file_exists(path)) throw VelmoException("sha1sum_file: File '%s' not found.", path.c_str());
    // Read in pieces: a firmware image need not fit into the router's memory twice.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw VelmoException("sha1sum_file: Failed to read file '%s'.", path.c_str());
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr) == 1;
    unsigned char buffer[65536];
    while (ok) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = EVP_DigestUpdate(ctx, buffer, static_cast<size_t>(n)) == 1;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, digest, &length) == 1;
    EVP_MD_CTX_free(ctx);
    close(fd);
    if (!ok) throw VelmoException("sha1sum_file: Failed to read file '%s'.", path.c_str());
    return hex_lower(digest, length);
}

}  // namespace velmo
