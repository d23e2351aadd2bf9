#pragma once
// Packages from the content server into the temporary directory, with space
// checks, resumption of interrupted transfers and a SHA-1 integrity check.
#include <cstdint>
#include <optional>
#include <string>

#include "core/state.h"

namespace velmo {

enum class DownloadResult : int { Ok = 0, NotEnoughSpace = 1, IntegrityCheckFailure = 2, InvalidUrl = 3, GeneralFailure = 4 };
const char* download_result_to_string(DownloadResult result);

struct FileInfo {
    uint64_t size = 0;   // bytes of the file
    uint64_t usize = 0;  // bytes its content needs once unpacked
    std::string hash;    // SHA-1 as the server gives it
};

// Name of the file a download of the URL writes into the temporary
// directory: the part after the URL's last '/' (the whole URL without one).
std::string download_file_name(const std::string& url);
DownloadResult download_app(const DesiredApp& app, bool is_firmware);
FileInfo get_file_info(const std::string& url);
// The content server's JSON reply about a file; raises the JSON library's
// errors, or VelmoException when the server reports a failure.
FileInfo parse_file_info_reply(const std::string& reply, const std::string& info_url);
DownloadResult download_file(const std::string& url, const std::string& destination, const std::optional<FileInfo>& info);
uint64_t get_partition_size(const std::string& dir);
uint64_t get_available_mem();
uint64_t getRouterAppSize(const std::string& name);
std::string sha1sum_file(const std::string& path);

}  // namespace velmo
