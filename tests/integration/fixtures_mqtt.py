"""Fixtures for MQTT sessions against real brokers: the test PKI, the three kinds of broker, peers standing
for the service's servers, and the probe program that drives one agent-side session from line commands.

The probe binary is taken from $VELMO_BUILD_DIR (default: build/ of the repository), so the same tests run
with a ThreadSanitizer build: VELMO_BUILD_DIR=build-tsan. Any sanitizer report in the probe's log fails
the test that ran it.
"""
import json
import os
import queue
import signal
import subprocess
import threading
from pathlib import Path

import pytest

from testbed.brokers import Broker, Peer
from testbed.pki import Pki

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VELMO_BUILD_DIR", REPO / "build"))
PROBE = BUILD / "tests" / "bin" / "mqtt_probe"


def payload_hex(data):
    return data.hex() if data else "-"


class Probe:
    """One mqtt_probe process: cmd() sends a line and returns the decoded JSON answer."""

    def __init__(self, workdir, client_id, keepalive=60, timeout=30, wrapper=()):
        if not PROBE.exists():
            pytest.fail("%s is missing: build the project first" % PROBE)
        self.client_id = client_id
        self.log_path = Path(workdir) / ("probe-%s-%d.log" % (client_id, id(self)))
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([*wrapper, str(PROBE), client_id, str(keepalive), str(timeout)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._log)
        self._lines = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        assert self._next(10) == {"ready": True}

    def _read(self):
        for line in self.proc.stdout:
            self._lines.put(line)
        self._lines.put(None)

    def _next(self, timeout):
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("mqtt_probe gave no answer within %s s; log:\n%s" % (timeout, self.log()))
        if line is None:
            raise AssertionError("mqtt_probe ended (%s); log:\n%s" % (self.proc.wait(), self.log()))
        return json.loads(line)

    def cmd(self, line, timeout=60):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        answer = self._next(timeout)
        assert "error" not in answer or answer.get("ok") is False, answer
        return answer

    # Shorthands for the usual steps of a session.
    def connect(self, broker, credential=None, ca=None, timeout=10):
        if broker.kind == "tcp":
            self.cmd("nossl")
        else:
            self.ssl(ca or broker.pki.ca.cert, credential)
        return self.cmd("connect %s %d %d" % (broker.host, broker.port, timeout))

    def ssl(self, ca, credential=None):
        line = "ssl " + str(ca)
        if credential:
            line += " %s %s" % (credential.cert, credential.key)
        return self.cmd(line)

    def publish(self, topic, payload, qos=1, retained=False, no_store=False):
        return self.cmd("publish %s %d %d %s%s" % (topic, qos, int(retained), payload_hex(payload),
                                                  " nostore" if no_store else ""))

    def receive(self, timeout_s):
        return self.cmd("receive %d" % timeout_s, timeout=timeout_s + 30)

    def start_receive(self, timeout_s):
        """Starts a receive and returns once the probe is about to wait; finish_receive() gives its result."""
        self.proc.stdin.write(b"receive %d announce\n" % timeout_s)
        self.proc.stdin.flush()
        assert self._next(30) == {"receiving": True}
        self._receive_timeout = timeout_s + 30

    def finish_receive(self):
        return self._next(self._receive_timeout)

    def log(self):
        return self.log_path.read_text(errors="replace")

    def log_lines(self):
        """(priority, text) of every line the session logged."""
        out = []
        for line in self.log().splitlines():
            prio, _, text = line.partition(" ")
            if prio.isdigit():
                out.append((int(prio), text))
        return out

    def kill(self):
        """SIGKILL: the process ends without a word to the broker."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=10)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
                self.proc.wait(timeout=30)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self._log.close()


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    return Pki(tmp_path_factory.mktemp("pki"))


@pytest.fixture
def make_broker(tmp_path, pki):
    """make_broker(kind) starts a broker of that kind ("tls", "mtls", "tcp"); all are stopped afterwards."""
    started = []

    def make(kind, **kw):
        broker = Broker(kind, tmp_path, pki, **kw).start()
        started.append(broker)
        return broker

    yield make
    for broker in started:
        broker.stop()


@pytest.fixture
def broker_tls(make_broker):
    return make_broker("tls")


@pytest.fixture
def broker_mtls(make_broker):
    return make_broker("mtls")


@pytest.fixture
def broker_tcp(make_broker):
    return make_broker("tcp")


@pytest.fixture
def make_peer():
    """make_peer(broker, client_id) connects a service-side client; all are closed afterwards."""
    peers = []

    def make(broker, client_id="peer", credential=None):
        peer = Peer(broker, client_id, credential)
        peers.append(peer)
        return peer

    yield make
    for peer in peers:
        peer.close()


@pytest.fixture
def make_probe(tmp_path):
    """make_probe(client_id, keepalive=60, timeout=30, wrapper=()) starts an mqtt_probe process."""
    probes = []

    def make(client_id, **kw):
        probe = Probe(tmp_path, client_id, **kw)
        probes.append(probe)
        return probe

    yield make
    for probe in probes:
        probe.close()
    for probe in probes:
        log = probe.log()
        assert "ThreadSanitizer" not in log and "AddressSanitizer" not in log, log
