#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "core/exception.h"
#include "desired_state/accounts.h"
#include "support/test_support.h"

using namespace velmo;

// Only operations that run no command are tested here: adduser and deluser are
// the router's, so create_user and delete_user run in the simulated router.
namespace {

struct AccountsTest : ::testing::Test {
    test::TopDir top;

    void files(const std::string& passwd, const std::string& shadow, const std::string& group = "") {
        top.write("etc/passwd", passwd);
        top.write("etc/shadow", shadow);
        top.write("etc/group", group);
    }
    ino_t inode(const std::string& relative) const {
        struct stat st {};
        EXPECT_EQ(stat((top.path() + "/" + relative).c_str(), &st), 0);
        return st.st_ino;
    }
    static UserAccount desired(const std::string& name, std::optional<std::string> hash, UserRole role) {
        UserAccount a;
        a.name = name;
        a.password_hash = std::move(hash);
        a.role = role;
        return a;
    }
};

const char* kPasswd =
    "root:x:0:0:root:/root:/bin/sh\n"
    "daemon:x:1:1:daemon:/usr/sbin:/bin/false\n"
    "svc:*:999:999:Service:/var/svc:/bin/false:extra\n"
    "op:x:1001:1000:Operator,,,:/home/op:/bin/sh\n"
    "neg:x:5:-5:Negative:/:/bin/sh\n";
const char* kShadow =
    "root:$1$r$root:19000:0:99999:7:::\n"
    "daemon:*:19000:0:99999:7:::\n"
    "svc:!:19000:0:99999:7:::reserved\n"
    "op:$1$o$first:19001:0:99999:7:::\n"
    "op:$1$o$second:19002:0:99999:7:::\n"
    "neg::::::::\n";
const char* kGroup =
    "root:x:0:admin,\n"
    "users:x:1000:op,guest\n"
    "svc:x:999:\n";

}  // namespace

TEST_F(AccountsTest, FilesAreRewrittenInTheirOwnLineFormats) {
    files(kPasswd, kShadow, kGroup);
    write_passwd_file(read_passwd_file());
    write_shadow_file(read_shadow_file());
    write_group_file(read_group_file());
    // The password field becomes x, further passwd fields are dropped, the
    // reserved shadow field is written empty, a trailing comma disappears.
    EXPECT_EQ(top.read("etc/passwd"),
              "root:x:0:0:root:/root:/bin/sh\n"
              "daemon:x:1:1:daemon:/usr/sbin:/bin/false\n"
              "svc:x:999:999:Service:/var/svc:/bin/false\n"
              "op:x:1001:1000:Operator,,,:/home/op:/bin/sh\n"
              "neg:x:5:-5:Negative:/:/bin/sh\n");
    EXPECT_EQ(top.read("etc/shadow"),
              "root:$1$r$root:19000:0:99999:7:::\n"
              "daemon:*:19000:0:99999:7:::\n"
              "svc:!:19000:0:99999:7:::\n"
              "op:$1$o$first:19001:0:99999:7:::\n"
              "op:$1$o$second:19002:0:99999:7:::\n"
              "neg::::::::\n");
    EXPECT_EQ(top.read("etc/group"), "root:x:0:admin\nusers:x:1000:op,guest\nsvc:x:999:\n");
    auto groups = read_group_file();
    EXPECT_EQ(groups[1].members, (std::vector<std::string>{"op", "guest"}));
    EXPECT_TRUE(groups[2].members.empty());

    UserAccount fresh;  // a record without a hash is written with "!"
    fresh.name = "new";
    write_shadow_file({fresh});
    EXPECT_EQ(top.read("etc/shadow"), "new:!:::::::\n");
}

TEST_F(AccountsTest, BadLinesFailTheWholeReadingWithTheLibraryErrors) {
    struct Case {
        const char* file;
        const char* content;
        bool range;  // std::out_of_range, else std::invalid_argument
        const char* what;
    };
    const Case cases[] = {
        {"etc/passwd", "root:x:0:0:root:/root\n", true,
         "vector::_M_range_check: __n (which is 6) >= this->size() (which is 6)"},
        {"etc/passwd", "root:x:0:0:root:/root:/bin/sh\n\nop:x:1:1:::/bin/sh\n", true,
         "vector::_M_range_check: __n (which is 0) >= this->size() (which is 0)"},
        {"etc/passwd", "op:x:one:1:::/bin/sh\n", false, "stoi"},
        {"etc/passwd", "op:x:1:99999999999:::/bin/sh\n", true, "stoi"},
        {"etc/shadow", "op:hash:1:0:99999:7\n", true,
         "vector::_M_range_check: __n (which is 6) >= this->size() (which is 6)"},
        {"etc/group", "root:x\n", true, "vector::_M_range_check: __n (which is 2) >= this->size() (which is 2)"},
        {"etc/group", "root:x: \n", false, "stoi"},
    };
    for (const auto& c : cases) {
        files("", "", "");
        top.write(c.file, c.content);
        try {
            read_passwd_file();
            read_shadow_file();
            read_group_file();
            ADD_FAILURE() << c.content;
        } catch (const std::out_of_range& e) {
            EXPECT_TRUE(c.range) << c.content;
            EXPECT_STREQ(e.what(), c.what) << c.content;
        } catch (const std::invalid_argument& e) {
            EXPECT_FALSE(c.range) << c.content;
            EXPECT_STREQ(e.what(), c.what) << c.content;
        }
    }
    // Ids as stoi reads them: leading blanks skipped, trailing text ignored.
    files("", "");
    top.write("etc/passwd", "op:x: 7z:-3x:::/bin/sh\n");
    auto accounts = read_passwd_file();
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0].uid, 7);
    EXPECT_EQ(accounts[0].gid, -3);
}

TEST_F(AccountsTest, CurrentUsersAndTheAccountsAPurgeRemoves) {
    files(kPasswd, kShadow, kGroup);
    auto users = get_current_users();
    ASSERT_EQ(users.size(), 4u) << "daemon is never listed";
    const struct {
        const char* name;
        const char* hash;
        UserRole role;
    } expected[] = {{"root", "$1$r$root", UserRole::Admin},
                    {"svc", "!", UserRole::Admin},
                    {"op", "$1$o$first", UserRole::User},  // the first shadow line of a name counts
                    {"neg", "", UserRole::Admin}};         // gids compare as signed numbers
    for (size_t i = 0; i < users.size(); ++i) {
        EXPECT_EQ(users[i].name, expected[i].name);
        EXPECT_EQ(users[i].password_hash, std::optional<std::string>(expected[i].hash)) << users[i].name;
        EXPECT_EQ(users[i].role, expected[i].role) << users[i].name;
    }

    std::vector<std::string> purged;
    for (const auto& u : get_users_to_purge({desired("op", std::nullopt, UserRole::EnsureNotPresent)}))
        purged.push_back(u.name);
    EXPECT_EQ(purged, (std::vector<std::string>{"svc", "neg"})) << "system users and named ones stay";

    top.write("etc/shadow", "root:x:1:0:99999:7:::\n");
    try {
        get_current_users();
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "map::at");
    }

    for (const char* f : {"etc/passwd", "etc/shadow", "etc/group"}) unlink((top.path() + "/" + f).c_str());
    EXPECT_TRUE(get_current_users().empty()) << "unreadable files read as empty";
}

TEST_F(AccountsTest, RoleChangeMovesThePrimaryGroupAndTheMemberships) {
    files(kPasswd, kShadow, "root:x:0:admin\nwheel:x:10:op\nusers:x:1000:guest,op,op\n");
    UserAccount current = desired("op", std::nullopt, UserRole::User);
    set_user_role(current, desired("op", std::nullopt, UserRole::Admin));
    EXPECT_EQ(read_passwd_file()[3].gid, 0);
    EXPECT_EQ(top.read("etc/group"), "root:x:0:admin,op\nwheel:x:10:\nusers:x:1000:guest,op\n")
        << "every group loses the first occurrence once";

    set_user_role(desired("op", std::nullopt, UserRole::Admin), desired("op", std::nullopt, UserRole::User));
    EXPECT_EQ(read_passwd_file()[3].gid, 1000);
    EXPECT_EQ(top.read("etc/group"), "root:x:0:admin\nwheel:x:10:\nusers:x:1000:guest,op\n");

    top.write("etc/group", "wheel:x:10:op\n");  // no group of the new gid: the name is in no list
    set_user_role(current, desired("op", std::nullopt, UserRole::Admin));
    EXPECT_EQ(top.read("etc/group"), "wheel:x:10:\n");
}

TEST_F(AccountsTest, PasswordRewriteKeepsShadowsOwnerAndMode) {
    files(kPasswd, kShadow, kGroup);
    const std::string shadow = top.path() + "/etc/shadow";
    ASSERT_EQ(chmod(shadow.c_str(), 0640), 0);
    ASSERT_EQ(chown(shadow.c_str(), 0, 42), 0);
    set_user_password("op", "$6$new");
    auto records = read_shadow_file();
    EXPECT_EQ(records[3].password_hash, "$6$new");
    EXPECT_EQ(records[4].password_hash, "$1$o$second") << "only the first record of the name";
    EXPECT_EQ(records[3].last_change, "19001");
    struct stat st {};
    ASSERT_EQ(stat(shadow.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_gid, 42u);

    set_user_password("nobody", "$6$x");  // no record matches: the file is still rewritten, unchanged
    EXPECT_EQ(read_shadow_file()[3].password_hash, "$6$new");
}

TEST_F(AccountsTest, AnAccountFileThatCannotBeReadIsNeverRewrittenEmpty) {
    files(kPasswd, kShadow, kGroup);
    for (const char* dir : {"", "/etc"}) ASSERT_EQ(chmod((top.path() + dir).c_str(), 0777), 0);
    for (const char* f : {"/etc/shadow", "/etc/passwd"}) {
        ASSERT_EQ(chown((top.path() + f).c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod((top.path() + f).c_str(), 0200), 0);
    }
    // An agent that may replace the files but cannot read them must fail
    // instead of writing them back without their accounts.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        int failures = 0;
        try {
            set_user_password("op", "$6$x");
        } catch (const VelmoException& e) {
            failures += std::string(e.what()) == "Failed to open file '" + top.path() + "/etc/shadow': Permission denied";
        }
        try {
            set_user_role(desired("op", std::nullopt, UserRole::User), desired("op", std::nullopt, UserRole::Admin));
        } catch (const VelmoException& e) {
            failures += std::string(e.what()) == "Failed to open file '" + top.path() + "/etc/passwd': Permission denied";
        }
        _exit(failures == 2 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(top.read("etc/shadow"), kShadow);
    EXPECT_EQ(top.read("etc/passwd"), kPasswd);
    EXPECT_EQ(top.read("etc/group"), kGroup);
}

TEST_F(AccountsTest, HostileFieldsNeverReachTheAccountFiles) {
    files(kPasswd, kShadow, kGroup);
    const std::string before = top.read("etc/shadow");
    // A hash that would add a password-less root line, split a record, or cut
    // the file at a NUL byte is refused and leaves the file as it was.
    for (const std::string& hash : {std::string("x\nroot::0:0:99999:7:::"), std::string("a:b"),
                                    std::string("ab\0cd", 5)}) {
        EXPECT_THROW(set_user_password("op", hash), VelmoException);
        EXPECT_EQ(top.read("etc/shadow"), before);
    }
    // Names that could not be read back as one account are not created, and
    // nothing runs; the length limit is 120 bytes.
    struct Case {
        std::string name;
        const char* what;
    };
    const std::string long_name(121, 'a');
    const Case cases[] = {
        {long_name, nullptr},
        {"op\nroot", "Username holds ':', ',' or a control character (cannot create user)."},
        {"a:0", "Username holds ':', ',' or a control character (cannot create user)."},
        {"a,root", "Username holds ':', ',' or a control character (cannot create user)."},
    };
    for (const auto& c : cases) {
        try {
            create_user(desired(c.name, "h", UserRole::Admin));
            ADD_FAILURE() << c.name;
        } catch (const VelmoException& e) {
            EXPECT_EQ(e.what(), c.what ? std::string(c.what) : "Username '" + c.name + "' is too long (cannot create user).");
        }
    }
}

TEST_F(AccountsTest, SyncDecisionsThatNeedNoCommand) {
    files(kPasswd, kShadow, kGroup);
    const auto current = get_current_users();
    const ino_t passwd = inode("etc/passwd"), shadow = inode("etc/shadow"), group = inode("etc/group");

    sync_user(desired("op", "$1$o$first", UserRole::User), current);     // already in line
    sync_user(desired("ghost", std::nullopt, UserRole::EnsureNotPresent), current);  // already absent
    sync_user(desired("root", std::nullopt, UserRole::User), current);   // a system user keeps its role
    EXPECT_EQ(inode("etc/passwd"), passwd);
    EXPECT_EQ(inode("etc/shadow"), shadow);
    EXPECT_EQ(inode("etc/group"), group) << "nothing in line was rewritten";

    try {
        sync_user(desired("new", std::nullopt, UserRole::Admin), current);
        FAIL();
    } catch (const VelmoException& e) {
        EXPECT_STREQ(e.what(), "Cannot create user without password.");
    }

    // root asked to be absent is kept; only its password follows the profile.
    sync_user(desired("root", "$6$root", UserRole::EnsureNotPresent), current);
    EXPECT_EQ(read_shadow_file()[0].password_hash, "$6$root");
    EXPECT_EQ(read_passwd_file()[0].gid, 0);
    EXPECT_EQ(inode("etc/passwd"), passwd);

    // A role and a password change in one call.
    sync_user(desired("op", "$6$op", UserRole::Admin), current);
    EXPECT_EQ(read_passwd_file()[3].gid, 0);
    EXPECT_EQ(read_shadow_file()[3].password_hash, "$6$op");
    EXPECT_EQ(top.read("etc/group"), "root:x:0:admin,op\nusers:x:1000:guest\nsvc:x:999:\n");
}
