"""One router's managed life, as it happens: the agent on a fresh simulated
router bootstraps against the local reference service, greets the management
server, applies a profile (a setting, a user, a file and an app from the
content server), answers, repairs a hand edit, sends a snapshot, answers a
reboot after the restart and stops cleanly. Each step of the timeline names
the message or file that proved it; the demo exits non-zero when a step did
not happen.

Run through scripts/demo (it builds first). Everything happens in a private
network namespace and in the router's own namespaces.
"""
import base64
import json
import shutil
import signal
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from testbed import netns  # noqa: E402

START = time.monotonic()


def say(text):
    print(f"[{time.monotonic() - START:6.1f}s] {text}", flush=True)


def short(payload, limit=150):
    text = payload.decode(errors="replace") if isinstance(payload, bytes) else str(payload)
    return text if len(text) <= limit else text[:limit] + "..."


def online(service, router, greetings):
    proc = router.start(router.agent_argv())
    service.ms.wait_for("greetings", count=greetings, timeout=60)
    router.wait_for_log("State: 'HANDLE_MANAGEMENT_COMMANDS'", proc=proc)
    return proc


def main():
    netns.enter_private_network()
    from testbed.content_server import ContentServer
    from testbed.packages import app_files, build_package
    from testbed.pki import Pki
    from testbed.router import Router
    from testbed.service import ReferenceService

    work = Path(tempfile.mkdtemp(prefix="velmo-demo-"))
    pki = Pki(work / "pki")
    service = ReferenceService(work, pki)
    content = ContentServer(pki.server.cert, pki.server.key).start()
    router = Router(work / "router")
    service.prepare(router, level="debug")
    router.write("etc/settings.eth", "ETH_IP=192.168.1.1\nETH_MASK=255.255.255.0\n")
    for name, text in (("passwd", "root:x:0:0:root:/root:/bin/sh\n"), ("shadow", "root:*:19000:0:99999:7:::\n"),
                       ("group", "root:x:0:\n")):
        router.write("etc/" + name, text)
    package = content.add_file("gps_2.1.0.tgz", build_package({"gps": app_files("gps", "2.1.0")}))
    ms, data = service.ms, router.data
    say(f"fresh router at {router.dir}: ETH_IP=192.168.1.1, no key, no certificate, no gps app")

    proc = None
    step = "start"
    try:
        step = "bootstrap and greeting"
        proc = online(service, router, 1)
        _, request, _ = service.bs.requests[0]
        device = ms.wait_for("greetings").device
        say(f"bootstrapped: CSR sent ({len(request['p']['csr'])} bytes), client.crt and management-server.json "
            f"written: {data('management-server.json').read_text()}")
        say(f"greeting on {ms.wait_for('greetings').topic}: {short(ms.wait_for('greetings').payload)}")

        step = "profile applied"
        profile = {
            "apps": {"gps": {"url": package.url, "version": "2.1.0"}},
            "files": {"motd": {"data": base64.b64encode(b"managed by velmo\n").decode(), "path": "/etc/motd"}},
            "settings": {"ETH_IP": {"v": "10.0.0.1"}},
            "users": {"operator": {"password": "$1$o$operator", "role": 0}},
        }
        say("ApplyConfig id 10: " + json.dumps(profile)[:150] + "...")
        ms.apply_config(device, 10, profile, config_hash="demo-1")
        answer = ms.answer(10, timeout=60)
        say(f"answer on {answer.topic}: {short(answer.payload)}")
        if answer.json().get("c") != 0:
            raise AssertionError("the profile was not applied")
        say("router now: " + ", ".join([
            [line for line in router.read("etc/settings.eth").splitlines() if line.startswith("ETH_IP")][0],
            "gps " + router.read("opt/gps/etc/version").split()[0],
            "user " + router.read("etc/passwd").splitlines()[-1].split(":")[0],
            "/etc/motd: " + (router.ovl / "etc/upper/motd").read_text().strip()]))

        step = "hand edit detected and repaired"
        router.write("etc/settings.eth", router.read("etc/settings.eth").replace("ETH_IP=10.0.0.1", "ETH_IP=6.6.6.6"))
        say("hand edit on the router: ETH_IP=6.6.6.6")
        event = ms.sync_event(timeout=60)
        say(f"SyncEvent on {event.topic}: {short(event.payload)}")
        router.wait_until(lambda: "ETH_IP=10.0.0.1\n" in router.read("etc/settings.eth"), timeout=30, proc=proc,
                          what="the repair")
        # The services of the repaired file restart after the restore tool has run.
        router.wait_until(lambda: "/etc/init.d/eth restart" in router.commands(), timeout=30, proc=proc,
                          what="the restart of eth")
        restarts = [c for c in router.commands() if c.startswith("/etc/init.d/")]
        say("repaired: ETH_IP=10.0.0.1 again; services restarted: " + ", ".join(restarts[-2:]))
        if len(ms.answers(10)) != 1:
            raise AssertionError("the repair answered the ApplyConfig again")

        step = "snapshot"
        ms.send(device, 8, 11)
        snap = ms.answer(11)
        current = json.loads(base64.b64decode(snap.json()["p"]["snapshot"]))
        say(f"SnapshotResponse on {snap.topic} ({len(snap.payload)} bytes): settings "
            f"ETH_IP={current['settings']['ETH_IP']['v']}, apps {sorted(current.get('apps', {}))}, "
            f"users {sorted(current.get('users', {}))}")

        step = "reboot answered after the restart"
        ms.send(device, 6, 12)
        if proc.wait(30) != -signal.SIGHUP:
            raise AssertionError("the router did not reboot")
        say("Reboot id 12: the agent saved its state and rebooted the router; reboot_request.json: "
            + data("reboot_request.json").read_text())
        proc = online(service, router, 2)
        reboot = ms.answer(12)
        say(f"restarted agent answered on {reboot.topic}: {short(reboot.payload)}")

        step = "clean stop"
        proc.terminate()
        if proc.wait(30) != 0:
            raise AssertionError("the agent did not exit with status 0")
        offline = ms.messages("notify/online")[-1]
        say(f"SIGTERM: exit status 0, last message {short(offline.payload)}; "
            f"sync_request.json: {data('sync_request.json').read_text()}")
        status = 0
    except Exception as e:  # noqa: BLE001 - the demo reports which step failed
        say(f"FAILED at step '{step}': {e}")
        status = 1
    finally:
        if proc is not None:
            proc.kill()
        router.close()
        content.stop()
        service.close()
    print()
    say("done: bootstrap, greeting, profile, answer, repair, snapshot, reboot answer, clean stop"
        if status == 0 else "the demo failed")
    if status == 0:
        shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
