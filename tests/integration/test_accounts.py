"""User accounts brought in line for real in a simulated router: accounts_probe
calls the agent's account code, which runs the router's adduser and deluser
(testbed tools that edit the router's passwd, shadow and group like BusyBox
does) and rewrites the account files itself. The journal holds every command."""
import json
import os
import time

import pytest

from router_accounts import GROUP, PASSWD, SHADOW
from testbed.router import program


class Accounts:
    def __init__(self, router):
        self.router = router
        router.write("etc/passwd", PASSWD, 0o644)
        router.write("etc/shadow", SHADOW, 0o640)
        router.write("etc/group", GROUP, 0o644)

    def run(self, op, users=None, purge=False):
        profile = {"system": {"ub": {"users": 2 if purge else 0}}, "users": users or {}}
        argv = [program("accounts_probe"), "-d", self.router.root, op] + ([json.dumps(profile)] if users is not None else [])
        status, out, err = self.router.run(argv)
        assert status == 0, err
        return out.splitlines()

    def read(self, name):
        return self.router.read("etc/" + name)

    def stat(self, name):
        return os.stat(self.router.path("etc/" + name))


@pytest.fixture
def accounts(router):
    return Accounts(router)


def today():
    return int(time.time()) // 86400


def test_a_profile_pass_creates_changes_and_purges_then_a_second_pass_does_nothing(accounts):
    day = today()
    users = {
        "op": {"password": "$6$op", "role": 1},       # new administrator
        "viewer": {"password": "$6$viewer"},         # new plain user
        "guest": {"password": "$6$guest2", "role": 1},  # new password and role
        "root": {"password": "$6$root", "role": -1},    # a system user is never removed
        "admin": {"role": 0},                           # nor demoted
    }
    assert accounts.run("sync", users, purge=True) == [
        "admin: ok", "guest: ok", "op: ok", "root: ok", "viewer: ok"]
    assert accounts.router.commands() == ["/usr/sbin/adduser -D -G root op", "/usr/sbin/adduser -D viewer"]
    assert accounts.run("purge", users, purge=True) == ["svc: ok"]
    assert accounts.router.commands()[2:] == ["/usr/sbin/deluser svc"]

    assert today() == day, "the day changed while the test ran"
    assert accounts.read("passwd") == (
        "root:x:0:0:root:/root:/bin/sh\n"
        "daemon:x:1:1:daemon:/usr/sbin:/bin/false\n"
        "admin:x:500:0:Admin:/home/admin:/bin/sh\n"
        "guest:x:1000:0:Guest:/home/guest:/bin/sh\n"
        "op:x:1001:0:Linux User,,,:/home/op:/bin/sh\n"
        "viewer:x:1002:1002:Linux User,,,:/home/viewer:/bin/sh\n")
    assert accounts.read("shadow") == (
        "root:$6$root:19000:0:99999:7:::\n"
        "daemon:*:19000:0:99999:7:::\n"
        "admin:$1$a$admin:19000:0:99999:7:::\n"
        "guest:$6$guest2:19000:0:99999:7:::\n"
        f"op:$6$op:{day}:0:99999:7:::\n"
        f"viewer:$6$viewer:{day}:0:99999:7:::\n")
    assert accounts.read("group") == "root:x:0:guest,op\nusers:x:1000:\nviewer:x:1002:\n"
    assert accounts.run("current") == [
        "root $6$root Admin", "admin $1$a$admin Admin", "guest $6$guest2 Admin", "op $6$op Admin",
        "viewer $6$viewer User"]

    # Everything in line: no command and no account file rewritten.
    before = {f: (accounts.stat(f).st_ino, accounts.stat(f).st_mtime_ns) for f in ("passwd", "shadow", "group")}
    accounts.router.clear_journal()
    assert accounts.run("sync", users, purge=True) == [
        "admin: ok", "guest: ok", "op: ok", "root: ok", "viewer: ok"]
    assert accounts.run("purge", users, purge=True) == []
    assert accounts.router.commands() == []
    assert {f: (accounts.stat(f).st_ino, accounts.stat(f).st_mtime_ns) for f in before} == before


def test_removal_demotion_and_the_accounts_left_alone(accounts):
    users = {"guest": {"role": -1}, "ghost": {"role": -1}, "admin": {"role": -1},
             "svc": {"password": "$6$svc", "role": 0}}
    assert accounts.run("sync", users) == ["admin: ok", "ghost: ok", "guest: ok", "svc: ok"]
    assert accounts.router.commands() == ["/usr/sbin/deluser guest"]
    assert accounts.read("passwd") == PASSWD.replace("guest:x:1000:1000:Guest:/home/guest:/bin/sh\n", "").replace(
        "svc:x:999:999:", "svc:x:999:1000:")
    assert accounts.read("group") == "root:x:0:\nsvc:x:999:\nusers:x:1000:svc\n"
    assert "svc:$6$svc:19000:" in accounts.read("shadow")
    # Purging with every remaining account named or protected removes nothing.
    assert accounts.run("purge", {"svc": {}}, purge=True) == []


@pytest.mark.parametrize("tool, code, op, users, expected", [
    ("adduser", 3, "sync", {"op": {"password": "$6$op"}},
     "op: error: Command '/usr/sbin/adduser -D op' failed with error '3'"),
    ("deluser", 4, "sync", {"guest": {"role": -1}},
     "guest: error: Command '/usr/sbin/deluser guest' failed with error '4'"),
    ("deluser", 5, "purge", {},
     "svc: error: Command '/usr/sbin/deluser svc' failed with error '5'"),
])
def test_a_failing_tool_fails_its_account_and_changes_no_file(accounts, tool, code, op, users, expected):
    accounts.router.set_rc(tool, code)
    out = accounts.run(op, users, purge=True)
    assert out[0] == expected
    assert (accounts.read("passwd"), accounts.read("shadow"), accounts.read("group")) == (PASSWD, SHADOW, GROUP)


def test_a_new_account_needs_a_password_and_every_account_a_shadow_line(accounts):
    assert accounts.run("sync", {"op": {"role": 1}}) == ["op: error: Cannot create user without password."]
    assert accounts.router.commands() == []
    accounts.router.write("etc/shadow", SHADOW.replace("svc:!:19000:0:99999:7:::\n", ""))
    assert accounts.run("sync", {"op": {"password": "$6$op"}}) == ["error: map::at"]
    assert accounts.run("purge", {}, purge=True) == ["error: map::at"]
    assert accounts.router.commands() == []


def test_hostile_names_and_hashes_run_nothing_and_corrupt_nothing(accounts):
    users = {
        "x;/usr/sbin/deluser guest": {"password": "$6$a", "role": 1},
        "$(/usr/sbin/deluser guest)": {"password": "$6$b"},
        "`/usr/sbin/deluser svc`": {"password": "$6$c"},
        "$(id)": {"password": "$6$d"},
        "op\nroot": {"password": "$6$e"},
        "guest": {"password": "x\nroot::0:0:99999:7:::"},
        "newop": {"password": "$6$a:b"},  # refused before adduser makes a half account
    }
    out = accounts.run("sync", users)
    assert out == [
        "$(/usr/sbin/deluser guest): error: Command '/usr/sbin/adduser -D '$(/usr/sbin/deluser guest)'' "
        "failed with error '1'",
        "$(id): error: Command '/usr/sbin/adduser -D '$(id)'' failed with error '1'",
        "`/usr/sbin/deluser svc`: error: Command '/usr/sbin/adduser -D '`/usr/sbin/deluser svc`'' failed with error '1'",
        "guest: error: Refusing to rewrite '%s/etc/shadow': a field holds ':', a line break or a NUL byte."
        % accounts.router.root,
        "newop: error: Refusing to rewrite '%s/etc/shadow': a field holds ':', a line break or a NUL byte."
        % accounts.router.root,
        "op", "root: error: Username holds ':', ',' or a control character (cannot create user).",
        "x;/usr/sbin/deluser guest: error: Command '/usr/sbin/adduser -D -G root 'x;/usr/sbin/deluser guest'' "
        "failed with error '1'",
    ]
    # Each name reached adduser as one argument; no other command ran.
    assert accounts.router.journal() == [
        ["/usr/sbin/adduser", "-D", "$(/usr/sbin/deluser guest)"],
        ["/usr/sbin/adduser", "-D", "$(id)"],
        ["/usr/sbin/adduser", "-D", "`/usr/sbin/deluser svc`"],
        ["/usr/sbin/adduser", "-D", "-G", "root", "x;/usr/sbin/deluser guest"],
    ]
    assert (accounts.read("passwd"), accounts.read("shadow"), accounts.read("group")) == (PASSWD, SHADOW, GROUP)


def test_rewrites_keep_owner_and_mode_and_leave_no_scratch_file(accounts):
    for name, mode, gid in (("shadow", 0o600, 42), ("passwd", 0o644, 0), ("group", 0o640, 7)):
        os.chmod(accounts.router.path("etc/" + name), mode)
        os.chown(accounts.router.path("etc/" + name), 0, gid)
    inode = accounts.stat("shadow").st_ino
    assert accounts.run("sync", {"guest": {"password": "$6$new", "role": 1}}) == ["guest: ok"]
    assert accounts.stat("shadow").st_ino != inode, "the file is replaced whole, not rewritten in place"
    for name, mode, gid in (("shadow", 0o600, 42), ("passwd", 0o644, 0), ("group", 0o640, 7)):
        st = accounts.stat(name)
        assert (st.st_mode & 0o7777, st.st_uid, st.st_gid) == (mode, 0, gid), name
    assert sorted(os.listdir(accounts.router.path("etc"))) == ["group", "passwd", "shadow"]
    assert "guest:$6$new:19000:" in accounts.read("shadow")
