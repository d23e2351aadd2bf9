"""The main job: a simulated router whose watchdog starts the agent, which
bootstraps a certificate from the local reference bootstrap server, connects
to the management server with mutual TLS and greets it. The watchdog then
brings back an agent that was killed, and the agent ends cleanly on SIGTERM.

Run through scripts/demo (it builds first). Everything happens in a private
network namespace and in the router's own namespaces.
"""
import json
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from testbed import netns  # noqa: E402

WATCHDOG_SPEED = "+0 x60"  # the watchdog's 120-second period takes two seconds


def say(who, text):
    print(f"[{time.strftime('%H:%M:%S')}] {who:<8} {text}", flush=True)


def follow_log(router, stop):
    """Prints the router's syslog lines as they arrive."""
    seen = 0
    while not stop.is_set():
        entries = router.logs()
        for e in entries[seen:]:
            say("router", f"{e['severity']:<7} {e['ident']}: {e['msg']}")
        seen = len(entries)
        time.sleep(0.05)


def main():
    netns.enter_private_network()
    from testbed.brokers import Broker
    from testbed.pki import Pki
    from testbed.router import Router, program
    from testbed.service import BootstrapServer, ManagementServer

    work = Path(tempfile.mkdtemp(prefix="velmo-demo-"))
    say("demo", f"working directory {work}")
    pki = Pki(work / "pki")
    bs_broker = Broker("tls", work, pki).start()
    ms_broker = Broker("mtls", work, pki).start()
    say("service", f"bootstrap broker ssl://127.0.0.1:{bs_broker.port} (server certificate only)")
    say("service", f"management broker ssl://127.0.0.1:{ms_broker.port} (mutual TLS)")
    ms = ManagementServer(ms_broker)
    bs = BootstrapServer(bs_broker, pki, management=(ms_broker.host, ms_broker.port))
    ms.peer.client.on_message = lambda c, u, m: (ms._on_message(c, u, m),
                                                 say("service", f"management server got {m.topic}: "
                                                                f"{m.payload.decode(errors='replace')}"))

    router = Router(work / "router")
    root = router.root
    agent = program("velmo_client")
    router.install_agent("1.0.0")
    router.write("opt/velmo_client/etc/ca.crt.default", Path(pki.ca.cert).read_text())
    # The agent's service script, as the router app ships it, run without the watchdog's fast clock.
    router.write("opt/velmo_client/etc/init", router.recorder_script(
        f'[ "$1" = restart ] || exit 0\n'
        f'pidof velmo_client >/dev/null && kill -TERM $(pidof velmo_client) && sleep 1\n'
        f'env -u LD_PRELOAD -u FAKETIME {agent} -d {root} </dev/null >/dev/null 2>&1 &'), 0o755)
    router.write_settings(ENABLED=1, BOOTSTRAPSERVER="127.0.0.1", BOOTSTRAPPORT=bs_broker.port, LOGLEVEL="info",
                          KEEPALIVE_INTERVAL=60, MONITORING_ENABLED=1, MONITORING_INTERVAL=5)
    say("router", f"fresh router at {router.dir}: no key, no certificate, no management server")

    stop = threading.Event()
    follower = threading.Thread(target=follow_log, args=(router, stop), daemon=True)
    follower.start()
    proc = router.start([program("velmo_watchdog")], faketime=WATCHDOG_SPEED)
    status = 1
    try:
        ms.wait_for("greetings", timeout=60)
        data = root / "var/data/velmo_client"
        say("demo", f"bootstrapped: {sorted(p.name for p in data.iterdir())}")
        say("demo", "management-server.json: " + (data / "management-server.json").read_text())

        say("demo", "killing the agent with SIGKILL: the broker publishes its last will")
        for pid in proc.processes("velmo_client"):
            os.kill(pid, signal.SIGKILL)
        ms.wait_for("notify/online", count=2, timeout=30)
        ms.wait_for("greetings", count=2, timeout=60)
        say("demo", "the watchdog started the agent again; it skipped the bootstrap and greeted")

        say("demo", "SIGTERM to the agent: it saves its state and says it is offline")
        for pid in proc.processes("velmo_client"):
            os.kill(pid, signal.SIGTERM)
        ms.wait_for("notify/online", count=4, where=None, timeout=30)
        time.sleep(0.3)
        status = 0
    finally:
        proc.kill()
        stop.set()
        follower.join()
        router.close()
        bs.close()
        ms.close()
        bs_broker.stop()
        ms_broker.stop()
    print()
    say("demo", "done: bootstrap, mutual-TLS session, greeting, last will, watchdog restart, clean exit"
        if status == 0 else "failed")
    if status == 0:
        shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
