#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/exception.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/router.h"
#include "core/scratch_dir.h"
#include "deployment/apps.h"
#include "deployment/downloads.h"
#include "support/test_support.h"

namespace velmo {
namespace {

using test::LogCapture;
using test::TopDir;

std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(nothing raised)";
}

TEST(DownloadResultText, EveryValueAndAnUnknownOne) {
    const std::pair<int, const char*> cases[] = {
        {0, "Ok"}, {1, "NotEnoughSpace"}, {2, "IntegrityCheckFailure"}, {3, "InvalidUrl"},
        {4, "GeneralFailure"}, {5, "unknown"}, {-1, "unknown"},
    };
    for (const auto& [value, text] : cases)
        EXPECT_STREQ(download_result_to_string(static_cast<DownloadResult>(value)), text) << value;
}

TEST(PackageVersion, TextBetweenLastUnderscoreAndLastDot) {
    const std::pair<const char*, const char*> cases[] = {
        {"gps_2.1.0.tgz", "2.1.0"},
        {"my_app_1.0.tgz", "1.0"},          // the last '_' counts
        {"firmware_6.4.0.bin", "6.4.0"},
        {"gps_2.1.0.tgz.part", "2.1.0.tgz"},  // the last '.' counts
        {"noversion.tgz", "noversion"},     // no '_': the name up to the last '.'
        {"gps_1.0", "1"},
        {"gps.tgz_beta", "beta"},           // no '.' after the last '_': the rest
    };
    for (const auto& [name, version] : cases) EXPECT_EQ(package_version(name), version) << name;
}

TEST(AppVersions, IsAppVersionComparesTheRawTextBeforeTheParenthesis) {
    TopDir top;
    top.write("opt/gps/etc/version", "v2.0 (beta)");
    top.write("opt/web/etc/version", "1.4.2 build7");
    EXPECT_EQ(get_app_version("gps"), "2.0");
    EXPECT_TRUE(is_app_version("gps", "v2.0"));
    EXPECT_FALSE(is_app_version("gps", "2.0"));
    EXPECT_FALSE(is_app_version("gps", "v2.0 (beta)"));
    // get_app_version cuts at the first blank, is_app_version does not.
    EXPECT_EQ(get_app_version("web"), "1.4.2");
    EXPECT_TRUE(is_app_version("web", "1.4.2 build7"));
    EXPECT_FALSE(is_app_version("web", "1.4.2"));
    // No version file: no version at all.
    EXPECT_EQ(get_app_version("none"), "");
    EXPECT_FALSE(is_app_version("none", ""));
}

TEST(InstalledApps, OnlyDirectoriesWithANameFileAndTheirVersions) {
    TopDir top;
    top.write("opt/gps/etc/name", "gps\n");
    top.write("opt/gps/etc/version", "1.0 (2024-01-01)");
    top.write("opt/velmo_client/etc/name", "velmo_client\n");
    top.write("opt/velmo_client/etc/version", "v3.2.1");
    top.write("opt/leftover/etc/version", "9.9");  // no etc/name: not installed
    top.write("opt/readme.txt", "a file, not an app");

    auto apps = get_installed_apps();
    std::sort(apps.begin(), apps.end());
    EXPECT_EQ(apps, (std::vector<std::string>{"gps", "velmo_client"}));

    auto sorted = [](VersionList list) {
        std::sort(list.begin(), list.end());
        return list;
    };
    EXPECT_EQ(sorted(get_installed_apps_with_versions()), (VersionList{{"gps", "1.0"}, {"velmo_client", "3.2.1"}}));
    // A pair omits an app only when both name and version match.
    EXPECT_EQ(sorted(get_installed_apps_except({{"gps", "1.0"}})), (VersionList{{"velmo_client", "3.2.1"}}));
    EXPECT_EQ(sorted(get_installed_apps_except({{"gps", "1.1"}, {"velmo_client", "1.0"}, {"gpsd", "1.0"}})),
              (VersionList{{"gps", "1.0"}, {"velmo_client", "3.2.1"}}));
    top.write("opt/gps/etc/version", "1.1");
    EXPECT_EQ(sorted(get_installed_apps_except({{"gps", "1.0"}})), (VersionList{{"gps", "1.1"}, {"velmo_client", "3.2.1"}}));
}

TEST(Sha1sumFile, LowerCaseHexOfTheWholeContent) {
    TopDir top;
    std::string binary;
    for (int i = 0; i < 1000; ++i)
        for (int b = 0; b < 256; ++b) binary += static_cast<char>(b);  // NUL bytes too, 256000 bytes
    const std::pair<std::string, const char*> cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {binary, "4db96121b29822369e89d5e17ff2582fc47e10a2"},
    };
    for (const auto& [content, digest] : cases) {
        top.write("tmp/f", content);
        EXPECT_EQ(sha1sum_file(top.path() + "/tmp/f"), digest) << content.size();
    }
    std::string missing = top.path() + "/tmp/missing";
    EXPECT_EQ(message_of([&] { sha1sum_file(missing); }), "sha1sum_file: File '" + missing + "' not found.");
}

TEST(PartitionSize, ZeroBlocksAndFailures) {
    // /proc reports no blocks; it is not the temporary directory, so it has no room.
    EXPECT_EQ(get_partition_size("/proc"), 0u);
    EXPECT_GT(get_available_mem(), 0u);
    EXPECT_EQ(message_of([] { get_partition_size("/nonexistent/velmo"); }),
              "get_partition_size: Failed to get size of '/nonexistent/velmo'.");
}

TEST(RouterAppSize, NotInstalledOrNotMeasurableGivesZero) {
    TopDir top;
    LogCapture log;
    EXPECT_EQ(getRouterAppSize("velmo_unit_absent"), 0u);
    EXPECT_TRUE(log.lines().empty());
    // Installed below the prefix, but the app's own mount point /opt/<name> is measured.
    top.write("opt/velmo_unit_app/etc/name", "velmo_unit_app\n");
    EXPECT_EQ(getRouterAppSize("velmo_unit_app"), 0u);
    EXPECT_TRUE(log.contains(LOG_DEBUG, "getRouterAppSize: Cannot obtain router application 'velmo_unit_app' size."));
}

TEST(DownloadApp, OnlyWebUrlsAreValid) {
    TopDir top;
    // Empty, a curl option, a local file, another scheme, a scheme in capitals
    // or after a blank: refused before anything runs.
    for (const char* url : {"", "-K/tmp/evil", "--output=/etc/shadow", "file:///etc/shadow",
                            "ftp://127.0.0.1/file/ab12/gps_1.0.tgz", "HTTPS://127.0.0.1/file/ab12/gps_1.0.tgz",
                            " https://127.0.0.1/file/ab12/gps_1.0.tgz", "https:/127.0.0.1/file/ab12/gps_1.0.tgz"}) {
        LogCapture log;
        EXPECT_EQ(download_app({"gps", "1.0", url}, false), DownloadResult::InvalidUrl) << url;
        ASSERT_EQ(log.lines().size(), 2u) << url;
        EXPECT_TRUE(log.contains(LOG_DEBUG, "Downloading sequence started 'gps'."));
        EXPECT_TRUE(log.contains(LOG_WARNING, std::string("Invalid download URL: '") + url + "'")) << url;
    }
}

TEST(FileInfo, UrlWithoutFilePartIsARangeError) {
    EXPECT_THROW(get_file_info("https://127.0.0.1/packages/gps_1.0.tgz"), std::out_of_range);
}

TEST(InstallDownloadedApp, OnlyThePackageOfThisDownloadAndTheSameVersionRunsNothing) {
    TopDir top;
    const std::string url = "https://127.0.0.1/file/ab12/gps_1.0.tgz";
    top.write("tmp/gps_1.0.txt", "not a package");
    top.write("tmp/other_1.0.tgz", "another app");
    top.write("tmp/gps_0.9.tgz", "left by an earlier failed download");
    top.write("tmp/gps_1.0.tgz/inner", "a directory, not the downloaded file");
    for (const std::string& u : {url, std::string("https://127.0.0.1/file/ab12/gps_1.0.txt"),
                                 std::string("https://127.0.0.1/file/ab12/other_1.0.tgz"), std::string("")})
        EXPECT_EQ(message_of([&] { install_downloaded_app("gps", false, u); }),
                  "Package for installing application 'gps' was not found.")
            << u;
    EXPECT_TRUE(top.exists("tmp/gps_0.9.tgz"));

    // The installed version file reads the package version: the package is
    // deleted and nothing else happens; the leftover of another version stays.
    top.write("opt/gps/etc/name", "gps\n");
    top.write("opt/gps/etc/version", "1.0 (2024-01-01)");
    ASSERT_EQ(system(("rm -r " + top.path() + "/tmp/gps_1.0.tgz").c_str()), 0);
    top.write("tmp/gps_1.0.tgz", "never unpacked");
    install_downloaded_app("gps", false, url);
    EXPECT_FALSE(top.exists("tmp/gps_1.0.tgz"));
    EXPECT_FALSE(top.exists("tmp/module"));
    EXPECT_TRUE(top.exists("tmp/gps_0.9.tgz"));
    EXPECT_TRUE(top.exists("tmp/other_1.0.tgz"));
}

TEST(ScratchDir, APlantedLinkIsRemovedNotFollowed) {
    TopDir top;
    top.write("victim/keep", "precious");
    top.write("victim.txt", "precious");
    top.write("tmp/other", "");
    for (const char* target : {"victim", "victim.txt", "nowhere"}) {
        std::string link = top.path() + "/tmp/module";
        ASSERT_EQ(symlink((top.path() + "/" + target).c_str(), link.c_str()), 0);
        EXPECT_FALSE(scratch_dir_is_ours(module_tmp_dir())) << target;
        scratch_dir_remove(module_tmp_dir());
        EXPECT_FALSE(top.exists("tmp/module")) << target;
        struct stat st {};
        EXPECT_NE(lstat(link.c_str(), &st), 0) << target;
    }
    EXPECT_EQ(top.read("victim/keep"), "precious");
    EXPECT_EQ(top.read("victim.txt"), "precious");
    // A real directory is ours and is removed with its content.
    top.write("tmp/module/gps/etc/name", "gps\n");
    EXPECT_TRUE(scratch_dir_is_ours(module_tmp_dir()));
    scratch_dir_remove(module_tmp_dir());
    EXPECT_FALSE(top.exists("tmp/module"));
}

// Someone who keeps planting the link again right after it is unlinked must
// still never get rm to follow it.
TEST(ScratchDir, ALinkPlantedAgainAndAgainIsNeverFollowed) {
    TopDir top;
    top.write("victim/keep", "precious");
    top.write("tmp/other", "");
    const std::string target = top.path() + "/victim";
    const std::string link = top.path() + "/tmp/module";
    std::atomic<bool> stop{false};
    std::thread planter([&] {
        while (!stop) symlink(target.c_str(), link.c_str());
    });
    for (int i = 0; i < 20 && top.exists("victim/keep"); ++i) scratch_dir_remove(module_tmp_dir());
    stop = true;
    planter.join();
    EXPECT_EQ(top.read("victim/keep"), "precious");
}

TEST(UninstallApp, NotInstalledOrNoPlainNameIsSkipped) {
    TopDir top;
    LogCapture log;
    top.write("etc/name", "a name file one level up");  // opt/.. would look installed
    top.write("var/data/keep", "x");
    for (const char* name : {"gps", "..", "../var", ""}) {
        uninstall_app(name);
        EXPECT_TRUE(log.contains(LOG_INFO, std::string("Uninstalling '") + name + "' (skipped: application not found)."))
            << name;
    }
    EXPECT_EQ(log.lines().size(), 4u);
    EXPECT_TRUE(top.exists("etc/name"));
    EXPECT_TRUE(top.exists("var/data/keep"));
}

// The byte counts of the reply are taken leniently (a negative count as its
// low 32 bits, a float beyond 64 bits as the largest count) so that the
// digest stays in use; a reply of failure carries the server's message.
TEST(FileInfo, ReplyByteCountsAndFailures) {
    const std::string url = "https://127.0.0.1/fileinfo/gps_1.0.tgz";
    struct Case {
        const char* reply;
        uint64_t size;
        uint64_t usize;
    };
    const Case cases[] = {
        {R"({"success":true,"data":{"size":1024,"usize":4096,"hash":"ab"}})", 1024, 4096},
        {R"({"success":true,"data":{"size":-1,"usize":2.9,"hash":"ab"}})", 4294967295u, 2},
        {R"({"success":true,"data":{"size":1e300,"usize":true,"hash":"ab"}})", UINT64_MAX, 1},
        {R"({"success":true,"data":{"size":-1e300,"usize":-0.5,"hash":"ab"}})", 0, 0},
    };
    for (const Case& c : cases) {
        const FileInfo info = parse_file_info_reply(c.reply, url);
        EXPECT_EQ(info.size, c.size) << c.reply;
        EXPECT_EQ(info.usize, c.usize) << c.reply;
        EXPECT_EQ(info.hash, "ab");
    }
    EXPECT_EQ(message_of([&] { parse_file_info_reply(R"({"success":false,"message":"gone"})", url); }),
              "Failed to obtain file info from '" + url + "' (content server: gone).");
    for (const char* bad : {"", "{\"success\":1}", R"({"success":true,"data":{"size":"1","usize":1,"hash":"a"}})",
                            R"({"success":true,"data":{"size":1,"usize":1,"hash":null}})"})
        EXPECT_THROW(parse_file_info_reply(bad, url), std::exception) << bad;
}

}  // namespace
}  // namespace velmo
