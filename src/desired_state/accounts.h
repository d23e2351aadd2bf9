#pragma once
// The router's user accounts: reading and rewriting /etc/passwd, /etc/shadow
// and /etc/group under the top prefix, creating and deleting accounts with
// the router's adduser/deluser, and bringing one account in line with the
// profile. A role is the primary group: gid 0 for Admin, 1000 otherwise.
#include <string>
#include <vector>

#include "desired_state/profile.h"

namespace velmo {

struct GroupEntry {
    std::string name;
    std::string password;
    int gid = 0;
    std::vector<std::string> members;  // in file order
};

std::string passwd_file_path();  // _top + "/etc/passwd"
std::string shadow_file_path();  // _top + "/etc/shadow"
std::string group_file_path();   // _top + "/etc/group"

// Readers: an unreadable file reads as empty; a short line throws
// std::out_of_range (vector range error), a bad id std::invalid_argument or
// std::out_of_range ("stoi"). Writers replace the whole file atomically,
// keeping its owner, group and mode.
std::vector<UserAccount> read_passwd_file();
void write_passwd_file(const std::vector<UserAccount>& records);
std::vector<UserAccount> read_shadow_file();
void write_shadow_file(const std::vector<UserAccount>& records);
std::vector<GroupEntry> read_group_file();
void write_group_file(const std::vector<GroupEntry>& entries);

// "admin", "root", "daemon".
bool is_system_user(const std::string& name);

// Name, hash (from shadow) and role (from the passwd gid) of every passwd
// account but "daemon"; throws std::out_of_range ("map::at") for an account
// without a shadow line.
std::vector<UserAccount> get_current_users();
// The current accounts, in order, that are not system users and that no
// desired account names.
std::vector<UserAccount> get_users_to_purge(const std::vector<UserAccount>& desired);

// Runs "/usr/sbin/adduser -D [-G root ]NAME"; raises VelmoException on failure.
void create_user(const UserAccount& desired);
// Runs "/usr/sbin/deluser NAME"; raises VelmoException on failure.
void delete_user(const UserAccount& account);
// Gives the first shadow record of the name the hash and rewrites the file.
void set_user_password(const std::string& name, const std::string& hash);
// Moves the account to the primary group of the desired role (passwd gid and
// group member lists).
void set_user_role(const UserAccount& current, const UserAccount& desired);
// Brings one account in line; current comes from get_current_users().
void sync_user(const UserAccount& desired, const std::vector<UserAccount>& current);

}  // namespace velmo
