"""The agent's entry and state-machine driver, run as real processes in a
simulated router. The driver is exercised through driver_probe, the agent's
own entry with handlers that steer it into the paths under test."""
import os
import signal
import subprocess
import tarfile
import time

import pytest

from testbed.router import program

PROBE = str(program("driver_probe"))


def probe(router, mode, exit_requests="", level="debug"):
    router.write_settings(LOGLEVEL=level)
    env = {"VELMO_PROBE_MODE": mode, "VELMO_PROBE_EXIT": exit_requests}
    return [PROBE, "-d", str(router.root)], env


def test_top_prefix_moves_every_path_and_clears_the_scratch_directory(router):
    router.install_agent("v1.0.0 (2026-12-01)")
    router.write("tmp/module/stale/pkg.tgz", "old")
    router.write("tmp/keep", "x")
    argv, env = probe(router, "exit")
    status, out, err = router.run(argv, env=env)
    assert status == 0, err
    assert not router.exists("tmp/module"), "the scratch directory is removed at start"
    assert router.exists("tmp/keep")
    assert router.exists("var/data/velmo_client/heartbeat"), "the heartbeat is created below the prefix"
    msgs = router.messages("velmo_client")
    assert msgs[0] == "Starting velmo_client version '1.0.0'."
    assert msgs.index("probe: load") < msgs.index("State: 'INITIAL'") < msgs.index("probe: save")


@pytest.mark.parametrize("level, shown, hidden", [
    ("error", {"err"}, {"warning", "info", "debug"}),
    ("warning", {"err"}, {"info", "debug"}),
    ("info", {"info", "err"}, {"debug"}),
    ("debug", {"debug", "info", "err"}, set()),
    ("trace", {"debug", "info", "err"}, set()),
])
def test_log_mask_follows_the_level(router, level, shown, hidden):
    # raise: one critical error (err), the resume notice (info), state lines (debug)
    argv, env = probe(router, "raise", level=level)
    proc = router.start(argv, env=env)
    router.wait_for_log("Critical error: 'probe failure in INITIAL'", proc=proc)
    # The resume notice is logged right after the critical error when info is on;
    # SIGTERM then ends the recovery sleep and the process.
    proc.terminate()
    assert proc.wait(5) == 0
    seen = {e["severity"] for e in router.logs("velmo_client")}
    assert shown <= seen
    assert not (hidden & seen)


@pytest.mark.parametrize("level", ["", "Debug", "verbose"])
def test_unusable_log_level_stops_with_one_line_on_stderr(router, level):
    argv, env = probe(router, "exit", level=level)
    status, out, err = router.run(argv, env=env)
    assert status != 0
    lines = err.strip().splitlines()
    assert len(lines) == 1
    assert f"string_to_syslogLevel: Could not translate '{level}' to log level." in lines[0]
    assert router.logs() == []


def test_missing_settings_file_is_an_empty_log_level(router):
    status, out, err = router.run([PROBE, "-d", str(router.root)])
    assert status != 0
    assert "Could not translate '' to log level." in err


def agent_package(router, version):
    """The agent's own package in the temporary directory, as a download leaves it."""
    src = router.dir / "pkg" / "velmo_client" / "etc"
    src.mkdir(parents=True)
    (src / "name").write_text("velmo_client\n")
    (src / "version").write_text(version)
    with tarfile.open(router.path(f"tmp/velmo_client_{version}.tgz"), "w:gz") as tar:
        tar.add(router.dir / "pkg" / "velmo_client", arcname="velmo_client")


def prepare_exit_actions(router):
    router.install_agent("1.0.0")
    router.write("opt/velmo_client/etc/reinstall", router.recorder_script(), 0o755)
    agent_package(router, "2.0.0")


def own_scripts(router):
    root = str(router.root)
    return [c.replace(root, "") for c in router.commands() if c.startswith(root)]


def test_sigterm_during_recovery_sleep_runs_exit_actions_in_order(router):
    prepare_exit_actions(router)
    argv, env = probe(router, "raise", "reboot,update,restart")
    # Without CAP_SYS_BOOT the reboot call returns, so the later actions run.
    proc = router.start(argv, env=env, drop_caps=["sys_boot"])
    router.wait_for_log("Operations will resume in 300 seconds.", proc=proc)
    sent = time.monotonic()
    proc.terminate()
    assert proc.wait(10) == 0
    # The recovery sleep ends at once; the pause before the reboot and the one
    # inside it still run in full although SIGTERM has arrived.
    assert 2.0 <= time.monotonic() - sent < 2 + 5
    msgs = router.messages("velmo_client")
    tail = msgs[msgs.index("Operations will resume in 300 seconds."):]
    assert tail[1] == "State: 'INITIAL'"
    order = [m for m in tail if m in ("probe: save", "Rebooting...", "Updating client...", "Restarting client...")]
    assert order == ["probe: save", "Rebooting...", "Updating client...", "Restarting client..."]
    assert "Updating 'velmo_client' version '2.0.0'." in msgs
    assert own_scripts(router) == ["/opt/velmo_client/etc/reinstall", "/opt/velmo_client/etc/init restart"]


def test_sigterm_handled_on_another_thread_ends_the_recovery_sleep(router):
    fifo = router.dir / "term.fifo"
    os.mkfifo(fifo)
    argv, env = probe(router, "raise")
    env["VELMO_PROBE_TERM_FIFO"] = str(fifo)
    proc = router.start(argv, env=env)
    router.wait_for_log("Operations will resume in 300 seconds.", proc=proc)
    with open(fifo, "w") as trigger:
        trigger.write("\n")
    line = router.wait_for_log("probe: SIGTERM to thread", proc=proc)["msg"]
    tid, pid = line.split()[4], line.split()[-1]
    assert tid != pid, "the signal went to a thread other than the main one"
    assert proc.wait(10) == 0, "the main thread left its 300-second sleep"
    msgs = router.messages("velmo_client")
    assert msgs[msgs.index("Operations will resume in 300 seconds.") + 1:][:2] == [line, "State: 'INITIAL'"]
    assert "probe: save" in msgs


def test_reboot_ends_the_router_namespace_before_update_and_restart(router):
    prepare_exit_actions(router)
    argv, env = probe(router, "raise", "reboot,update,restart")
    proc = router.start(argv, env=env)
    router.wait_for_log("Operations will resume in 300 seconds.", proc=proc)
    proc.terminate()
    assert proc.wait(10) == -signal.SIGHUP, "the namespace was rebooted"
    assert "Rebooting..." in router.messages("velmo_client")
    assert "Updating client..." not in router.messages("velmo_client")
    assert own_scripts(router) == []


def test_greeted_flag_follows_bootstrap_and_greeting(router):
    argv, env = probe(router, "cycle")
    status, out, err = router.run(argv, env=env)
    assert status == 0, err
    steps = [m for m in router.messages("velmo_client") if m.startswith("probe: ") and "greeted" in m]
    assert steps == ["probe: INITIAL greeted=0", "probe: BOOTSTRAP greeted=0", "probe: CONNECT_TO_MS greeted=0",
                     "probe: GREET_SERVER greeted=0", "probe: CONNECT_TO_MS greeted=1"]
