"""velmo_watchdog as a real process in a simulated router. libfaketime makes
its 120-second period take one second; the exact age limits are unit-tested."""
import os
import time

import pytest

from testbed.router import program

WATCHDOG = str(program("velmo_watchdog"))
FAST = "+0 x120"


def watchdog_commands(router):
    return [c for c in router.commands() if "velmo_client" in c]


def age_heartbeat(router, seconds):
    hb = router.write("var/data/velmo_client/heartbeat", "")
    t = time.time() - seconds
    os.utime(hb, (t, t))


def run_passes(router, passes, message="Starting client...", commands=1):
    """Runs the watchdog until it has logged `message` `passes` times and the
    init script has recorded `commands` calls."""
    proc = router.start([WATCHDOG], faketime=FAST)
    try:
        router.wait_until(lambda: router.messages("velmo_watchdog").count(message) >= passes
                          and len(watchdog_commands(router)) >= commands, proc=proc, what=f"{passes}x {message}")
    finally:
        proc.terminate()
        proc.wait(10)
    return router.messages("velmo_watchdog")


@pytest.mark.parametrize("settings", [None, "MOD_VELMO_CLIENT_ENABLED=0\n"])
def test_disabled_agent_exits_at_once_without_a_log_line(router, settings):
    if settings is not None:
        router.write_settings(settings)
    status, out, err = router.run([WATCHDOG], timeout=10)
    assert status == 0
    assert router.logs() == []
    assert router.journal() == []


def test_agent_not_running_with_fresh_heartbeat_is_started_once_per_pass(router):
    router.write_settings(ENABLED=1)
    age_heartbeat(router, 0)
    msgs = run_passes(router, 1)
    assert msgs[:2] == ["velmo_client not running.", "Starting client..."]
    assert "velmo_client not responding." not in msgs
    assert watchdog_commands(router)[0] == "/etc/init.d/velmo_client restart"
    # one start per pass, nothing else
    assert len(watchdog_commands(router)) == msgs.count("Starting client...")


def test_agent_not_running_with_day_old_heartbeat_is_started_and_restarted(router):
    router.write_settings(ENABLED=1)
    router.install_agent()  # installed as an app: its own init script is used
    age_heartbeat(router, 25 * 3600)
    msgs = run_passes(router, 1, "Restarting client...", commands=2)
    assert msgs[:4] == ["velmo_client not running.", "Starting client...", "velmo_client not responding.",
                        "Restarting client..."]
    assert watchdog_commands(router)[:2] == ["/opt/velmo_client/etc/init restart"] * 2


def test_missing_heartbeat_of_a_running_agent_restarts_it_every_pass(router):
    router.write_settings(ENABLED=1)
    # The init script starts a process named velmo_client; the heartbeat never appears.
    fake = router.dir / "velmo_client"
    fake.write_bytes(open("/bin/sleep", "rb").read())
    fake.chmod(0o755)
    router.init_script("velmo_client", f"pidof velmo_client >/dev/null || {fake} 100000 &")
    msgs = run_passes(router, 3, "Cannot obtain heartbeat.")
    assert msgs[:4] == ["velmo_client not running.", "Starting client...", "Cannot obtain heartbeat.",
                        "Restarting client..."]
    later = msgs[4:]
    assert "velmo_client not running." not in later, "the started agent is seen by pidof"
    assert later.count("Cannot obtain heartbeat.") >= 2
    errors = [e for e in router.logs("velmo_watchdog") if e["msg"] == "Cannot obtain heartbeat."]
    assert {e["severity"] for e in errors} == {"err"}
