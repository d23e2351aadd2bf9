"""Real mosquitto 2 brokers on 127.0.0.1, one listener each, on a free port.

    broker = Broker.mutual_tls(pki, workdir)    # or .server_tls(...), .plain_tcp(...)
    broker.start()                             # returns once the listener accepts
    broker.kill()                              # SIGKILL, as a crash would
    broker.start()                             # again, on the same port
    broker.stop()

Kinds: "tls" (server certificate only), "mtls" (client certificate signed by the CA required), "tcp".
The server presents pki.server unless server_credential names another certificate and key.
TLS listeners accept TLS 1.2 with ECDHE-ECDSA-AES128-GCM-SHA256; tls_version="tlsv1.3" makes a listener
that speaks TLS 1.3 only (a server the agent must refuse). The broker keeps no persistence, so
a killed broker comes back without sessions. Its log is broker.log_path.
"""
import os
import queue
import signal
import socket
import ssl
import subprocess
import threading
import time
from pathlib import Path

import paho.mqtt.client as mqtt

from testbed.netns import free_port

MOSQUITTO = "/usr/sbin/mosquitto"
CIPHERS = "ECDHE-ECDSA-AES128-GCM-SHA256"


class BrokerError(RuntimeError):
    pass


class Broker:
    def __init__(self, kind, workdir, pki=None, port=None, name=None, server_credential=None, tls_version="tlsv1.2"):
        if kind not in ("tls", "mtls", "tcp"):
            raise ValueError("unknown broker kind " + kind)
        if kind != "tcp" and pki is None:
            raise ValueError("a TLS broker needs the PKI")
        self.kind = kind
        self.pki = pki
        self.host = "127.0.0.1"
        self.port = port or free_port()
        self.name = name or "%s-%d" % (kind, self.port)
        self.dir = Path(workdir) / ("broker-" + self.name)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.conf_path = self.dir / "mosquitto.conf"
        self.log_path = self.dir / "mosquitto.log"
        self.server_credential = server_credential or (pki.server if pki else None)
        self.tls_version = tls_version
        self.proc = None
        self._write_config()

    @classmethod
    def server_tls(cls, pki, workdir, **kw):
        return cls("tls", workdir, pki, **kw)

    @classmethod
    def mutual_tls(cls, pki, workdir, **kw):
        return cls("mtls", workdir, pki, **kw)

    @classmethod
    def plain_tcp(cls, workdir, **kw):
        return cls("tcp", workdir, **kw)

    @property
    def uri_scheme(self):
        return "tcp" if self.kind == "tcp" else "ssl"

    def _write_config(self):
        lines = [
            "per_listener_settings true",
            # Started as root, mosquitto would drop to the user mosquitto, who cannot read 0600 keys.
            "user root",
            "persistence false",
            "log_dest file %s" % self.log_path,
            "log_type all",
            "connection_messages true",
            "log_timestamp_format %H:%M:%S",
            "listener %d %s" % (self.port, self.host),
            "allow_anonymous true",
        ]
        if self.kind != "tcp":
            lines += [
                "cafile %s" % self.pki.ca.cert,
                "certfile %s" % self.server_credential.cert,
                "keyfile %s" % self.server_credential.key,
                "tls_version %s" % self.tls_version,
                "ciphers %s" % CIPHERS,
                "require_certificate %s" % ("true" if self.kind == "mtls" else "false"),
            ]
        self.conf_path.write_text("\n".join(lines) + "\n")

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def start(self, timeout=10.0):
        if self.running():
            return self
        with open(self.log_path, "ab") as log:
            log.write(b"--- start\n")
            self.proc = subprocess.Popen([MOSQUITTO, "-c", str(self.conf_path)], stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        self._wait_listening(timeout)
        return self

    def _wait_listening(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise BrokerError("mosquitto exited with %s:\n%s" % (self.proc.returncode, self.log()))
            try:
                with socket.create_connection((self.host, self.port), timeout=0.5):
                    return
            except OSError:
                pass
            if time.monotonic() > deadline:
                self.kill()
                raise BrokerError("mosquitto did not listen on port %d:\n%s" % (self.port, self.log()))
            time.sleep(0.01)

    def kill(self):
        """Ends the broker at once (SIGKILL): its clients see their connection drop."""
        self._end(signal.SIGKILL)

    def stop(self):
        self._end(signal.SIGTERM)

    def _end(self, sig):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            try:
                os.kill(self.proc.pid, sig)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def log(self):
        try:
            return self.log_path.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def __repr__(self):
        return "<Broker %s %s:%d>" % (self.kind, self.host, self.port)


class Peer:
    """A python paho client on one of the brokers, standing for a server of the service: it subscribes,
    collects what arrives and publishes with the broker's acknowledgement awaited.

        peer = Peer(broker, client_id="ms", credential=pki.client("ms"))
        peer.subscribe("sr/+/online")
        msg = peer.next_message(5)          # paho MQTTMessage or None
    """

    def __init__(self, broker, client_id="peer", credential=None, timeout=10.0):
        self.messages = queue.Queue()
        self._timeout = timeout
        self._connected = threading.Event()
        self._acks = {}
        self._acks_lock = threading.Lock()
        self.client = mqtt.Client(client_id=client_id, clean_session=True)
        if broker.kind != "tcp":
            if broker.kind == "mtls" and credential is None:
                credential = broker.pki.client(client_id)
            context = ssl.create_default_context(cafile=broker.pki.ca.cert)
            context.minimum_version = context.maximum_version = ssl.TLSVersion.TLSv1_2
            context.set_ciphers(CIPHERS)
            if credential:
                context.load_cert_chain(credential.cert, credential.key)
            self.client.tls_set_context(context)
        self.client.on_connect = lambda c, u, f, rc: rc == 0 and self._connected.set()
        self.client.on_message = lambda c, u, m: self.messages.put(m)
        self.client.on_subscribe = self._on_ack
        self.client.connect(broker.host, broker.port, keepalive=60)
        # Our own network loop with a short select timeout, so that close() returns at once (paho's own
        # loop thread takes up to a second to end).
        self._stop = threading.Event()
        self._loop = threading.Thread(target=self._run, daemon=True)
        self._loop.start()
        if not self._connected.wait(timeout):
            self.close()
            raise BrokerError("peer %s could not connect to %r" % (client_id, broker))

    def _ack_event(self, mid):
        with self._acks_lock:
            return self._acks.setdefault(mid, threading.Event())

    def _on_ack(self, client, userdata, mid, granted_qos):
        self._ack_event(mid).set()

    def subscribe(self, topic, qos=2):
        rc, mid = self.client.subscribe(topic, qos)
        if rc != 0 or not self._ack_event(mid).wait(self._timeout):
            raise BrokerError("subscription to %s not acknowledged" % topic)

    def publish(self, topic, payload, qos=1, retain=False):
        info = self.client.publish(topic, payload, qos=qos, retain=retain)
        info.wait_for_publish(self._timeout)
        if not info.is_published():
            raise BrokerError("publication on %s not acknowledged" % topic)

    def next_message(self, timeout=5.0):
        try:
            return self.messages.get(timeout=timeout)
        except queue.Empty:
            return None

    def _run(self):
        # Like paho's loop_forever: a lost connection is made again (on_connect runs anew), until close().
        while not self._stop.is_set():
            if self.client.loop(timeout=0.02) == mqtt.MQTT_ERR_SUCCESS:
                continue
            while not self._stop.wait(0.05):
                try:
                    self.client.reconnect()
                    break
                except OSError:
                    pass

    def close(self):
        self._stop.set()
        self.client.disconnect()
        self._loop.join()
