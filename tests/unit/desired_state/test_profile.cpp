#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/exception.h"
#include "core/log.h"
#include "core/utils.h"
#include "desired_state/profile.h"
#include "support/test_support.h"

using namespace velmo;
using nlohmann::json;

namespace {

struct ProfileTest : ::testing::Test {
    test::LogCapture log;
    static ConfigProfile p(const char* text) { return json::parse(text); }
};

unsigned file_mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : ~0u;
}

}  // namespace

TEST_F(ProfileTest, StoredFormRoundTripsAndBadFilesAreQuarantined) {
    test::TopDir top;
    file_ensure_path_exists(top.path() + "/var/data/velmo_client");
    ConfigProfile profile = p(R"({"b":1,"a":{"d":2,"c":3},"u":"Grüße"})");
    save_profile(profile);
    EXPECT_EQ(top.read("var/data/velmo_client/config_profile.conf"), "{\"a\":{\"c\":3,\"d\":2},\"b\":1,\"u\":\"Grüße\"}");
    EXPECT_EQ(file_mode(top.path() + "/var/data/velmo_client/config_profile.conf"), 0600u) << "it holds password hashes";
    ConfigProfile loaded;
    load_profile(loaded);
    EXPECT_EQ(loaded, profile);

    save_profile(nullptr);
    EXPECT_EQ(top.read("var/data/velmo_client/config_profile.conf"), "null");
    loaded = json::object();
    load_profile(loaded);
    EXPECT_TRUE(loaded.is_null());
    EXPECT_FALSE(top.exists("var/data/velmo_client/config_profile.conf_err")) << "null is a valid stored profile";

    for (const char* bad : {"", "{\"a\":1} trailing", "{/*c*/}"}) {
        top.write("var/data/velmo_client/config_profile.conf_err", "older");
        top.write("var/data/velmo_client/config_profile.conf", bad);
        chmod((top.path() + "/var/data/velmo_client/config_profile.conf").c_str(), 0644);
        loaded = json::object();
        log.clear();
        load_profile(loaded);
        EXPECT_TRUE(loaded.is_null()) << bad;
        EXPECT_FALSE(top.exists("var/data/velmo_client/config_profile.conf"));
        EXPECT_EQ(top.read("var/data/velmo_client/config_profile.conf_err"), bad);
        EXPECT_EQ(file_mode(top.path() + "/var/data/velmo_client/config_profile.conf_err"), 0600u);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].priority, LOG_WARNING);
        EXPECT_TRUE(string_starts_with(log.lines()[0].text, "Failed to load config profile from file '" + top.path() +
                                                                 "/var/data/velmo_client/config_profile.conf'. ("));
    }
    clear_profile(profile);
    EXPECT_TRUE(profile.is_null());
}

TEST_F(ProfileTest, ReplaceKeepsTheOldProfileOnAParseError) {
    ConfigProfile profile = p(R"({"a":1})");
    EXPECT_THROW(replace_profile_from_text(profile, "{bad"), json::parse_error);
    EXPECT_EQ(profile, p(R"({"a":1})"));
    replace_profile_from_text(profile, R"({"b":2})");
    EXPECT_EQ(profile, p(R"({"b":2})"));
}

TEST_F(ProfileTest, ClientOverrideCreatesMissingLevels) {
    ConfigProfile profile;
    set_client_override(profile, "2.1.0", "https://c/file/x/velmo_client_2.1.0.tgz");
    EXPECT_EQ(profile.dump(),
              R"({"apps":{"velmo_client":{"url":"https://c/file/x/velmo_client_2.1.0.tgz","version":"2.1.0"}}})");
    profile = p(R"({"apps":{"gps":{"version":"1"},"velmo_client":{"version":"1.0","url":"old","x":1}},"k":1})");
    set_client_override(profile, "2.1.0", "new");
    EXPECT_EQ(profile.dump(),
              R"({"apps":{"gps":{"version":"1"},"velmo_client":{"url":"new","version":"2.1.0","x":1}},"k":1})");
}

TEST_F(ProfileTest, AppEntriesAreValidatedOneByOne) {
    struct Case {
        const char* entry;
        bool accepted;
        const char* debug_line;  // nullptr: no debug line
    } cases[] = {
        {R"({"version":"deleted"})", true, nullptr},
        {R"({"version":"1.2","url":"https://c/file/a/gps_1.2.tgz"})", true, nullptr},
        {R"({"version":"1.2"})", false, "load_app_details: Application 'gps' does not contain 'url'."},
        {R"({"url":"u"})", false, "load_app_details: Application 'gps' does not contain 'version'."},
        {R"("1.2")", false, "load_app_details: Application 'gps' does not contain 'version'."},
        {R"({"version":1.2,"url":"u"})", false,
         "load_app_details: Application 'gps' contains invalid data in 'version' element."},
        {R"({"version":"1.2","url":5})", false,
         "load_app_details: Application 'gps' contains invalid data in 'url' element."},
        {"null", false, nullptr},
    };
    for (const auto& c : cases) {
        log.clear();
        auto apps = get_desired_apps(p((std::string(R"({"apps":{"gps":)") + c.entry + "}}").c_str()));
        EXPECT_EQ(apps.size(), c.accepted ? 1u : 0u) << c.entry;
        if (c.debug_line) {
            EXPECT_TRUE(log.contains(LOG_DEBUG, c.debug_line)) << c.entry;
        }
        EXPECT_EQ(log.contains(LOG_WARNING,
                               "Warning: Application 'gps' mentioned in config profile will be ignored (invalid config "
                               "data)."),
                  !c.accepted)
            << c.entry;
    }
    auto apps = get_desired_apps(p(R"({"apps":{"gps":{"version":"deleted","url":7}}})"));
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].version, "deleted");
    EXPECT_EQ(apps[0].url, "");
}

TEST_F(ProfileTest, SectionsOfTheWrongTypeAreIgnoredWithAWarning) {
    EXPECT_TRUE(get_desired_settings(p(R"({"settings":"x"})")).empty());
    EXPECT_TRUE(log.contains(LOG_WARNING, "Warning: Element 'settings' has invalid datatype. Ignoring."));
    log.clear();
    EXPECT_TRUE(get_desired_settings(p(R"({"settings":null})")).empty());
    EXPECT_TRUE(get_desired_apps(p("[1,2]")).empty());
    EXPECT_TRUE(get_desired_users(p("null")).empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ProfileTest, FirmwareComesFromTheSystemSection) {
    EXPECT_FALSE(get_desired_firmware(p(R"({"system":{}})")));
    EXPECT_FALSE(get_desired_firmware(p(R"({})")));
    auto fw = get_desired_firmware(p(R"({"system":{"firmware":{"version":"6.4.0","url":"u"}}})"));
    ASSERT_TRUE(fw);
    EXPECT_EQ(fw->name, "firmware");
    EXPECT_EQ(fw->version, "6.4.0");
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ProfileTest, SettingsAsMapAndIni) {
    ConfigProfile profile = p(R"({"settings":{"B":{"v":2},"A":{"v":"1"},"C":{"v":"x = y"}}})");
    auto map = get_desired_settings(profile);
    EXPECT_EQ(map, (std::map<std::string, std::string>{{"A", "1"}, {"B", ""}, {"C", "x = y"}}));
    EXPECT_EQ(log.count("get_desired_settings: Setting 'B' is NULL. "
                        "([json.exception.type_error.302] type must be string, but is number)"),
              1u);
    EXPECT_EQ(get_desired_settings_as_ini(profile), "A=1\nB=\nC=x = y");
    EXPECT_TRUE(string_starts_with(log.lines().back().text, "get_desired_settings_as_ini: setting 'B' has no string value."));
    EXPECT_EQ(get_desired_settings_as_ini(p("{}")), "");
}

TEST_F(ProfileTest, UsersWithPasswordsAndRoles) {
    auto users = get_desired_users(p(R"({"users":{
        "admin":{"password":"$1$x$y","role":1},
        "daemon":{"role":1},
        "op":{"role":"1","password":5},
        "root":{},
        "svc":{"role":1.9},
        "tmp":{"role":-1},
        "flag":{"role":true},
        "wrap":{"role":4294967295},
        "wrap2":{"role":-4294967295},
        "wrap3":{"role":4294967296.5},
        "wrap4":{"role":-1e300}}})"));
    std::vector<std::string> names;
    for (const auto& u : users) names.push_back(u.name);
    EXPECT_EQ(names, (std::vector<std::string>{"admin", "flag", "op", "root", "svc", "tmp", "wrap", "wrap2", "wrap3",
                                               "wrap4"}));
    EXPECT_EQ(users[0].password_hash, std::optional<std::string>("$1$x$y"));
    EXPECT_EQ(users[0].role, UserRole::Admin);
    EXPECT_EQ(users[1].role, UserRole::User) << "a boolean is no role";
    EXPECT_EQ(users[2].role, UserRole::User);
    EXPECT_FALSE(users[2].password_hash);
    EXPECT_FALSE(users[3].password_hash);
    EXPECT_EQ(users[4].role, UserRole::Admin) << "1.9 is truncated";
    EXPECT_EQ(users[5].role, UserRole::EnsureNotPresent);
    for (size_t i = 6; i < users.size(); ++i)
        EXPECT_EQ(users[i].role, UserRole::User) << users[i].name << ": out of range never wraps into a role";
    for (const char* number : {"4294967295", "-4294967295", "4294967296.5", "-1e+300"})
        EXPECT_EQ(log.count(std::string("read_user_role: Failed to read user role. "
                                        "([json.exception.out_of_range.406] number ") +
                            number + " is out of range)"),
                  1u)
            << number;
    EXPECT_TRUE(log.contains(LOG_DEBUG,
                             "get_desired_users: User 'daemon' is a system user that should not be managed. Ignoring."));
    EXPECT_EQ(log.count("read_user_role: Failed to read user role. "
                        "([json.exception.type_error.302] type must be number, but is string)"),
              1u);
    EXPECT_EQ(log.count("read_user_role: Failed to read user role. "
                        "([json.exception.type_error.302] type must be number, but is boolean)"),
              1u);
    EXPECT_EQ(log.count("read_user_passwd_hash: Failed to read user password. "
                        "([json.exception.type_error.302] type must be string, but is number)"),
              1u);
}

TEST_F(ProfileTest, FilesDecodeTheirDataAndFallBackToTheKeyAsPath) {
    auto files = get_desired_files(p(R"({"files":{
        "a.conf":{"data":"aGVsbG8="},
        "b.conf":{"path":"","data":"aGk="},
        "c.conf":{"path":"/etc/c.conf","data":"eA=="},
        "d.conf":{"path":"/etc/d"}}})"));
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].path, "a.conf");
    EXPECT_EQ(files[0].data, "hello");
    EXPECT_EQ(files[1].path, "b.conf");
    EXPECT_EQ(files[2].path, "/etc/c.conf");
    EXPECT_TRUE(log.contains(LOG_ERR,
                             "Cannot find element 'data' for file 'd.conf' in configuration profile. Ignoring file."));
    EXPECT_THROW(get_desired_files(p(R"({"files":{"a":{"data":1},"b":{"data":"eA=="}}})")), json::type_error);
}

TEST_F(ProfileTest, ReportingDescriptorsAndTheirErrors) {
    auto reports = get_desired_reporting(p(R"({"reporting":{
        "Temperature":{"include":"OnChange","threshold":2},
        "MoOperator":{"include":"Always"},
        "Ping":{"include":"onchange","args":"8.8.8.8","threshold":0.5},
        "X":{"include":"Never"}}})"));
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports["Temperature"].type, ReportType::OnChange);
    EXPECT_EQ(reports["Temperature"].threshold, std::optional<double>(2.0));
    EXPECT_EQ(reports["MoOperator"].type, ReportType::Always);
    EXPECT_FALSE(reports["MoOperator"].threshold);
    EXPECT_EQ(reports["Ping"].type, ReportType::OnChange);
    EXPECT_EQ(reports["Ping"].args, "8.8.8.8");
    EXPECT_EQ(reports["X"].type, ReportType::Never);
    EXPECT_TRUE(log.contains(LOG_WARNING,
                             "Desired metric 'Ping' has an unsupported report type 'onchange'. Will treat it as OnChange."));

    struct Case {
        const char* entry;
        const char* message;  // nullptr: an error of the JSON library
    } failures[] = {
        {R"({"":{"include":"Always"}})", "Report attribute empty. (report_name)"},
        {R"({"T":{"include":""}})", "Report attribute empty. (include)"},
        {R"({"T":{"include":"Always","threshold":"5"}})", "Report attribute invalid datatype. (threshold)"},
        {R"({"T":{"include":"Always","args":1}})", "Report attribute invalid datatype. (args)"},
        {R"({"T":{}})", nullptr},
        {R"({"T":{"include":3}})", nullptr},
        {R"({"T":"Always"})", nullptr},
    };
    for (const auto& c : failures) {
        ConfigProfile profile = p((std::string(R"({"reporting":)") + c.entry + "}").c_str());
        try {
            get_desired_reporting(profile);
            ADD_FAILURE() << c.entry;
        } catch (const VelmoException& e) {
            ASSERT_TRUE(c.message) << c.entry << ": " << e.what();
            EXPECT_STREQ(e.what(), c.message);
        } catch (const json::exception& e) {
            EXPECT_FALSE(c.message) << c.entry << ": " << e.what();
        }
    }
}

TEST_F(ProfileTest, BehavioursDefaultToIgnore) {
    struct Case {
        const char* profile;
        ProfileBehaviour apps, users;
        std::vector<std::string> lines;
    } cases[] = {
        {"null", ProfileBehaviour::Ignore, ProfileBehaviour::Ignore,
         {"Cannot find element 'system' determining system configuration. Setting config profile behavior to 'Ignore'."}},
        {R"({"system":{}})", ProfileBehaviour::Ignore, ProfileBehaviour::Ignore,
         {"Cannot find element 'ub' determining configuration behavior. Setting to 'Ignore'."}},
        {R"({"system":{"ub":{"apps":2,"users":2.0}}})", ProfileBehaviour::Purge, ProfileBehaviour::Ignore, {}},
        {R"({"system":{"ub":{"users":2}}})", ProfileBehaviour::Ignore, ProfileBehaviour::Purge,
         {"Failed to get applications config profile behavior. Setting to 'Ignore'."}},
        {R"({"system":{"ub":{"apps":4294967298,"users":-4294967294}}})", ProfileBehaviour::Ignore,
         ProfileBehaviour::Ignore,
         {"Config profile behavior 'apps' is invalid ([json.exception.out_of_range.406] number 4294967298 is out of "
          "range). Setting to 'Ignore'.",
          "Config profile behavior 'users' is invalid ([json.exception.out_of_range.406] number -4294967294 is out of "
          "range). Setting to 'Ignore'."}},
        {R"({"system":{"ub":{"apps":true,"users":-1}}})", ProfileBehaviour::Ignore, static_cast<ProfileBehaviour>(-1),
         {}},
        {R"({"system":{"ub":[]}})", ProfileBehaviour::Ignore, ProfileBehaviour::Ignore,
         {"Failed to get applications config profile behavior. Setting to 'Ignore'.",
          "Failed to get users config profile behavior. Setting to 'Ignore'."}},
    };
    for (const auto& c : cases) {
        log.clear();
        auto b = get_profile_behaviours(p(c.profile));
        EXPECT_EQ(b.apps, c.apps) << c.profile;
        EXPECT_EQ(b.users, c.users) << c.profile;
        std::vector<std::string> lines;
        for (const auto& l : log.lines()) lines.push_back(l.text);
        EXPECT_EQ(lines, c.lines) << c.profile;
    }
    EXPECT_EQ(behaviour_to_string(ProfileBehaviour::Purge), "Purge");
    EXPECT_EQ(behaviour_to_string(static_cast<ProfileBehaviour>(1)), "Unknown(1)");
    EXPECT_EQ(user_role_to_string(UserRole::EnsureNotPresent), "EnsureNotPresent");
    EXPECT_EQ(user_role_to_string(static_cast<UserRole>(7)), "Unknown(7)");
}

TEST_F(ProfileTest, ApplyConfigPayload) {
    auto payload = parse_apply_config_payload(p(R"({"config_size":12,"config":"H4sI","config_hash":"abc"})"));
    EXPECT_EQ(payload.config_size, 12);
    EXPECT_EQ(payload.config, "H4sI");
    EXPECT_EQ(payload.config_hash, "abc");
    EXPECT_EQ(parse_apply_config_payload(p(R"({"config_size":1.5,"config":""})")).config_hash, "");
    for (const char* bad : {R"({"config":"x"})", R"({"config_size":"12","config":"x"})",
                            R"({"config_size":true,"config":"x"})", R"({"config_size":1})",
                            R"({"config_size":1,"config":"x","config_hash":null})",
                            R"({"config_size":6.1e35,"config":"x"})", R"({"config_size":-1e300,"config":"x"})",
                            R"({"config_size":18446744073709551615,"config":"x"})"})
        EXPECT_THROW(parse_apply_config_payload(p(bad)), json::exception) << bad;
}
