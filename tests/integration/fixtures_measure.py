"""Fixtures of the measurements' tests: a real gpsd fed by gpsfake from a short
NMEA log, and measure_probe runs inside a simulated router."""
import json
import os
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

from testbed.netns import free_port
from testbed.router import program

DATA = Path(__file__).resolve().parent / "data"


class Gpsd:
    """gpsd on 127.0.0.1:port of the test's network, replaying an NMEA log."""

    def __init__(self, log, cycle=0.1):
        self.port = free_port()
        self.proc = subprocess.Popen(["gpsfake", "-q", "-n", "-c", str(cycle), "-P", str(self.port), str(DATA / log)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError("gpsfake did not start its gpsd")
                time.sleep(0.05)

    def stop(self):
        # gpsfake and the gpsd it started share the session led by gpsfake.
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        self.proc.wait(10)


@pytest.fixture
def gpsd_factory():
    started = []

    def start(log="gps_fix.nmea", cycle=0.1):
        started.append(Gpsd(log, cycle))
        return started[-1]

    yield start
    for gpsd in started:
        gpsd.stop()


def measure(router, reporting, *options, expect_rc=0, timeout=120):
    """Runs measure_probe in the router with the "reporting" section (a dict of
    metric name -> args text, or of full entries) and returns its JSON output,
    or its standard error when it is expected to fail."""
    entries = {name: value if isinstance(value, dict) else {"include": "Always", "args": value}
               for name, value in reporting.items()}
    argv = [str(program("measure_probe")), "-d", str(router.root), *[str(o) for o in options], json.dumps(entries)]
    rc, out, err = router.run(argv, timeout=timeout)
    assert rc == expect_rc, (rc, out, err, router.log_text())
    return json.loads(out) if rc == 0 else err
