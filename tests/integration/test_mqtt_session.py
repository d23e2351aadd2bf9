"""The agent's MQTT session (driven by the mqtt_probe program) against real mosquitto brokers."""
import socket
import ssl
import time

import pytest

HANDSHAKE_ERROR = "Destination unreachable or handshake error"
ESTABLISHED = (6, "Connection to '127.0.0.1' established.")


def ok(result):
    return result["status"] == "Success" and result["code"] == 0


def test_uri_scheme_follows_ssl_setting(make_probe, broker_tls, broker_tcp, pki):
    probe = make_probe("dev-uri")
    assert probe.ssl(pki.ca.cert)["protocol"] == "ssl"
    assert ok(probe.cmd("connect 127.0.0.1 %d 10" % broker_tls.port))
    # The same object, reconnected: the library client is made anew for each connect.
    assert ok(probe.cmd("connect localhost %d 10" % broker_tls.port))
    sub = probe.cmd("subscribe sr/cmd/dev-uri/# 2")
    assert ok(sub) and sub["subscriptions"] == ["sr/cmd/dev-uri/#"]
    assert probe.cmd("connect 127.0.0.1 %d 5" % broker_tcp.port)["message"] == HANDSHAKE_ERROR
    assert probe.cmd("subscriptions")["subscriptions"] == []

    assert probe.cmd("nossl")["protocol"] == "tcp"
    assert ok(probe.cmd("connect 127.0.0.1 %d 10" % broker_tcp.port))
    assert probe.cmd("connected")["connected"] is True
    assert probe.cmd("connect 127.0.0.1 %d 5" % broker_tls.port)["message"] == HANDSHAKE_ERROR
    assert probe.cmd("connected")["connected"] is False

    established = [line for line in probe.log_lines() if line[1].startswith("Connection to ")]
    assert established == [ESTABLISHED, (6, "Connection to 'localhost' established."), ESTABLISHED]


@pytest.mark.parametrize("credential, accepted", [
    ("signed by the CA", True),
    ("none", False),
    ("signed by another CA", False),
])
def test_mutual_tls_requires_a_client_certificate_of_the_ca(make_probe, broker_mtls, pki, credential, accepted):
    cred = {"signed by the CA": pki.client("dev-m"), "none": None,
            "signed by another CA": pki.other_client("dev-m")}[credential]
    probe = make_probe("dev-m")
    result = probe.connect(broker_mtls, cred)
    if accepted:
        assert ok(result)
        assert ESTABLISHED in probe.log_lines()
    else:
        assert result == {"status": "Failure", "code": -1, "message": HANDSHAKE_ERROR}
        assert probe.cmd("connected")["connected"] is False
        assert ESTABLISHED not in probe.log_lines()


@pytest.mark.parametrize("server", ["another CA", "another host name"])
def test_server_certificate_is_verified(make_probe, make_broker, pki, server):
    cred = pki.other_server if server == "another CA" else pki.server_for("elsewhere", "DNS:elsewhere.example")
    broker = make_broker("tls", server_credential=cred)
    probe = make_probe("dev-v")
    assert probe.connect(broker)["message"] == HANDSHAKE_ERROR


def test_sessions_speak_tls_1_2_only(make_probe, make_broker, broker_tls, broker_mtls, pki):
    tls13 = make_broker("tls", tls_version="tlsv1.3")
    # The broker itself is fine: a TLS 1.3 client gets through.
    context = ssl.create_default_context(cafile=str(pki.ca.cert))
    with socket.create_connection((tls13.host, tls13.port), timeout=5) as raw:
        with context.wrap_socket(raw, server_hostname=tls13.host) as tls:
            assert tls.version() == "TLSv1.3"
    probe = make_probe("dev-13")
    assert probe.connect(tls13)["message"] == HANDSHAKE_ERROR
    assert ok(probe.connect(broker_tls))
    assert ok(probe.connect(broker_mtls, pki.client("dev-13")))


def test_missing_ca_file_raises_and_leaves_the_session_disconnected(make_probe, broker_tcp, tmp_path):
    probe = make_probe("dev-ca")
    assert ok(probe.connect(broker_tcp))
    missing = tmp_path / "no-ca.crt"
    answer = probe.ssl(missing)
    assert answer == {"ok": False, "error": "configureSSL: File '%s' was not found." % missing,
                      "protocol": "tcp", "connected": False}


def test_broker_lost_mid_session_then_stored_messages_resent(make_probe, make_peer, broker_mtls, pki):
    cred = pki.client("dev-k")
    probe = make_probe("dev-k")
    assert ok(probe.connect(broker_mtls, cred))
    assert ok(probe.cmd("subscribe sr/cmd/dev-k/# 2"))

    broker_mtls.kill()
    assert probe.cmd("wait_connected 0 30")["connected"] is False
    r = probe.receive(60)
    assert (r["status"], r["code"], r["message"]) == ("Failure", -9996, "client has disconnected")
    assert r["elapsed_ms"] < 30000, "receive waited for its timeout instead of seeing the lost connection"

    for payload, failed in ((b"stored-1", 1), (b"stored-2", 2)):
        r = probe.publish("sr/dev-k/notify/metrics", payload)
        assert (r["status"], r["code"], r["failed"]) == ("Disconnected", -3, failed)
    r = probe.publish("sr/dev-k/notify/online", b"not-stored", no_store=True)
    assert (r["status"], r["code"], r["failed"]) == ("Disconnected", -3, 2)

    broker_mtls.start()
    assert ok(probe.connect(broker_mtls, cred))
    peer = make_peer(broker_mtls, "ms")
    peer.subscribe("sr/dev-k/#")
    assert probe.cmd("resend") == {"failed": 0}
    assert (7, "Resending messages that previously failed to be published.") in probe.log_lines()
    assert ok(probe.publish("sr/dev-k/notify/marker", b"marker"))
    # Oldest first, and the message published with the no-store flag is gone for good.
    received = [peer.next_message(10) for _ in range(3)]
    assert [m.payload for m in received if m] == [b"stored-1", b"stored-2", b"marker"]


def test_messages_queued_before_the_connection_dropped_come_out_in_order(make_probe, make_peer, broker_tcp):
    probe = make_probe("dev-q")
    assert ok(probe.connect(broker_tcp))
    assert ok(probe.cmd("subscribe sr/cmd/dev-q/# 2"))
    peer = make_peer(broker_tcp, "ms")
    payload = b"\x00head\x00tail\xff\x00"
    peer.publish("sr/cmd/dev-q/apply", payload, qos=2)
    peer.publish("sr/cmd/dev-q/reboot", b'{"t":6}', qos=2)
    assert probe.cmd("wait_queued 2 10")["queued"] == 2

    broker_tcp.kill()
    assert probe.cmd("wait_connected 0 30")["connected"] is False
    r = probe.receive(30)
    assert (r["status"], r["code"], r["message"]) == ("Success", -9999, "")
    assert r["msg"] == {"topic": "sr/cmd/dev-q/apply", "qos": 2, "retained": False, "payload": payload.hex()}
    r = probe.receive(30)
    assert r["code"] == -9999, "the second message is still queued"
    assert r["msg"] == {"topic": "sr/cmd/dev-q/reboot", "qos": 2, "retained": False, "payload": b'{"t":6}'.hex()}
    assert probe.receive(30)["code"] == -9996


def test_receive_times_out_and_wakes_on_arrival(make_probe, make_peer, broker_tcp):
    probe = make_probe("dev-r")
    assert ok(probe.connect(broker_tcp))
    assert ok(probe.cmd("subscribe sr/cmd/dev-r/# 2"))
    r = probe.receive(1)
    assert (r["status"], r["code"], r["message"]) == ("Failure", -9997, "timeout reached")
    assert r["elapsed_ms"] >= 1000

    peer = make_peer(broker_tcp, "ms")
    probe.start_receive(20)
    peer.publish("sr/cmd/dev-r/reboot", b'{"t":6}', qos=1)
    r = probe.finish_receive()
    assert r["code"] == -9999 and bytes.fromhex(r["msg"]["payload"]) == b'{"t":6}'
    assert r["elapsed_ms"] < 10000, "the message waited for a poll instead of waking receive"


def test_receive_timeout_under_faketime_is_prompt(make_probe, broker_tcp):
    probe = make_probe("dev-ft", wrapper=("faketime", "-f", "+0 x200"))
    assert ok(probe.connect(broker_tcp))
    start = time.monotonic()
    r = probe.receive(120)
    assert r["code"] == -9997
    assert time.monotonic() - start < 60, "a 120 s receive sped up 200 times took real time"


def test_last_will_reaches_subscriber_when_agent_is_killed(make_probe, make_peer, broker_mtls, pki):
    peer = make_peer(broker_mtls, "ms")
    peer.subscribe("sr/dev-w/notify/online")
    probe = make_probe("dev-w")
    assert probe.cmd("will sr/dev-w/notify/online 1 0 %s" % b'{"online":false}'.hex()) == {"ok": True}
    assert ok(probe.connect(broker_mtls, pki.client("dev-w")))
    assert peer.next_message(0.2) is None
    probe.kill()
    will = peer.next_message(10)
    assert will is not None and (will.topic, will.payload, will.qos) == (
        "sr/dev-w/notify/online", b'{"online":false}', 1)


def test_replacing_a_connected_session_closes_its_connection(make_probe, broker_tcp):
    probe = make_probe("dev-x")
    before = probe.cmd("fds")["fds"]
    assert ok(probe.connect(broker_tcp))
    assert probe.cmd("fds")["fds"] == before + 1
    probe.cmd("new")
    assert probe.cmd("fds")["fds"] == before


def test_payloads_whole_and_logged_in_two_lines_at_most(make_probe, make_peer, broker_tls, pki):
    peer = make_peer(broker_tls, "ms")
    peer.subscribe("sr/dev-l/#")
    peer.publish("sr/cmd/dev-l/retained", b"kept", qos=1, retain=True)
    probe = make_probe("dev-l")
    assert ok(probe.connect(broker_tls))
    assert ok(probe.cmd("subscribe sr/cmd/dev-l/# 1"))
    r = probe.receive(10)
    assert r["msg"] == {"topic": "sr/cmd/dev-l/retained", "qos": 1, "retained": True, "payload": b"kept".hex()}

    long_payload = b"x" * 970 + b"y" * 1030
    assert ok(probe.publish("sr/dev-l/notify/metrics", long_payload, qos=1))
    assert ok(probe.publish("sr/dev-l/notify/sync-event", b"ab\x00cd", qos=2, retained=True))
    got = [peer.next_message(10) for _ in range(2)]
    assert [(m.topic, m.payload, m.qos, m.retain) for m in got] == [
        ("sr/dev-l/notify/metrics", long_payload, 1, False),
        ("sr/dev-l/notify/sync-event", b"ab\x00cd", 2, False),
    ]

    lines = probe.log_lines()
    expected_in_order = [
        ESTABLISHED,
        (7, "Subscribing to sr/cmd/dev-l/#"),
        (7, "MQTT Received: QoS 1, retained 1, topic sr/cmd/dev-l/retained"),
        (7, "Payload: kept"),
        (7, "MQTT Publish: QoS 1, retained 0, topic sr/dev-l/notify/metrics"),
        (7, "Payload: " + "x" * 970),
        (7, "y" * 1030),
        (7, "MQTT Publish: QoS 2, retained 1, topic sr/dev-l/notify/sync-event"),
        (7, "Payload: ab"),
    ]
    assert [line for line in lines if line in expected_in_order] == expected_in_order
