"""One fresh router through its whole managed life with the real agent: a
profile with settings, users, a file and an app from the content server, a
snapshot, a hand edit detected and repaired, and a reboot answered after the
restart."""
import base64
import gzip
import json
import signal

import pytest

from fixtures_service import DEVICE
from testbed.content_server import ContentServer
from testbed.packages import app_files, build_package

ME = f"sr/{DEVICE}/"
PASSWD = "root:x:0:0:root:/root:/bin/sh\ndaemon:x:1:1:daemon:/usr/sbin:/bin/false\n"
SHADOW = "root:$1$r$root:19000:0:99999:7:::\ndaemon:*:19000:0:99999:7:::\n"
GROUP = "root:x:0:\nusers:x:1000:\n"


@pytest.fixture
def content(service):
    server = ContentServer(service.pki.server.cert, service.pki.server.key).start()
    yield server
    server.stop()


def managed_router(router):
    router.write("etc/settings.eth", "ETH_IP=192.168.1.1\nETH_MASK=255.255.255.0\n")
    router.write("etc/passwd", PASSWD, 0o644)
    router.write("etc/shadow", SHADOW, 0o640)
    router.write("etc/group", GROUP, 0o644)


def start(router):
    return router.start(router.agent_argv())


def online(service, router, count=1):
    proc = start(router)
    service.ms.wait_for("greetings", count=count)
    router.wait_for_log("State: 'HANDLE_MANAGEMENT_COMMANDS'", proc=proc)
    return proc


def test_a_router_through_its_managed_life(service, router, content):
    ms = service.ms
    service.prepare(router)
    managed_router(router)
    package = content.add_file("gps_2.1.0.tgz", build_package({"gps": app_files("gps", "2.1.0")}))
    profile = {
        "apps": {"gps": {"url": package.url, "version": "2.1.0"}},
        "files": {"motd": {"data": base64.b64encode(b"managed by velmo\n").decode(), "path": "/etc/motd"}},
        "settings": {"ETH_IP": {"v": "10.0.0.1"}},
        "users": {"operator": {"password": "$1$o$operator", "role": 0}},
    }
    proc = online(service, router)
    payload = ms.apply_config(DEVICE, 10, profile, config_hash="cafe01")
    answer = ms.answer(10, timeout=60)
    assert (answer.topic, answer.payload, answer.qos, answer.retain) == (
        ME + "cmd/config", b'{"c":0,"id":10,"p":{"config_hash":"cafe01"},"t":11}', 1, False)
    # What changed on the router.
    assert "ETH_IP=10.0.0.1\n" in router.read("etc/settings.eth")
    assert router.read("opt/gps/etc/version").startswith("2.1.0")
    # The file's path is absolute on the router: inside its namespace /etc is an overlay.
    assert (router.ovl / "etc/upper/motd").read_text() == "managed by velmo\n"
    assert "operator:$1$o$operator:" in router.read("etc/shadow")
    restores = [c for c in router.commands() if c.startswith("/usr/sbin/restore ")]
    assert restores and "/usr/sbin/adduser -D operator" in router.commands()
    assert json.loads(router.data("config_profile.conf").read_text()) == json.loads(
        gzip.decompress(base64.b64decode(payload["config"])))

    # The snapshot describes the router as it now is.
    ms.send(DEVICE, 8, 11)
    snap = ms.answer(11)
    body = snap.json()
    assert snap.topic == ME + "cmd/snapshot" and set(body) == {"c", "id", "p", "t"}
    assert (body["c"], body["id"], body["t"], list(body["p"])) == (0, 11, 9, ["snapshot"])
    current = json.loads(base64.b64decode(body["p"]["snapshot"]))
    assert current["settings"]["ETH_IP"] == {"v": "10.0.0.1"}
    assert current["apps"]["gps"]["version"].startswith("2.1.0")
    assert "operator" in current["users"]

    # A hand edit of a managed key is reported and repaired; the command is not answered again.
    router.clear_journal()
    router.write("etc/settings.eth", router.read("etc/settings.eth").replace("ETH_IP=10.0.0.1", "ETH_IP=6.6.6.6"))
    event = ms.sync_event(timeout=60)
    assert event.json()["p"]["changes"] == [{"from": "10.0.0.1", "name": "ETH_IP", "to": "6.6.6.6", "type": 0}]
    assert (event.topic, event.qos, event.retain) == (ME + "notify/sync-event", 2, False)
    router.wait_until(lambda: "ETH_IP=10.0.0.1\n" in router.read("etc/settings.eth"), proc=proc,
                      what="the setting repaired")
    router.wait_until(lambda: "/etc/init.d/eth restart" in router.commands(), proc=proc, what="eth restarted")
    assert any(c.startswith("/usr/sbin/restore ") for c in router.commands())
    router.wait_for_log("State: 'HANDLE_MANAGEMENT_COMMANDS'", proc=proc)
    assert len(ms.answers(10)) == 1

    # A reboot is answered by the restarted agent, once.
    ms.send(DEVICE, 6, 12)
    assert proc.wait(30) == -signal.SIGHUP
    assert router.data("reboot_request.json").read_text() == '{"request_id":12,"response_sent":false}'
    proc = online(service, router, count=2)
    reboot = ms.answer(12)
    assert (reboot.topic, reboot.payload) == (ME + "cmd/reboot", b'{"c":0,"id":12,"t":7}')
    proc.terminate()
    assert proc.wait(30) == 0
    assert len(ms.answers(12)) == 1 and len(ms.answers(10)) == 1
    assert router.data("reboot_request.json").read_text() == '{"request_id":12,"response_sent":true}'
    assert json.loads(router.data("sync_request.json").read_text()) == {
        "config_hash": "cafe01", "request_id": 10, "response_sent": True, "status": 0}
