"""A simulated router: a prefix directory for the agent's -d option, a
simulation folder, and a runner that starts a command in private mount and
PID namespaces (and a private network namespace) with fake router tools at
their absolute paths.

    router = Router(path)
    router.write_settings(MOD_VELMO_CLIENT_LOGLEVEL="debug")
    proc = router.start(router.agent_argv())
    router.wait_for_log("Starting velmo_client")
    proc.terminate(); proc.wait()
    router.journal()   # argv of every fake tool call, in order

Layout of the router directory:
    root/   the top prefix: opt/velmo_client/, var/data/velmo_client/, tmp/, etc/, ...
    sim/    journal, status/<section>, rc/<tool>, syslog.jsonl, log.sock, uptime, ppp/,
            net/<interface>, conntrack, ping-times
    ovl/    upper and work layers of the overlay mounts
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
TOOLS = REPO / "testbed" / "tools"
ENTER = REPO / "testbed" / "router-enter.sh"
PYTHON = "/usr/bin/python3"

# Paths that the namespace covers with overlays: a router directory must not
# lie below them, or its files would vanish behind the overlay.
COVERED = ("/usr", "/etc", "/var", "/opt", "/dev")

DEFAULT_STATUS = {
    "sys": {
        "Product Name": "RV-5200",
        "Firmware Version": "6.3.10 (2023-04-18)",
        "Serial Number": "RV5200-0042",
        "RTC Battery": "OK",
    },
    "lan": {"MAC Address": "a4:07:1b:c0:00:ff"},
    "module": {"Revision": "EC25EFAR06A06M4G", "IMEI": "356938035643809", "ICCID": "8935101234567890123"},
    "mobile": {
        "Operator": "Velnet",
        "Technology": "LTE",
        "Cell": "1A2B3C",
        "Channel": "1300",
        "Signal Strength": "-71 dBm",
        "Signal Quality": "-9 dB",
        "LAC": "0F12",
        "TAC": "0F12",
        "Band": "B3",
        "PLMN": "27201",
    },
    "ppp": {"Interface": "ppp0", "Uptime": "0 days, 1 hours, 5 minutes", "SIM Card": "Primary"},
}


ROUTER_SERVICES = ("velmo_client", "eth", "snmp", "backrt", "wifi", "ppp", "pppoe", "dns") + tuple(
    f"{kind}{n}" for kind in ("ipsec", "openvpn") for n in range(5))


def build_dir():
    return Path(os.environ.get("VELMO_BUILD_DIR", REPO / "build"))


def program(name):
    """A deliverable (build/bin) or a test program (build/tests/bin)."""
    for candidate in (build_dir() / "bin" / name, build_dir() / "tests" / "bin" / name):
        if candidate.exists():
            return candidate
    raise FileNotFoundError(f"{name} is not built in {build_dir()}")


def format_status(values):
    if isinstance(values, str):
        return values
    return "".join(f"{k} : {v}\n" for k, v in values.items())


class RouterProcess:
    """A command running as the main process of a router's namespaces."""

    def __init__(self, popen, router):
        self.popen = popen
        self.router = router
        self._pid = None

    @property
    def pid(self):
        """Host PID of the command itself (the child of the namespace's init)."""
        if self._pid is None:
            deadline = time.monotonic() + 10
            while self._pid is None:
                init = _children(self.popen.pid)
                child = _children(init[0]) if init else []
                if child:
                    self._pid = child[0]
                elif self.popen.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("the router's command did not start")
                else:
                    time.sleep(0.01)
        return self._pid

    def processes(self, name):
        """Host PIDs of the router's processes with this command name."""
        init = _children(self.popen.pid)
        found, todo = [], list(init)
        while todo:
            pid = todo.pop()
            todo.extend(_children(pid))
            try:
                if Path(f"/proc/{pid}/comm").read_text().strip() == name:
                    found.append(pid)
            except OSError:
                pass
        return found

    def signal(self, sig):
        os.kill(self.pid, sig)

    def terminate(self):
        self.signal(signal.SIGTERM)

    def kill(self):
        """Ends the whole namespace at once."""
        if self.popen.poll() is None:
            init = _children(self.popen.pid)
            if init:
                os.kill(init[0], signal.SIGKILL)
            else:
                self.popen.kill()
            self.popen.wait(10)

    def wait(self, timeout=30):
        """The exit status as the caller of the namespace sees it: the command's
        exit code, 128+N when it was killed by signal N, and -SIGHUP when the
        namespace was rebooted."""
        return self.popen.wait(timeout)

    def poll(self):
        return self.popen.poll()

    def output(self):
        out, err = self.popen.communicate()
        return out, err

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()


def _children(pid):
    try:
        text = Path(f"/proc/{pid}/task/{pid}/children").read_text()
    except OSError:
        return []
    return [int(p) for p in text.split()]


class Router:
    def __init__(self, directory, status=None):
        self.dir = Path(directory).resolve()
        for covered in COVERED:
            if str(self.dir) == covered or str(self.dir).startswith(covered + "/"):
                raise ValueError(f"a router directory must not be below {covered}: {self.dir}")
        self.root = self.dir / "root"
        self.sim = self.dir / "sim"
        self.ovl = self.dir / "ovl"
        self._capture = None
        self._started = []
        fresh = not self.sim.exists()
        for d in ("opt/velmo_client/etc", "var/data/velmo_client", "tmp", "etc", "var/www"):
            (self.root / d).mkdir(parents=True, exist_ok=True)
        for d in ("status", "rc", "ppp"):
            (self.sim / d).mkdir(parents=True, exist_ok=True)
        (self.sim / "journal").touch()
        (self.sim / "syslog.jsonl").touch()
        if fresh:
            self.set_uptime(3600.5)
            self.set_interface("ppp0", 0, 0)
            for section, values in (status or DEFAULT_STATUS).items():
                self.set_status(section, values)
        self._install_tools()

    # ----- files of the router -------------------------------------------------

    def path(self, relative):
        """A path below the top prefix ('var/data/velmo_client/ca.crt')."""
        return self.root / relative.lstrip("/")

    def write(self, relative, content, mode=None):
        p = self.path(relative)
        p.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            p.write_bytes(content)
        else:
            p.write_text(content)
        if mode is not None:
            p.chmod(mode)
        return p

    def read(self, relative):
        return self.path(relative).read_text()

    def exists(self, relative):
        return self.path(relative).exists()

    def data(self, name):
        return self.path("var/data/velmo_client/" + name)

    def write_settings(self, text=None, **keys):
        """The agent's settings file, as raw text or from keyword arguments
        (LOGLEVEL="debug" writes MOD_VELMO_CLIENT_LOGLEVEL=debug)."""
        if text is None:
            text = "".join(f"MOD_VELMO_CLIENT_{k}={v}\n" for k, v in keys.items())
        return self.write("opt/velmo_client/etc/settings", text)

    def install_agent(self, version="1.0.0"):
        """Makes the agent an installed router app with its own init script."""
        self.write("opt/velmo_client/etc/name", "velmo_client\n")
        self.write("opt/velmo_client/etc/version", version)
        self.write("opt/velmo_client/etc/init", self.recorder_script(), 0o755)

    def install_app(self, name, version, init=None, files=None):
        """An installed router app whose scripts record their calls."""
        base = f"opt/{name}/"
        self.write(base + "etc/name", name + "\n")
        self.write(base + "etc/version", version)
        for script in ("init", "install", "uninstall"):
            self.write(base + "etc/" + script, init if (script == "init" and init) else self.recorder_script(), 0o755)
        for rel, content in (files or {}).items():
            self.write(base + rel, content)

    @staticmethod
    def recorder_script(body=""):
        """A shell script that records its argv in the journal, then runs body."""
        return "#!/bin/sh\n. /usr/lib/velmo-testbed/record.sh\nvelmo_record \"$@\"\n" + body + "\n"

    # ----- the simulated firmware ----------------------------------------------

    def set_status(self, section, values):
        """Output of 'status -v SECTION': a dict of keys, or raw text. None removes it."""
        p = self.sim / "status" / section
        if values is None:
            p.unlink(missing_ok=True)
        else:
            p.write_text(format_status(values))

    def set_rc(self, tool, code):
        """Exit code of a fake tool or init script (by file name: 'fwupdate', 'eth')."""
        (self.sim / "rc" / tool).write_text(str(code))

    def set_uptime(self, seconds):
        (self.sim / "uptime").write_text(f"{seconds:.2f} {seconds * 1.5:.2f}\n")

    def set_interface(self, name, rx, tx):
        """Byte counters that 'ifconfig NAME' prints; rx None removes the interface."""
        p = self.sim / "net" / name
        p.parent.mkdir(exist_ok=True)
        if rx is None:
            p.unlink(missing_ok=True)
        else:
            p.write_text(f"{rx} {tx}\n")

    def set_conntrack(self, flows):
        """The flows that 'conntrack -L' lists, one line each."""
        (self.sim / "conntrack").write_text("".join(line + "\n" for line in flows))

    def ping_times(self):
        """(start, end, host) of every ping run, in the order they ended."""
        p = self.sim / "ping-times"
        if not p.exists():
            return []
        return [(float(a), float(b), host) for a, b, host in (line.split() for line in p.read_text().splitlines())]

    def install_gps(self, port):
        """The router app "gps" with its daemon's port in /opt/gps/etc/settings
        (port None: a settings file without the port key)."""
        self.install_app("gps", "1.0.0")
        line = "" if port is None else f"MOD_GPS_GPSD_PORT_LISTEN={port}\n"
        self._upper("opt", "gps/etc/settings", "MOD_GPS_ENABLED=1\n" + line, 0o644)

    def init_script(self, name, body=""):
        """/etc/init.d/NAME inside the router; it records its calls."""
        self._upper("etc", "init.d/" + name, self.recorder_script(body))

    def usr_lib(self, source, name):
        """Puts a shared object at /usr/lib/NAME inside the router."""
        target = self.ovl / "usr" / "upper" / "lib" / name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(source, target)

    def _upper(self, layer, relative, content, mode=0o755):
        p = self.ovl / layer / "upper" / relative
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(content)
        p.chmod(mode)

    def _install_tools(self):
        lib = self.ovl / "usr" / "upper" / "lib" / "velmo-testbed"
        lib.mkdir(parents=True, exist_ok=True)
        shutil.copy(TOOLS / "record.sh", lib / "record.sh")
        shutil.copy(TOOLS / "recordpy.py", lib / "recordpy.py")
        for tool, where in (("status", "bin/status"), ("restore", "sbin/restore"), ("adduser", "sbin/adduser"),
                            ("deluser", "sbin/deluser"), ("fwupdate", "sbin/fwupdate"), ("ifconfig", "sbin/ifconfig"),
                            ("conntrack", "sbin/conntrack"), ("ping", "bin/ping")):
            self._upper("usr", where, (TOOLS / tool).read_text())
        # The recording ping runs the machine's own ping from here.
        (lib / "real").mkdir(exist_ok=True)
        shutil.copy("/usr/bin/ping", lib / "real" / "ping")
        service = (TOOLS / "service").read_text()
        self._upper("etc", "rc.d/init.d/snmp", service)
        # The services that settings changes restart, each journalling its calls.
        for name in ROUTER_SERVICES:
            self._upper("etc", "init.d/" + name, service)

    # ----- what happened -------------------------------------------------------

    def journal(self):
        """Every fake tool call, oldest first, as a list of argv lists."""
        text = (self.sim / "journal").read_text()
        return [line.split("\t") for line in text.splitlines()]

    def commands(self):
        """The journal as command lines ('/etc/init.d/eth restart')."""
        return [" ".join(argv) for argv in self.journal()]

    def clear_journal(self):
        (self.sim / "journal").write_text("")

    def clear_logs(self):
        """Forgets the lines captured so far (the capture appends, so it goes on)."""
        (self.sim / "syslog.jsonl").write_text("")

    def logs(self, ident=None):
        """Captured syslog lines as dicts: pri, severity, ident, pid, msg."""
        out = []
        for line in (self.sim / "syslog.jsonl").read_text().splitlines():
            entry = json.loads(line)
            if ident is None or entry["ident"] == ident:
                out.append(entry)
        return out

    def messages(self, ident=None, severity=None):
        return [e["msg"] for e in self.logs(ident) if severity is None or e["severity"] == severity]

    def wait_for_log(self, predicate, timeout=30, ident=None, proc=None):
        """Waits until a captured line matches (a substring, or a function of the
        entry) and returns it. Gives up early when proc has ended."""
        match = predicate if callable(predicate) else (lambda e: predicate in e["msg"])
        deadline = time.monotonic() + timeout
        seen = 0
        path = self.sim / "syslog.jsonl"
        while True:
            lines = path.read_text().splitlines()
            for line in lines[seen:]:
                entry = json.loads(line)
                if (ident is None or entry["ident"] == ident) and match(entry):
                    return entry
            seen = len(lines)
            ended = proc is not None and proc.poll() is not None
            if ended or time.monotonic() > deadline:
                raise AssertionError(f"no log line matching {predicate!r} within {timeout}s "
                                     f"({'process ended' if ended else 'timeout'}); log:\n" + self.log_text())
            time.sleep(0.02)

    def wait_until(self, condition, timeout=30, proc=None, what="condition"):
        """Waits until condition() is true; gives up early when proc has ended."""
        deadline = time.monotonic() + timeout
        while not condition():
            ended = proc is not None and proc.poll() is not None
            if ended or time.monotonic() > deadline:
                raise AssertionError(f"{what} not met within {timeout}s "
                                     f"({'process ended' if ended else 'timeout'}); log:\n" + self.log_text())
            time.sleep(0.02)

    def log_text(self):
        return "\n".join(f"{e['severity']} {e['ident']}: {e['msg']}" for e in self.logs())

    # ----- running -------------------------------------------------------------

    def agent_argv(self, *extra):
        return [str(program("velmo_client")), "-d", str(self.root), *extra]

    def env(self, extra=None):
        env = dict(os.environ)
        env.update({"VELMO_SIM": str(self.sim), "VELMO_ROOT": str(self.root)})
        env.update(extra or {})
        return env

    def start(self, argv, env=None, faketime=None, drop_caps=(), new_network=False, stdout=None, stderr=None):
        """Starts argv as the main process of the router's namespaces.

        faketime: a libfaketime spec ('+0 x200') that speeds the command up.
        drop_caps: capabilities removed from its bounding set ('sys_boot').
        new_network: a network namespace of its own instead of the caller's
        (which the tests already made private)."""
        self._start_capture()
        argv = [str(a) for a in argv]
        if drop_caps:
            argv = ["setpriv", "--bounding-set", ",".join("-" + c for c in drop_caps), "--"] + argv
        if faketime:
            # Preloaded by env, which execs: the faketime tool would fork and
            # stand between the test's signals and the command.
            argv = ["env", "LD_PRELOAD=/usr/$LIB/faketime/libfaketimeMT.so.1", "FAKETIME=" + faketime] + argv
        ns = ["unshare", "--mount", "--pid", "--fork", "--mount-proc"] + (["--net"] if new_network else [])
        cmd = ns + ["/bin/sh", str(ENTER), str(self.dir), str(program("testbed_init"))] + argv
        popen = subprocess.Popen(cmd, env=self.env(env), stdout=stdout or subprocess.PIPE,
                                 stderr=stderr or subprocess.PIPE, text=True)
        proc = RouterProcess(popen, self)
        self._started.append(proc)
        return proc

    def run(self, argv, timeout=60, **kwargs):
        """Runs argv to its end; returns (status, stdout, stderr)."""
        proc = self.start(argv, **kwargs)
        try:
            out, err = proc.popen.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise
        return proc.popen.returncode, out, err

    def _start_capture(self):
        if self._capture is not None and self._capture.poll() is None:
            return
        self._capture = subprocess.Popen(
            [PYTHON, str(REPO / "testbed" / "syslog_capture.py"), str(self.sim / "log.sock"),
             str(self.sim / "syslog.jsonl")], stdout=subprocess.PIPE, text=True)
        if self._capture.stdout.readline().strip() != "ready":
            raise RuntimeError("the syslog capture did not start")

    def close(self):
        """Ends every namespace this router started that still runs, and the capture."""
        for proc in self._started:
            try:
                proc.kill()
            except subprocess.TimeoutExpired:
                pass  # a namespace that will not end must not keep the capture running
        self._started = []
        if self._capture is not None:
            self._capture.terminate()
            self._capture.wait(5)
            self._capture = None


def main(argv):
    """Command line for the demo and for manual use:
        router.py create DIR
        router.py run DIR -- COMMAND...     (the agent: router.py run DIR -- agent)
    """
    if len(argv) >= 2 and argv[0] == "create":
        Router(argv[1])
        return 0
    # SIGTERM ends the run like Ctrl-C, so the router's namespace is ended too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if len(argv) >= 4 and argv[0] == "run" and argv[2] == "--":
        router = Router(argv[1])
        cmd = argv[3:]
        if cmd == ["agent"]:
            cmd = router.agent_argv()
        try:
            proc = router.start(cmd, stdout=sys.stdout, stderr=sys.stderr)
            return proc.wait(None)
        finally:
            router.close()
    print(main.__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
