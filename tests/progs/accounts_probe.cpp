// Brings the simulated router's accounts in line with the "users" section of a
// profile and prints one line per operation ("NAME: ok" or "NAME: error: ...").
//
//   accounts_probe [-d TOP] sync PROFILE_JSON    sync_user for each profile user
//   accounts_probe [-d TOP] purge PROFILE_JSON   delete_user for each account to purge
//   accounts_probe [-d TOP] current              NAME HASH ROLE of each current account
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "core/paths.h"
#include "desired_state/accounts.h"
#include "desired_state/profile.h"

using namespace velmo;

namespace {

int usage() {
    fprintf(stderr, "usage: accounts_probe [-d TOP] sync PROFILE_JSON | purge PROFILE_JSON | current\n");
    return 2;
}

template <typename Op>
void each(const std::vector<UserAccount>& accounts, Op op) {
    for (const auto& account : accounts) {
        try {
            op(account);
            printf("%s: ok\n", account.name.c_str());
        } catch (const std::exception& e) {
            printf("%s: error: %s\n", account.name.c_str(), e.what());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-d") == 0 && i + 1 < argc)
            FilesystemPaths::_top = argv[++i];
        else
            args.emplace_back(argv[i]);
    }
    if (args.empty()) return usage();
    try {
        if (args[0] == "current" && args.size() == 1) {
            for (const auto& u : get_current_users())
                printf("%s %s %s\n", u.name.c_str(), u.password_hash.value_or("-").c_str(),
                       user_role_to_string(u.role).c_str());
        } else if (args.size() == 2 && (args[0] == "sync" || args[0] == "purge")) {
            ConfigProfile profile = nlohmann::json::parse(args[1]);
            const auto desired = get_desired_users(profile);
            if (args[0] == "purge") {
                each(get_users_to_purge(desired), delete_user);
            } else {
                const auto current = get_current_users();
                each(desired, [&](const UserAccount& account) { sync_user(account, current); });
            }
        } else {
            return usage();
        }
    } catch (const std::exception& e) {
        printf("error: %s\n", e.what());
    }
    return 0;
}
