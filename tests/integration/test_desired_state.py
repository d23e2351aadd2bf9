"""The desired state brought about for real in a simulated router: ds_probe
runs one sync pass (or a snapshot, or a change check) of the agent's code
with its persisted files, against the real broker and content server; the
router's tools, the apps' scripts and the file tools journal every command,
and the answers are read from the broker."""
import base64
import json
import os
import subprocess
import time

import pytest

from router_accounts import GROUP, PASSWD, SHADOW
from testbed.packages import app_files, build_package

ETH = "ETH_IP=192.168.1.1\nETH_MASK=255.255.255.0\n"
PPP = "PPP_APN=internet\n"
DIGEST_KEY = "r8vto2kqe4z"
CONF = "ROOT/srv/app/app.conf"


def b64(text):
    return base64.b64encode(text.encode()).decode()


def tool_digest(path):
    """The keyed digest as the openssl tool prints it."""
    out = subprocess.run(["openssl", "dgst", "-md5", "-hmac", DIGEST_KEY, str(path)], capture_output=True,
                         text=True, check=True).stdout
    return out.rstrip("\n").split("= ", 1)[1]


class DesiredStateRouter:
    def __init__(self, deploy, broker, peer):
        self.deploy = deploy
        self.router = deploy.router
        self.root = deploy.root
        self.broker = broker
        self.peer = peer
        r = self.router
        r.write("etc/passwd", PASSWD, 0o644)
        r.write("etc/shadow", SHADOW, 0o640)
        r.write("etc/group", GROUP, 0o644)
        r.write("etc/settings.eth", ETH)
        r.write("etc/settings.ppp", PPP)

    def path(self, text):
        return text.replace("ROOT", self.root)

    def set_profile(self, profile):
        self.router.write("var/data/velmo_client/config_profile.conf",
                          json.dumps(profile, separators=(",", ":"), sort_keys=True))

    def set_request(self, request_id=17, status=1, response_sent=False, config_hash="h17"):
        self.router.write("var/data/velmo_client/sync_request.json", json.dumps(
            {"config_hash": config_hash, "request_id": request_id, "response_sent": response_sent, "status": status},
            separators=(",", ":")))

    def request(self):
        return self.router.read("var/data/velmo_client/sync_request.json")

    def run(self, *args):
        return self.deploy.run(*args, probe="ds_probe")

    def sync(self):
        return self.run("sync", self.broker.port)

    def answers(self, timeout=0.5):
        """Every message that reached the broker since the last call."""
        out, msg = [], self.peer.next_message(timeout)
        while msg is not None:
            out.append((msg.topic, msg.payload.decode()))
            msg = self.peer.next_message(timeout)
        return out

    def store_digests(self, *relative):
        """Digests of router files as a sync would have stored them, made by the openssl tool."""
        for rel, name in relative:
            self.router.write("var/data/velmo_client/hashes/" + name, tool_digest(self.router.path(rel)))

    def hashes(self):
        d = self.router.path("var/data/velmo_client/hashes")
        return sorted(os.listdir(d)) if d.exists() else []


@pytest.fixture
def ds(deploy, broker_tcp, make_peer):
    peer = make_peer(broker_tcp, "ms")
    peer.subscribe("sr/#")
    return DesiredStateRouter(deploy, broker_tcp, peer)


def today():
    return int(time.time()) // 86400


MAC = "a4:07:1b:c0:00:ff"


def full_profile(ds, gps_url):
    return {
        "system": {"firmware": {"version": "6.3.10", "url": "https://127.0.0.1:1/firmware_6.3.10.bin"},
                   "ub": {"apps": 0, "users": 2}},
        "files": {"app.conf": {"path": ds.path(CONF), "data": b64("level=3\n")}},
        "apps": {"gps": {"version": "2.1.0", "url": gps_url}, "modbus": {"version": "deleted"}},
        "settings": {"ETH_IP": {"v": "10.0.0.1"}, "PPP_APN": {"v": "iot"}, "ETH_MASK": {"v": "255.255.255.0"}},
        "users": {"op": {"password": "$6$op", "role": 1}, "guest": {"password": "$6$guest2"}},
    }


def test_one_full_pass_then_a_pass_that_changes_nothing(ds, content_server):
    r = ds.router
    gps = content_server.add_file("gps_2.1.0.tgz", build_package({"gps": app_files("gps", "2.1.0")}))
    r.install_app("modbus", "1.0")
    ds.store_digests(("etc/settings.eth", "ETH_HASH"), ("etc/settings.ppp", "PPP_HASH"))
    profile = full_profile(ds, gps.url)
    ds.set_profile(profile)
    ds.set_request()
    ds.deploy.clear()

    assert ds.sync() == "HANDLE_MANAGEMENT_COMMANDS"
    cmds = ds.deploy.commands()
    install = cmds.index("tar -xzf ROOT/tmp/gps_2.1.0.tgz -C ROOT/tmp/module/")
    restore = cmds.index("/usr/sbin/restore ROOT/tmp/settings.ini")
    assert cmds[:2] == [f"curl -s --tlsv1.2 --cacert ROOT/var/data/velmo_client/ca.crt -X GET {gps.info_url}",
                        f"curl -C - -o ROOT/tmp/gps_2.1.0.tgz --tlsv1.2 --cacert ROOT/var/data/velmo_client/ca.crt "
                        f"{gps.url}"]
    assert cmds[install + 1:restore] == [
        "cp -rdf ROOT/tmp/module/gps ROOT/opt/", "rm -rf ROOT/var/www/gps", "ln -s ROOT/opt/gps/www ROOT/var/www/gps",
        "ROOT/opt/gps/etc/install", "ROOT/opt/gps/etc/init defaults", "ROOT/opt/gps/etc/init start",
        "rm -rf ROOT/tmp/module/",
        "ROOT/opt/modbus/etc/init stop", "ROOT/opt/modbus/etc/uninstall",
        "rm -rf ROOT/opt/modbus ROOT/var/www/modbus", "rm -rf ROOT/var/data/modbus"]
    # Each service of the two changed settings files once; the files come in
    # the configuration directory's own order.
    restarts = cmds[restore + 1:-2]
    assert restarts[0] == "/etc/init.d/backrt restart"
    assert sorted(restarts[1:]) == ["/etc/init.d/eth restart", "/etc/init.d/ppp restart"]
    assert cmds[-2:] == ["/usr/sbin/adduser -D -G root op", "/usr/sbin/deluser svc"]

    msgs = ds.deploy.messages()
    order = [m.split("'")[1] for m in msgs if m.startswith("New configuration applied to ")]
    assert sorted(order) == ["ROOT/etc/settings.eth", "ROOT/etc/settings.ppp"]
    services = {"ROOT/etc/settings.eth": "backrt,eth,", "ROOT/etc/settings.ppp": "backrt,ppp,"}
    assert [m for m in msgs if "restarted" in m.lower()] == [
        f"New configuration applied to '{p}'. Services restarted: {services[p]}" for p in order] + [
        "Restarted services: backrt," + ",".join(services[p].split(",")[1] for p in order) + ","]
    assert msgs[-3] == "Informing the server about reaching the desired state."
    assert ds.deploy.messages("err") == []

    # The files, the settings, the accounts and the stored digests.
    conf = r.path("srv/app/app.conf")
    assert conf.read_text() == "level=3\n" and conf.stat().st_mode & 0o7777 == 0o750
    assert r.read("etc/settings.eth") == "ETH_IP=10.0.0.1\nETH_MASK=255.255.255.0\n"
    assert r.read("etc/settings.ppp") == "PPP_APN=iot\n"
    assert not r.exists("tmp/settings.ini")
    assert r.read("etc/passwd") == PASSWD.replace("svc:x:999:999:Service:/var/svc:/bin/false\n", "") + \
        "op:x:1001:0:Linux User,,,:/home/op:/bin/sh\n"
    assert r.read("etc/shadow") == SHADOW.replace("svc:!:19000:0:99999:7:::\n", "").replace(
        "$1$g$guest", "$6$guest2") + f"op:$6$op:{today()}:0:99999:7:::\n"
    assert r.read("etc/group") == "root:x:0:op\nusers:x:1000:guest\n"
    assert ds.hashes() == ["APP.CONF_HASH", "ETH_HASH", "MOD_GPS_HASH", "PPP_HASH"]
    for rel, name in (("srv/app/app.conf", "APP.CONF_HASH"), ("etc/settings.eth", "ETH_HASH"),
                      ("opt/gps/etc/settings", "MOD_GPS_HASH"), ("etc/settings.ppp", "PPP_HASH")):
        assert r.read("var/data/velmo_client/hashes/" + name) == tool_digest(r.path(rel)), name

    # The one answer, and the request as the exit stores it.
    assert ds.answers() == [(f"sr/{MAC.upper()}/cmd/config", '{"c":0,"id":17,"p":{"config_hash":"h17"},"t":11}')]
    assert ds.request() == '{"config_hash":"h17","request_id":17,"response_sent":true,"status":0}'

    # Nothing changed: only the restore tool runs, no account file is
    # rewritten, and the new request is answered.
    accounts = {f: os.stat(r.path("etc/" + f)).st_ino for f in ("passwd", "shadow", "group")}
    ds.set_request(request_id=18, config_hash="h18")
    ds.deploy.clear()
    assert ds.sync() == "HANDLE_MANAGEMENT_COMMANDS"
    assert ds.deploy.commands() == ["/usr/sbin/restore ROOT/tmp/settings.ini"]
    assert {f: os.stat(r.path("etc/" + f)).st_ino for f in accounts} == accounts
    assert not any("restarted" in m.lower() for m in ds.deploy.messages())
    assert ds.answers() == [(f"sr/{MAC.upper()}/cmd/config", '{"c":0,"id":18,"p":{"config_hash":"h18"},"t":11}')]

    # A re-sync after local changes (the answer already sent) publishes nothing.
    ds.set_request(request_id=18, config_hash="h18", response_sent=True)
    assert ds.sync() == "HANDLE_MANAGEMENT_COMMANDS"
    assert ds.answers() == []
    assert ds.request() == '{"config_hash":"h18","request_id":18,"response_sent":true,"status":0}'


def test_a_firmware_to_install_ends_the_pass_and_the_next_run_answers(ds, content_server):
    r = ds.router
    fw = content_server.add_file("firmware_6.4.0.bin", b"\x00IMAGE" * 500)
    ds.set_profile({"system": {"firmware": {"version": "6.4.0", "url": fw.url}},
                    "settings": {"ETH_IP": {"v": "10.0.0.1"}},
                    "users": {"op": {"password": "$6$op", "role": 1}}})
    ds.set_request()
    ds.deploy.clear()
    assert ds.sync() == "EXIT reboot"
    assert ds.deploy.commands() == [
        f"curl -s --tlsv1.2 --cacert ROOT/var/data/velmo_client/ca.crt -X GET {fw.info_url}",
        f"curl -C - -o ROOT/tmp/firmware_6.4.0.bin --tlsv1.2 --cacert ROOT/var/data/velmo_client/ca.crt {fw.url}",
        "rm -rf ROOT/tmp/module/", "mkdir ROOT/tmp/module/", "mv ROOT/tmp/firmware_6.4.0.bin ROOT/tmp/module/",
        "/usr/sbin/fwupdate -i ROOT/tmp/module/firmware_6.4.0.bin -n"]
    assert (r.read("etc/settings.eth"), r.read("etc/passwd")) == (ETH, PASSWD)
    assert ds.answers() == []
    assert ds.request() == '{"config_hash":"h17","request_id":17,"response_sent":false,"status":1}'

    # The router runs the new firmware: the next run applies the rest and answers.
    r.set_status("sys", {"Product Name": "RV-5200", "Firmware Version": "6.4.0 (2024-01-02)"})
    ds.deploy.clear()
    assert ds.sync() == "HANDLE_MANAGEMENT_COMMANDS"
    assert ds.deploy.commands() == ["/usr/sbin/restore ROOT/tmp/settings.ini", "/usr/sbin/adduser -D -G root op"]
    assert r.read("etc/settings.eth").startswith("ETH_IP=10.0.0.1\n")
    assert ds.answers() == [(f"sr/{MAC.upper()}/cmd/config", '{"c":0,"id":17,"p":{"config_hash":"h17"},"t":11}')]
    assert ds.request() == '{"config_hash":"h17","request_id":17,"response_sent":true,"status":0}'


def test_failures_are_collected_and_joined_in_the_answer(ds, content_server):
    r = ds.router
    r.install_agent("3.1.0")
    fw = content_server.add_file("firmware_6.4.0.bin", b"IMAGE")
    fw.size = 2 ** 50
    # An account without a shadow line makes reading the accounts fail as a whole.
    r.write("etc/shadow", SHADOW.replace("svc:!:19000:0:99999:7:::\n", ""))
    ds.set_profile({"system": {"firmware": {"version": "6.4.0", "url": fw.url}},
                    "apps": {"gps": {"version": "2.1.0", "url": "https://content.invalid/file/ab12/gps_2.1.0.tgz"},
                             "velmo_client": {"version": "3.0.4", "url": "https://content.invalid/v_3.0.4.tgz"}},
                    "settings": {"ETH_IP": {"v": "10.0.0.1"}},
                    "users": {"op": {"password": "$6$op", "role": 1}}})
    ds.set_request()
    assert ds.sync() == "HANDLE_MANAGEMENT_COMMANDS"
    text = ("firmware: NotEnoughSpace | gps: GeneralFailure | "
            "velmo_client: Skipping application downgrade (forbidden). | map::at")
    assert ds.answers() == [(f"sr/{MAC.upper()}/cmd/config", json.dumps(
        {"c": 1, "err_msg": text, "id": 17, "t": 11}, separators=(",", ":")))]
    assert ds.request() == '{"config_hash":"h17","request_id":17,"response_sent":true,"status":2}'
    # The later steps still ran: the settings were applied.
    assert r.read("etc/settings.eth").startswith("ETH_IP=10.0.0.1\n")
    msgs = ds.deploy.messages()
    assert "Failure when syncing firmware: NotEnoughSpace" in ds.deploy.messages("err")
    assert "Failure when syncing app 'gps': GeneralFailure" in ds.deploy.messages("err")
    assert ds.deploy.messages("warning")[-1] == (
        "Failure when syncing app 'velmo_client': Version '3.0.4' is deprecated. "
        "Continuing with current version '3.1.0'.")
    assert msgs[-3] == "Informing the server about failing to reach the desired state."
    assert not any("adduser" in c for c in ds.deploy.commands())


def detection_profile(ds):
    return {
        "system": {"firmware": {"version": "6.3.10", "url": "https://127.0.0.1:1/firmware_6.3.10.bin"},
                   "ub": {"apps": 2, "users": 2}},
        "files": {"a.conf": {"path": ds.path("ROOT/srv/a.conf"), "data": b64("a=1\n")},
                  "b.conf": {"path": ds.path("ROOT/srv/b.conf"), "data": b64("b=1\n")}},
        "apps": {"gps": {"version": "2.1.0", "url": "https://127.0.0.1:1/gps_2.1.0.tgz"},
                 "modbus": {"version": "deleted"},
                 "velmo_client": {"version": "3.0.5", "url": "https://127.0.0.1:1/velmo_client_3.0.5.tgz"}},
        "settings": {"ETH_IP": {"v": "10.0.0.1"}},
        "users": {"guest": {"password": "$6$guest2", "role": 0}, "op": {"password": "$6$op", "role": 1},
                  "viewer": {"password": "$6$viewer"}},
    }


def rc_local(ds, text):
    p = ds.router.ovl / "etc" / "upper" / "rc.d" / "rc.local"
    p.parent.mkdir(parents=True, exist_ok=True)
    p.write_text(text)


def detect(ds):
    ds.router.clear_logs()
    return json.loads(ds.run("detect"))


def test_each_kind_of_local_change_is_detected_with_its_line(ds):
    r = ds.router
    r.install_agent("3.1.0")
    r.install_app("gps", "2.1.0")
    rc_local(ds, "#!/bin/sh\n")
    ds.set_profile(detection_profile(ds))
    ds.set_request()
    ds.sync()
    assert detect(ds) == [], "the router is in line after the pass"
    assert ds.deploy.messages("info") == []

    # Edits by hand, one of every kind.
    r.set_status("sys", {"Product Name": "RV-5200", "Firmware Version": "6.4.0 (2024-01-02)"})
    subprocess.run(["rm", "-rf", r.path("opt/gps")], check=True)
    r.install_app("modbus", "1.0")
    r.install_app("extra", "1.5")
    r.write("etc/settings.eth", r.read("etc/settings.eth").replace("ETH_IP=10.0.0.1", "ETH_IP=192.168.9.9"))
    r.write("etc/settings.ppp", "PPP_APN=other\n")  # a key the profile does not set
    rc_local(ds, "#!/bin/sh\nreboot\n")
    r.write("srv/a.conf", "a=2\n")
    r.path("srv/b.conf").unlink()
    passwd = r.read("etc/passwd").replace("op:x:1001:0:", "op:x:1001:1000:")
    passwd = "".join(line + "\n" for line in passwd.splitlines() if not line.startswith("viewer:"))
    r.write("etc/passwd", passwd + "intruder:x:1500:1500::/:/bin/sh\n")
    shadow = r.read("etc/shadow").replace("$6$guest2", "$1$hand")
    shadow = "".join(line + "\n" for line in shadow.splitlines() if not line.startswith("viewer:"))
    r.write("etc/shadow", shadow + "intruder:$1$i:19000:0:99999:7:::\n")

    a, b = ds.path("ROOT/srv/a.conf"), ds.path("ROOT/srv/b.conf")
    changes = detect(ds)
    # Unlisted apps come in the apps directory's own order.
    changes[3:5] = sorted(changes[3:5], key=lambda c: c["name"])
    assert changes == [
        {"from": "6.3.10", "name": "RV-5200", "to": "6.4.0", "type": 3},
        {"from": "AppPresent", "name": "gps", "to": "AppNotPresent", "type": 1},
        {"from": "AppNotPresent", "name": "modbus", "to": "AppPresent", "type": 1},
        # Under Purge an installed app is compared with the profile by name and
        # version, so the unwanted modbus is listed once more.
        {"from": "AppNotPresent", "name": "extra", "to": "AppPresent", "type": 1},
        {"from": "AppNotPresent", "name": "modbus", "to": "AppPresent", "type": 1},
        {"from": "10.0.0.1", "name": "ETH_IP", "to": "192.168.9.9", "type": 0},
        {"name": "/etc/rc.d/rc.local", "type": 4},
        {"from": "$1$hand", "name": "guest", "to": "$6$guest2", "type": 5},
        {"from": "User", "name": "op", "to": "Admin", "type": 5},
        {"from": "viewer", "name": "viewer", "to": "", "type": 5},
        {"from": "", "name": "intruder", "to": "intruder", "type": 5},
        {"from": "a=1\n", "name": a, "to": "a=2\n", "type": 4},
        {"from": "FilePresent", "name": b, "to": "FileNotPresent", "type": 4},
    ]
    info = ds.deploy.messages("info")
    info[3:5] = sorted(info[3:5])
    assert info == [
        "Detected local changes. Firmware version is now '6.4.0' instead of '6.3.10'.",
        "Detected local changes. App 'gps' (2.1.0) is no longer present.",
        "Detected local changes. App 'modbus' (deleted) is now present.",
        "Detected local changes. App 'extra' (1.5) is now present.",
        "Detected local changes. App 'modbus' (1.0) is now present.",
        "Detected local changes to file 'ROOT/etc/settings.eth'.",
        "Detected local changes to file '/etc/rc.d/rc.local'.",
        "Detected local changes. User 'intruder' is now present.",
        "Detected local changes in file 'ROOT/srv/a.conf'.",
        "Detected local changes. File 'ROOT/srv/b.conf' is not present.",
    ]
    assert ds.deploy.messages("debug") == [
        "detect_app_divergences: Skipping 'velmo_client' app divergency. Forbidden downgrade."]

    # A firmware version that cannot be read ends the check with that error.
    r.set_status("sys", {"Product Name": "RV-5200"})
    assert ds.run("detect") == "error: Firmware version could not be determined."


def test_a_fresh_router_without_digests_reports_no_file(ds):
    r = ds.router
    r.install_agent("3.1.0")
    rc_local(ds, "#!/bin/sh\n")
    profile = detection_profile(ds)
    del profile["apps"], profile["users"]
    profile["system"]["ub"] = {"apps": 0, "users": 0}
    ds.set_profile(profile)
    assert ds.hashes() == []
    assert detect(ds) == []
    assert ds.deploy.messages("info") == []


def snapshot_answer(ds, request_id=5):
    assert ds.run("snapshot", ds.broker.port, request_id) == "HANDLE_MANAGEMENT_COMMANDS"
    answers = ds.answers()
    assert [topic for topic, _ in answers] == [f"sr/{MAC.upper()}/cmd/snapshot"]
    return answers[0][1]


def compact(value):
    return json.dumps(value, separators=(",", ":"), sort_keys=True)


def test_snapshot_of_a_prepared_router(ds):
    r = ds.router
    r.install_agent("3.1.0")
    r.install_app("gps", "2.1.0", files={"etc/settings": "MOD_GPS_ENABLED=1\nETH_IP=from-gps\n"})
    rc_local(ds, "#!/bin/sh\nexit 0\n")
    users = {"root": ("$1$r$root", 1), "admin": ("$1$a$admin", 1), "svc": ("!", 1), "guest": ("$1$g$guest", 0)}
    snapshot = compact({
        "apps": {"gps": {"version": "2.1.0"}, "velmo_client": {"version": "3.1.0"}},
        "files": {"/etc/rc.d/rc.local": {"data": b64("#!/bin/sh\nexit 0\n"), "path": "/etc/rc.d/rc.local"}},
        # The app's settings file comes after the firmware's: its ETH_IP wins.
        "settings": {"ETH_IP": {"v": "from-gps"}, "ETH_MASK": {"v": "255.255.255.0"},
                     "MOD_GPS_ENABLED": {"v": "1"}, "PPP_APN": {"v": "internet"}},
        "system": {"firmware": {"version": "6.3.10"}},
        "users": {name: {"password": h, "role": role} for name, (h, role) in users.items()},
    })
    assert snapshot_answer(ds) == compact({"c": 0, "id": 5, "p": {"snapshot": b64(snapshot)}, "t": 9})
    assert ds.deploy.messages() == ["Connection to '127.0.0.1' established.",
                                    "Received a request to create a configuration profile."] + \
        ds.deploy.messages()[2:]
    assert r.read("etc/passwd") == PASSWD, "nothing on the router changes"

    # A router without apps, settings files or scripts.
    subprocess.run(["rm", "-rf", r.path("opt/gps"), r.path("opt/velmo_client/etc/name"),
                    r.path("etc/settings.eth"), r.path("etc/settings.ppp"), r.ovl / "etc/upper/rc.d"], check=True)
    bare = compact({"files": None, "settings": None, "system": {"firmware": {"version": "6.3.10"}},
                    "users": {name: {"password": h, "role": role} for name, (h, role) in users.items()}})
    assert snapshot_answer(ds, 6) == compact({"c": 0, "id": 6, "p": {"snapshot": b64(bare)}, "t": 9})


@pytest.mark.parametrize("break_router, error", [
    (lambda r: r.set_status("sys", {"Product Name": "RV-5200"}), "Firmware version could not be determined."),
    (lambda r: r.write("etc/shadow", SHADOW.replace("svc:!:19000:0:99999:7:::\n", "")), "map::at"),
])
def test_snapshot_that_cannot_be_built_answers_status_1(ds, break_router, error):
    break_router(ds.router)
    assert snapshot_answer(ds, 7) == '{"c":1,"id":7,"t":9}'
    assert ds.deploy.messages("err") == [f"Errors while handling CreateConfigProfile message: '{error}'"]


def test_an_answer_lost_with_the_connection_is_built_again_by_the_next_pass(ds):
    ds.set_profile({"settings": {"ETH_IP": {"v": "10.0.0.1"}}})
    ds.set_request()
    assert ds.run("sync", ds.broker.port, "lost").splitlines() == ["CONNECT_TO_MS", "kept 1"]
    assert any(m.startswith("Could not send an ApplyConfig response: '") for m in ds.deploy.messages("err"))
    assert ds.request() == '{"config_hash":"h17","request_id":17,"response_sent":false,"status":0}'
    assert ds.answers() == []
    # The pass is not repeated (the state was reached), only the answer is sent.
    ds.deploy.clear()
    assert ds.sync() == "HANDLE_MANAGEMENT_COMMANDS"
    assert ds.deploy.commands() == []
    assert ds.answers() == [(f"sr/{MAC.upper()}/cmd/config", '{"c":0,"id":17,"p":{"config_hash":"h17"},"t":11}')]


def test_settings_restart_each_service_once_and_the_agent_by_exiting(ds):
    r = ds.router
    r.install_agent("3.1.0")
    r.write_settings(LOGLEVEL="info")
    r.install_app("gps", "2.1.0", files={"etc/settings": "MOD_GPS_ENABLED=0\n"})
    # A settings file whose name would be a command line if it were not quoted.
    r.write("etc/settings.x;fwupdate", "X_A=1\n")
    ds.store_digests(("etc/settings.eth", "ETH_HASH"), ("opt/velmo_client/etc/settings", "MOD_VELMO_CLIENT_HASH"),
                     ("opt/gps/etc/settings", "MOD_GPS_HASH"), ("etc/settings.x;fwupdate", "X;FWUPDATE_HASH"))
    r.write("etc/settings.x;fwupdate", "X_A=2\n")  # edited by hand since its digest was stored
    ds.set_profile({"settings": {"ETH_IP": {"v": "10.0.0.1"}, "MOD_VELMO_CLIENT_LOGLEVEL": {"v": "debug"},
                                 "MOD_GPS_ENABLED": {"v": "1"}}})
    ds.set_request()
    ds.deploy.clear()
    assert ds.sync() == "EXIT restart_client"
    cmds = ds.deploy.commands()
    assert cmds[0] == "/usr/sbin/restore ROOT/tmp/settings.ini"
    assert sorted(cmds[1:]) == sorted(["/etc/init.d/backrt restart", "/etc/init.d/eth restart",
                                       "ROOT/opt/gps/etc/init restart"])
    assert ds.answers() == [], "the next run answers"
    assert ds.request() == '{"config_hash":"h17","request_id":17,"response_sent":false,"status":1}'
    assert r.read("opt/velmo_client/etc/settings") == "MOD_VELMO_CLIENT_LOGLEVEL=debug\n"
    assert "Restarted services: " in " ".join(ds.deploy.messages("debug"))
    assert any(m == "New configuration applied to 'ROOT/etc/settings.x;fwupdate'. Services restarted: x;fwupdate,"
               for m in ds.deploy.messages("debug"))


def test_a_failing_restore_tool_keeps_its_scratch_file_and_a_planted_link_is_not_followed(ds):
    r = ds.router
    target = r.write("var/victim", "keep me\n")
    os.symlink(target, r.path("tmp/settings.ini"))
    r.set_rc("restore", 1)
    ds.set_profile({"settings": {"ETH_IP": {"v": "10.0.0.1"}, "PPP_APN": {"v": "iot"}}})
    ds.set_request()
    assert ds.sync() == "HANDLE_MANAGEMENT_COMMANDS"
    scratch = r.path("tmp/settings.ini")
    assert not scratch.is_symlink() and scratch.read_text() == "ETH_IP=10.0.0.1\nPPP_APN=iot"
    assert scratch.stat().st_mode & 0o777 == 0o600
    assert target.read_text() == "keep me\n"
    # The failure is not reported: the answer says reached.
    assert ds.answers()[0][1] == '{"c":0,"id":17,"p":{"config_hash":"h17"},"t":11}'


def test_a_link_planted_at_a_profile_file_is_never_written_through(ds):
    """Before the pass, and in the race after the pass removed the path (the
    probe plants the link right after that unlink)."""
    r = ds.router
    victim = r.write("var/victim", "keep me\n", 0o600)
    conf = r.path("srv/a.conf")
    ds.set_profile({"files": {"a.conf": {"path": str(conf), "data": b64("a=1\n")}}})
    for planted_before in (True, False):
        if planted_before:
            conf.parent.mkdir(parents=True, exist_ok=True)
            os.symlink(victim, conf)
        ds.set_request()
        plant = "" if planted_before else f"export DS_PROBE_PLANT_AT={conf} DS_PROBE_PLANT_TARGET={victim} && "
        assert ds.deploy.run("sync", ds.broker.port, probe="ds_probe", setup=plant) == "HANDLE_MANAGEMENT_COMMANDS"
        assert victim.read_text() == "keep me\n" and victim.stat().st_mode & 0o7777 == 0o600, planted_before
        assert not conf.is_symlink() and conf.read_text() == "a=1\n" and conf.stat().st_mode & 0o7777 == 0o750
        assert ds.answers()[0][1] == '{"c":0,"id":17,"p":{"config_hash":"h17"},"t":11}'
        conf.unlink()


def test_a_new_agent_package_is_left_for_the_exit_after_settings_and_users(ds, content_server):
    r = ds.router
    r.install_agent("3.1.0")
    pkg = content_server.add_file("velmo_client_3.2.0.tgz", build_package({"velmo_client": app_files("velmo_client",
                                                                                                      "3.2.0")}))
    ds.set_profile({"apps": {"velmo_client": {"version": "3.2.0", "url": pkg.url}},
                    "settings": {"ETH_IP": {"v": "10.0.0.1"}},
                    "users": {"op": {"password": "$6$op", "role": 1}}})
    ds.set_request()
    ds.deploy.clear()
    assert ds.sync() == "EXIT update_client"
    assert ds.deploy.commands()[2:] == ["/usr/sbin/restore ROOT/tmp/settings.ini", "/usr/sbin/adduser -D -G root op"]
    assert r.path("tmp/velmo_client_3.2.0.tgz").read_bytes() == pkg.data
    assert r.read("opt/velmo_client/etc/version") == "3.1.0"
    assert ds.answers() == []
    assert ds.request() == '{"config_hash":"h17","request_id":17,"response_sent":false,"status":1}'
