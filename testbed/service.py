"""The reference service on the test brokers: a bootstrap server that really
signs the device's CSR with the test CA, and a management server that records
what the agent sends and lets a test publish commands.

    bs = BootstrapServer(bootstrap_broker, pki, management=(ms_broker.host, ms_broker.port))
    bs.replies = ["negative:2", "certificate"]   # one per request, then `default`
    ms = ManagementServer(ms_broker)
    ms.wait_for("greetings")                      # a message on sr/<id>/greetings
    ms.command(device, "reboot", {"t": 6, "id": 1})
    ms.apply_config(device, 5, {"settings": {...}})   # JSON, gzip, base64, size and hash
    ms.answer(5)                                  # the agent's answer with "id" 5
"""
import base64
import gzip
import hashlib
import json
import os
import queue
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from testbed.brokers import Peer
from testbed.pki import make_csr, make_ec_key


@dataclass
class Received:
    topic: str
    payload: bytes
    qos: int
    retain: bool
    at: float

    def json(self):
        return json.loads(self.payload)

    @property
    def device(self):
        """The device id in 'sr/<id>/...'."""
        return self.topic.split("/")[1]


def _compact(obj):
    return json.dumps(obj, separators=(",", ":"), sort_keys=True)


class BootstrapServer:
    """Answers every BootstrapRequest on sr/<id>/bootstrap with a reply on
    sr/bootstrap/<id>. Replies, consumed one per request (then `default`):

        "certificate"     the CSR signed by the CA, with the management address
        "redirect"        to the bootstrap server given as `redirect_to` (host, port, ca_pem)
        "negative:N"      result code N
        "wrong_cert"      a certificate the CA really signed, but for another key
        "no_type"         a certificate reply without "t"
        "invalid_json"    a payload that is not JSON
        "silent"          no answer at all
    """

    def __init__(self, broker, pki, management=None, redirect_to=None, default="certificate", client_id="bs"):
        self.pki = pki
        self.management = management
        self.redirect_to = redirect_to
        self.default = default
        self.replies = []
        self.requests = []  # (topic, parsed payload)
        self._work = Path(tempfile.mkdtemp(prefix="velmo-bs-"))
        self._lock = threading.Lock()
        self._arrived = threading.Condition(self._lock)
        self.peer = Peer(broker, client_id=client_id)
        self.peer.client.on_message = self._on_message
        self.peer.subscribe("sr/+/bootstrap", qos=1)

    def _next_reply(self):
        with self._lock:
            return self.replies.pop(0) if self.replies else self.default

    def _on_message(self, client, userdata, message):
        try:
            request = json.loads(message.payload)
        except ValueError:
            request = None
        device = message.topic.split("/")[1]
        kind = self._next_reply()
        with self._arrived:
            self.requests.append((message.topic, request, kind))
            self._arrived.notify_all()
        reply = self._reply(kind, request)
        if reply is not None:
            client.publish("sr/bootstrap/" + device, reply, qos=1)

    def _reply(self, kind, request):
        if kind == "silent":
            return None
        if kind == "invalid_json":
            return b"{not json"
        if kind.startswith("negative:"):
            return _compact({"c": int(kind.split(":")[1]), "p": {}, "t": 13})
        if kind == "redirect":
            host, port, ca_pem = self.redirect_to
            return _compact({"c": 0, "p": {"ca": ca_pem, "srv_addr": host, "srv_port": port}, "t": 14})
        cert = self.sign(request["p"]["csr"], other_key=(kind == "wrong_cert"))
        host, port = self.management
        reply = {"c": 0, "p": {"cert": cert, "srv_addr": host, "srv_port": port}, "t": 13}
        if kind == "no_type":
            del reply["t"]
        return _compact(reply)

    def sign(self, csr_pem, other_key=False):
        """A client certificate signed by the CA for the CSR (or for a fresh key)."""
        with tempfile.TemporaryDirectory(dir=self._work) as d:
            csr = os.path.join(d, "req.csr")
            if other_key:
                make_csr(make_ec_key(os.path.join(d, "other.key")), "/CN=other", csr)
            else:
                Path(csr).write_text(csr_pem)
            return Path(self.pki.sign_csr(csr, os.path.join(d, "cert.pem"))).read_text()

    def wait_for_requests(self, count, timeout=30):
        with self._arrived:
            if not self._arrived.wait_for(lambda: len(self.requests) >= count, timeout):
                raise AssertionError(f"{len(self.requests)} bootstrap requests, not {count}, within {timeout}s")
            return list(self.requests)

    def close(self):
        self.peer.close()


class ManagementServer:
    """Records every message the agents send (sr/<id>/...) and publishes commands."""

    TOPICS = ("sr/+/notify/#", "sr/+/greetings", "sr/+/cmd/#")

    def __init__(self, broker, client_id="management-server", credential=None):
        self.received = []
        self._lock = threading.Condition()
        self.peer = Peer(broker, client_id=client_id, credential=credential)
        self.peer.client.on_message = self._on_message
        for topic in self.TOPICS:
            self.peer.subscribe(topic, qos=2)
        # A restarted broker has forgotten the subscriptions: renew them on reconnection.
        connected = self.peer.client.on_connect

        def on_connect(client, userdata, flags, rc):
            connected(client, userdata, flags, rc)
            if rc == 0:
                for topic in self.TOPICS:
                    client.subscribe(topic, 2)
        self.peer.client.on_connect = on_connect
        self.peer.client.reconnect_delay_set(min_delay=0.1, max_delay=0.5)

    def _on_message(self, client, userdata, message):
        with self._lock:
            self.received.append(Received(message.topic, message.payload, message.qos, bool(message.retain),
                                          time.monotonic()))
            self._lock.notify_all()

    def messages(self, suffix=None):
        """Messages whose topic ends with '/' + suffix ('greetings', 'notify/online')."""
        with self._lock:
            return [m for m in self.received if suffix is None or m.topic.endswith("/" + suffix)]

    def wait_for(self, suffix, count=1, timeout=30, where=None):
        """Waits until `count` matching messages arrived; returns the last of them."""
        def matching():
            return [m for m in self.received
                    if m.topic.endswith("/" + suffix) and (where is None or where(m))]
        with self._lock:
            if not self._lock.wait_for(lambda: len(matching()) >= count, timeout):
                raise AssertionError(f"no {count} message(s) on .../{suffix} within {timeout}s; got: " +
                                     ", ".join(f"{m.topic} {m.payload!r}" for m in self.received))
            return matching()[count - 1]

    def command(self, device, suffix, message, qos=2):
        """Publishes a command on sr/cmd/<device>/<suffix>."""
        payload = message if isinstance(message, (bytes, str)) else _compact(message)
        self.peer.publish(f"sr/cmd/{device}/{suffix}", payload, qos=qos)

    # Topic suffixes of the commands, named like the topics of their answers.
    SUFFIXES = {4: "rebootstrap", 6: "reboot", 8: "snapshot", 10: "config", 30: "override"}

    def send(self, device, type_code, request_id=None, payload=None, suffix=None):
        """Publishes the command {"id", "p", "t"} (members left out when None)."""
        message = {"t": type_code}
        if request_id is not None:
            message["id"] = request_id
        if payload is not None:
            message["p"] = payload
        self.command(device, suffix or self.SUFFIXES.get(type_code, "other"), message)
        return message

    @staticmethod
    def config_payload(profile, config_hash=None):
        """The "p" of an ApplyConfig: the profile as compact JSON, gzip, base64."""
        text = profile if isinstance(profile, str) else _compact(profile)
        return {"config": base64.b64encode(gzip.compress(text.encode())).decode(),
                "config_hash": config_hash if config_hash is not None else hashlib.sha1(text.encode()).hexdigest(),
                "config_size": len(text)}

    def apply_config(self, device, request_id, profile, config_hash=None):
        """Sends an ApplyConfig built from a profile dict (or text); returns its payload."""
        payload = self.config_payload(profile, config_hash)
        self.send(device, 10, request_id, payload)
        return payload

    def answers(self, request_id, type_code=None):
        """The agent's messages carrying this "id" (and type), in arrival order."""
        out = []
        for m in self.messages():
            try:
                body = m.json()
            except ValueError:
                continue
            if isinstance(body, dict) and body.get("id") == request_id and \
                    (type_code is None or body.get("t") == type_code):
                out.append(m)
        return out

    def answer(self, request_id, type_code=None, timeout=30):
        """Waits for the agent's first answer with this "id" (and type)."""
        with self._lock:
            if not self._lock.wait_for(lambda: self.answers(request_id, type_code), timeout):
                raise AssertionError(f"no answer with id {request_id} within {timeout}s; got: " +
                                     ", ".join(f"{m.topic} {m.payload!r}" for m in self.received))
        return self.answers(request_id, type_code)[0]

    def sync_event(self, count=1, timeout=30):
        return self.wait_for("notify/sync-event", count=count, timeout=timeout)

    def metrics(self, count=1, timeout=30):
        return self.wait_for("notify/metrics", count=count, timeout=timeout)

    def close(self):
        self.peer.close()
