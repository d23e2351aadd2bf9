#include "desired_state/accounts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "core/exception.h"
#include "core/paths.h"
#include "core/shell.h"
#include "core/utils.h"

namespace velmo {

namespace {

constexpr int kAdminGid = 0;
constexpr int kUserGid = 1000;
constexpr size_t kMaxNameLength = 120;

// Every account file is a list of lines of ':'-separated fields. A short line
// (an empty one included) fails the whole reading through vector::at, with the
// standard library's range error.
std::vector<std::vector<std::string>> split_records(const std::string& text) {
    std::vector<std::vector<std::string>> records;
    for (const auto& line : string_split(text, '\n')) records.push_back(string_split(line, ':'));
    return records;
}

// The content of an account file that is about to be rewritten from what it
// holds. Reading an existing file as empty there (no permission, an I/O error)
// would rewrite it without its accounts, so only a missing file reads as
// empty; an interrupted read is resumed.
std::string read_for_rewrite(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return {};
        throw VelmoException("Failed to open file '%s': %s", path.c_str(), strerror(errno));
    }
    std::string content;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : 0;
            close(fd);
            if (error) throw VelmoException("Failed to read file '%s': %s", path.c_str(), strerror(error));
            return content;
        }
        content.append(buffer, static_cast<size_t>(n));
    }
}

// A field holding ':' or a line break would split one record into others (a
// hash "x\nroot::0:..." would add a password-less root line), and a NUL byte
// would end the write there and lose every line after it; such a record is
// refused before anything is written.
void check_field(const std::string& path, const std::string& field) {
    if (field.find_first_of(std::string(":\n\0", 3)) != std::string::npos)
        throw VelmoException("Refusing to rewrite '%s': a field holds ':', a line break or a NUL byte.", path.c_str());
}

void write_lines(const std::string& path, const std::vector<std::vector<std::string>>& records, bool reserved_field) {
    std::string text;
    for (const auto& fields : records) {
        for (size_t i = 0; i < fields.size(); ++i) {
            check_field(path, fields[i]);
            if (i) text += ':';
            text += fields[i];
        }
        if (reserved_field) text += ':';
        text += '\n';
    }
    file_write(text, path, "w");
}

std::string join(const std::vector<std::string>& items, char separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += separator;
        out += items[i];
    }
    return out;
}

UserRole role_of_gid(int gid) { return gid < kUserGid ? UserRole::Admin : UserRole::User; }

void run_account_command(const std::string& command) {
    int code = run_command(command);
    if (code != 0) throw VelmoException("Command '%s' failed with error '%d'", command.c_str(), code);
}

}  // namespace

std::string passwd_file_path() { return system_path("/etc/passwd"); }
std::string shadow_file_path() { return system_path("/etc/shadow"); }
std::string group_file_path() { return system_path("/etc/group"); }

static std::vector<UserAccount> parse_passwd(const std::string& text) {
    std::vector<UserAccount> accounts;
    for (const auto& f : split_records(text)) {
        UserAccount a;
        a.name = f.at(0);
        a.password_hash = f.at(1);
        a.uid = std::stoi(f.at(2));
        a.gid = std::stoi(f.at(3));
        a.gecos = f.at(4);
        a.home = f.at(5);
        a.shell = f.at(6);
        accounts.push_back(std::move(a));
    }
    return accounts;
}

std::vector<UserAccount> read_passwd_file() { return parse_passwd(file_read(passwd_file_path())); }

void write_passwd_file(const std::vector<UserAccount>& records) {
    std::vector<std::vector<std::string>> lines;
    for (const auto& a : records)
        lines.push_back({a.name, "x", std::to_string(a.uid), std::to_string(a.gid), a.gecos, a.home, a.shell});
    write_lines(passwd_file_path(), lines, false);
}

static std::vector<UserAccount> parse_shadow(const std::string& text) {
    std::vector<UserAccount> accounts;
    for (const auto& f : split_records(text)) {
        UserAccount a;
        a.name = f.at(0);
        a.password_hash = f.at(1);
        a.last_change = f.at(2);
        a.minimum_age = f.at(3);
        a.maximum_age = f.at(4);
        a.warning_period = f.at(5);
        a.inactivity_period = f.at(6);
        a.expiry_date = f.at(7);
        accounts.push_back(std::move(a));
    }
    return accounts;
}

std::vector<UserAccount> read_shadow_file() { return parse_shadow(file_read(shadow_file_path())); }

void write_shadow_file(const std::vector<UserAccount>& records) {
    std::vector<std::vector<std::string>> lines;
    for (const auto& a : records)
        lines.push_back({a.name, a.password_hash.value_or("!"), a.last_change, a.minimum_age, a.maximum_age,
                         a.warning_period, a.inactivity_period, a.expiry_date});
    write_lines(shadow_file_path(), lines, true);
}

static std::vector<GroupEntry> parse_group(const std::string& text) {
    std::vector<GroupEntry> entries;
    for (const auto& f : split_records(text)) {
        GroupEntry g;
        g.name = f.at(0);
        g.password = f.at(1);
        g.gid = std::stoi(f.at(2));
        if (f.size() > 3) g.members = string_split(f[3], ',');
        entries.push_back(std::move(g));
    }
    return entries;
}

std::vector<GroupEntry> read_group_file() { return parse_group(file_read(group_file_path())); }

void write_group_file(const std::vector<GroupEntry>& entries) {
    std::vector<std::vector<std::string>> lines;
    for (const auto& g : entries) {
        for (const auto& member : g.members)
            if (member.find(',') != std::string::npos)
                throw VelmoException("Refusing to rewrite '%s': a member name holds ','.", group_file_path().c_str());
        lines.push_back({g.name, g.password, std::to_string(g.gid), join(g.members, ',')});
    }
    write_lines(group_file_path(), lines, false);
}

bool is_system_user(const std::string& name) { return name == "admin" || name == "root" || name == "daemon"; }

std::vector<UserAccount> get_current_users() {
    std::map<std::string, std::optional<std::string>> hashes;
    for (const auto& s : read_shadow_file()) hashes.emplace(s.name, s.password_hash);  // the first line counts
    std::vector<UserAccount> users;
    for (const auto& p : read_passwd_file()) {
        if (p.name == "daemon") continue;
        UserAccount u;
        u.name = p.name;
        u.password_hash = hashes.at(p.name);
        u.role = role_of_gid(p.gid);
        users.push_back(std::move(u));
    }
    return users;
}

std::vector<UserAccount> get_users_to_purge(const std::vector<UserAccount>& desired) {
    std::vector<UserAccount> purge;
    for (auto& u : get_current_users()) {
        if (is_system_user(u.name)) continue;
        bool named = false;
        for (const auto& d : desired) named = named || d.name == u.name;
        if (!named) purge.push_back(std::move(u));
    }
    return purge;
}

void create_user(const UserAccount& desired) {
    if (desired.name.size() > kMaxNameLength)
        throw VelmoException("Username '%s' is too long (cannot create user).", desired.name.c_str());
    // The name becomes a field of passwd, shadow and a group member list: a
    // separator or a control character in it could never be read back as one name.
    for (unsigned char c : desired.name)
        if (c < 0x20 || c == 0x7f || c == ':' || c == ',')
            throw VelmoException("Username holds ':', ',' or a control character (cannot create user).");
    std::string command = "/usr/sbin/adduser -D ";
    if (desired.role != UserRole::User) command += "-G root ";
    run_account_command(command + shell_quote(desired.name));
}

void delete_user(const UserAccount& account) { run_account_command("/usr/sbin/deluser " + shell_quote(account.name)); }

void set_user_password(const std::string& name, const std::string& hash) {
    auto records = parse_shadow(read_for_rewrite(shadow_file_path()));
    for (auto& r : records) {
        if (r.name == name) {
            r.password_hash = hash;
            break;
        }
    }
    write_shadow_file(records);
}

void set_user_role(const UserAccount& current, const UserAccount& desired) {
    auto accounts = parse_passwd(read_for_rewrite(passwd_file_path()));
    auto groups = parse_group(read_for_rewrite(group_file_path()));
    const std::string& name = current.name;
    const int gid = desired.role == UserRole::Admin ? kAdminGid : kUserGid;
    for (auto& a : accounts) {
        if (a.name == name) {
            a.gid = gid;
            break;
        }
    }
    // For each entry, the first group of that entry's gid loses the name once.
    for (const auto& entry : groups) {
        for (auto& g : groups) {
            if (g.gid != entry.gid) continue;
            for (auto m = g.members.begin(); m != g.members.end(); ++m) {
                if (*m == name) {
                    g.members.erase(m);
                    break;
                }
            }
            break;
        }
    }
    for (auto& g : groups) {
        if (g.gid == gid) {
            g.members.push_back(name);
            break;
        }
    }
    write_passwd_file(accounts);
    write_group_file(groups);
}

void sync_user(const UserAccount& desired, const std::vector<UserAccount>& current) {
    const UserAccount* found = nullptr;
    for (const auto& c : current) {
        if (c.name == desired.name) {
            found = &c;
            break;
        }
    }
    if (!found) {
        if (desired.role == UserRole::EnsureNotPresent) return;
        if (!desired.password_hash) throw VelmoException("Cannot create user without password.");
        // A hash the shadow file would refuse is refused before adduser runs,
        // so no account is left behind without the password it was meant to get.
        check_field(shadow_file_path(), *desired.password_hash);
        create_user(desired);
        set_user_password(desired.name, *desired.password_hash);
        return;
    }
    if (found->role != desired.role && !is_system_user(desired.name)) {
        if (desired.role == UserRole::EnsureNotPresent) {
            delete_user(*found);
            return;
        }
        set_user_role(*found, desired);
    }
    if (desired.password_hash && found->password_hash != desired.password_hash)
        set_user_password(desired.name, *desired.password_hash);
}

}  // namespace velmo
