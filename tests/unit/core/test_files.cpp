#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "core/exception.h"
#include "core/paths.h"
#include "core/utils.h"
#include "support/test_support.h"

using namespace velmo;

namespace {
std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}
}  // namespace

TEST(FileWrite, ReplacesWholeFileAtomicallyKeepingOwnerGroupAndMode) {
    test::TopDir top;
    const std::string path = top.path() + "/shadow";
    file_write("first version, longer", path, "w");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "a new file";
    ASSERT_EQ(chown(path.c_str(), 1234, 42), 0);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    file_write("second", path, "w");
    EXPECT_EQ(file_read(path), "second");
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 42u);
    EXPECT_EQ(file_list_dir(top.path(), FILE_KIND_BOTH, "", ""), std::vector<std::string>{"shadow"})
        << "no temporary file is left beside the target";

    file_write("third", path, "w", 0600);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "a requested mode replaces the old one";
    EXPECT_EQ(st.st_uid, 1234u);
}

// A writer that cannot give the new file the old owner must not replace it:
// the content would otherwise become the writer's, readable where it was not.
TEST(FileWrite, FailsRatherThanChangeTheOwner) {
    test::TopDir top;
    ASSERT_EQ(chmod(top.path().c_str(), 0777), 0);
    const std::string path = top.path() + "/shadow";
    file_write("root:secret", path, "w");
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        try {
            file_write("nobody:owns", path, "w");
        } catch (const VelmoException&) {
            _exit(0);
        }
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write is refused";
    EXPECT_EQ(file_read(path), "root:secret");
    EXPECT_EQ(file_list_dir(top.path(), FILE_KIND_BOTH, "", ""), std::vector<std::string>{"shadow"});
}

// Writing through symbolic links: the links stay, the final target is
// replaced (and made when a dangling link points at a missing file).
TEST(FileWrite, WritesThroughSymbolicLinks) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links;  // link -> its text
        std::string target;
        bool target_exists;
    } cases[] = {
        {"absolute", {{"settings", "@/real/settings"}}, "real/settings", true},
        {"relative", {{"settings", "real/settings"}}, "real/settings", true},
        {"chain", {{"settings", "hop"}, {"hop", "real/settings"}}, "real/settings", true},
        {"dangling", {{"settings", "real/new"}}, "real/new", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TopDir top;
        if (c.target_exists) {
            top.write(c.target, "old");
            ASSERT_EQ(chmod((top.path() + "/" + c.target).c_str(), 0640), 0);
        } else {
            file_ensure_dir_exists(top.path() + "/real");
        }
        for (const auto& [link, text] : c.links) {
            std::string to = text[0] == '@' ? top.path() + text.substr(1) : text;
            ASSERT_EQ(symlink(to.c_str(), (top.path() + "/" + link).c_str()), 0);
        }
        file_write("new", top.path() + "/settings", "w");
        struct stat st {};
        for (const auto& link : c.links) {
            ASSERT_EQ(lstat((top.path() + "/" + link.first).c_str(), &st), 0);
            EXPECT_TRUE(S_ISLNK(st.st_mode)) << link.first << " is still a link";
        }
        EXPECT_EQ(top.read(c.target), "new");
        ASSERT_EQ(stat((top.path() + "/" + c.target).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, c.target_exists ? 0640u : 0644u);
        EXPECT_EQ(file_list_dir(top.path() + "/real", FILE_KIND_BOTH, "", "").size(), 1u)
            << "no temporary file is left beside the target";
    }
}

TEST(FileWrite, AppendsStopsAtNulAndReportsFailures) {
    test::TopDir top;
    const std::string path = top.path() + "/ca.crt";
    file_write("A", path, "w");
    file_write("B", path, "a");
    file_write(std::string("C\0D", 3), path, "a");
    EXPECT_EQ(file_read(path), "ABC");
    try {
        file_write("x", top.path() + "/missing/dir/file", "w");
        FAIL();
    } catch (const VelmoException& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Failed to open file '" + top.path() + "/missing/dir/file': No such file or directory");
    }
    EXPECT_THROW(file_write("x", path, nullptr), VelmoException);
}

TEST(ScratchFiles, NeverFollowAPlantedSymlink) {
    test::TopDir top;
    const std::string victim = top.path() + "/victim";
    file_write("precious", victim, "w");
    const std::string scratch = top.path() + "/config.gz";
    ASSERT_EQ(symlink(victim.c_str(), scratch.c_str()), 0);
    binarybuff_to_file("\x1f\x8b", 2, scratch);
    EXPECT_EQ(file_read(victim), "precious");
    EXPECT_EQ(file_read(scratch), "\x1f\x8b");
    struct stat st {};
    ASSERT_EQ(lstat(scratch.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::string other = top.path() + "/cert_pubkey.tmp";
    ASSERT_EQ(symlink(victim.c_str(), other.c_str()), 0);
    ASSERT_TRUE(scratch_file_create(other));
    ASSERT_EQ(lstat(other.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(file_read(victim), "precious");
    EXPECT_THROW(binarybuff_to_file(nullptr, 1, scratch), VelmoException);
    EXPECT_THROW(binarybuff_to_file("x", 1, ""), VelmoException);
}

TEST(FileCopy, CopiesTextAndRejectsMissingSource) {
    test::TopDir top;
    top.write("etc/ca.crt.default", "CA");
    file_copy(top.path() + "/etc/ca.crt.default", top.path() + "/ca.crt");
    EXPECT_EQ(top.read("ca.crt"), "CA");
    try {
        file_copy(top.path() + "/nope", top.path() + "/ca.crt");
        FAIL();
    } catch (const VelmoException& e) {
        EXPECT_EQ(std::string(e.what()), "file_copy: Source file '" + top.path() + "/nope' does not exist.");
    }
}

TEST(FileNames, NameAndDir) {
    EXPECT_EQ(file_get_name("/tmp/module/a.tgz"), "a.tgz");
    EXPECT_EQ(file_get_name("a.tgz"), "a.tgz");
    EXPECT_EQ(file_get_name("/tmp/"), "");
    EXPECT_EQ(file_get_dir("/tmp/module/a.tgz"), "/tmp/module");
    EXPECT_EQ(file_get_dir("/x"), "");
    EXPECT_EQ(file_get_dir("x"), "x");
    EXPECT_NO_THROW(file_get_name(std::string(199, 'a')));
    EXPECT_THROW(file_get_name(std::string(200, 'a')), std::overflow_error);
}

TEST(FileListDir, FiltersByKindPrefixAndExcludedSuffix) {
    test::TopDir top;
    top.write("d/settings.eth", "");
    top.write("d/settings.eth.hash", "");
    top.write("d/other", "");
    file_ensure_dir_exists(top.path() + "/d/settings.dir");
    const std::string d = top.path() + "/d";
    symlink((d + "/other").c_str(), (d + "/settings.link").c_str());
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/settings.sock", d.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    EXPECT_EQ(sorted(file_list_dir(d, FILE_KIND_FILES, "settings.", ".hash")), (std::vector<std::string>{"settings.eth"}));
    EXPECT_EQ(sorted(file_list_dir(d, FILE_KIND_DIRS, "", "")), (std::vector<std::string>{"settings.dir"}));
    EXPECT_EQ(sorted(file_list_dir(d, FILE_KIND_BOTH, "settings.", "")),
              (std::vector<std::string>{"settings.dir", "settings.eth", "settings.eth.hash"}))
        << "no links, sockets, '.' or '..'";
    EXPECT_TRUE(file_list_dir(d, 3, "", "").empty());
    EXPECT_TRUE(file_list_dir(d + "/missing", FILE_KIND_BOTH, "", "").empty());
    close(sock);
}

TEST(FileEnsurePath, CreatesEveryComponentAndIsIdempotent) {
    test::TopDir top;
    const std::string path = top.path() + "/a/b/c/";
    file_ensure_path_exists(path);
    EXPECT_TRUE(file_exists(top.path() + "/a/b/c"));
    EXPECT_NO_THROW(file_ensure_path_exists(path));
    top.write("f", "");
    try {
        file_ensure_dir_exists(top.path() + "/f");
        FAIL();
    } catch (const VelmoException& e) {
        EXPECT_STREQ(e.what(), "file_ensure_dir_exists: 'Not a directory'.");
    }
}

TEST(DirRemoveRecursive, RemovesTreeButNeverRootOrEmpty) {
    test::TopDir top;
    top.write("tmp/module/x/y", "1");
    dir_remove_recursive(top.path() + "/tmp/module/");
    EXPECT_FALSE(top.exists("tmp/module"));
    EXPECT_TRUE(top.exists("tmp"));
    dir_remove_recursive("");
    dir_remove_recursive("/");
    EXPECT_TRUE(file_exists("/bin/sh"));
    top.write("tmp/a b/f", "1");
    top.write("tmp/a", "keep");
    dir_remove_recursive(top.path() + "/tmp/a b");
    EXPECT_FALSE(top.exists("tmp/a b"));
    EXPECT_TRUE(top.exists("tmp/a")) << "a blank in the path does not split it";
}

TEST(FileKeyValue, FindsExactKeyOrRaises) {
    test::TopDir top;
    top.write("keys", "PX=1\nP=2947\nQ=a=b\nR=x\r\n");
    const std::string path = top.path() + "/keys";
    EXPECT_EQ(file_get_key_value(path, "P"), "2947");
    EXPECT_EQ(file_get_key_value(path, "Q"), "a");
    EXPECT_EQ(file_get_key_value(path, "R"), "x\r");
    try {
        file_get_key_value(path, "p");
        FAIL();
    } catch (const VelmoException& e) {
        EXPECT_EQ(std::string(e.what()), "Key 'p' was not found in '" + path + "' file.");
    }
}

TEST(Paths, TopPrefixMovesEveryPath) {
    std::string saved = FilesystemPaths::_top;
    FilesystemPaths::_top = "/tmp/x";
    EXPECT_EQ(heartbeat_path(), "/tmp/x/var/data/velmo_client/heartbeat");
    EXPECT_EQ(module_tmp_dir(), "/tmp/x/tmp/module/");
    EXPECT_EQ(settings_file_path(), "/tmp/x/opt/velmo_client/etc/settings");
    EXPECT_EQ(ca_cert_path(), "/tmp/x/var/data/velmo_client/ca.crt");
    EXPECT_EQ(app_dir("gps"), "/tmp/x/opt/gps");
    EXPECT_EQ(web_dir("gps"), "/tmp/x/var/www/gps");
    FilesystemPaths::_top = "";
    EXPECT_EQ(client_cert_path(), "/var/data/velmo_client/client.crt");
    EXPECT_EQ(last_bs_address_path(), "/var/data/velmo_client/last_bs_address");
    FilesystemPaths::_top = saved;
}
