"""From a fresh router to a greeted management session: the real agent in a
simulated router against the reference bootstrap and management servers on
real brokers. libfaketime speeds up the runs that would wait out pauses."""
import hashlib
import json
import os
import subprocess

import pytest

from fixtures_service import DEVICE

FAST = "+0 x50"


def data(router, name):
    return router.data(name)


def start(router, faketime=None):
    return router.start(router.agent_argv(), faketime=faketime)


def stop(proc):
    proc.terminate()
    assert proc.wait(30) == 0


def messages(router):
    return router.messages("velmo_client")


def in_order(msgs, expected):
    """True when `expected` occurs in `msgs` in this order (other lines between)."""
    it = iter(msgs)
    return all(any(m == e for m in it) for e in expected)


def bootstrapped(service, router):
    """Runs a first start to its greeting and stops it: the router then holds credentials."""
    proc = start(router)
    service.ms.wait_for("greetings")
    stop(proc)
    router.clear_journal()
    router.clear_logs()


def test_fresh_router_bootstraps_connects_and_greets(service, router):
    service.prepare(router)
    proc = start(router)
    greeting = service.ms.wait_for("greetings")
    assert greeting.payload == b'{"p":{"config_hash":"","version":"1.0.0"},"t":15}'
    assert greeting.topic == f"sr/{DEVICE}/greetings" and greeting.qos == 1 and not greeting.retain
    online = service.ms.messages("notify/online")
    assert [m.payload for m in online] == [b'{"p":{"online":true},"t":1}']
    assert online[0].qos == 1 and not online[0].retain

    router.wait_for_log("State: 'HANDLE_MANAGEMENT_COMMANDS'", proc=proc)
    assert in_order(messages(router), [
        "Starting velmo_client version '1.0.0'.",
        "State: 'INITIAL'", "Bootstrap server address changed. Proceding to Bootstrap.",
        "State: 'BOOTSTRAP'", "Connecting to BS.", "Connection to '127.0.0.1' established.",
        "Connected. Beginning message exchange.", "Bootstrap successful, flushing cert to disk.",
        "Bootstrap is completed.",
        "State: 'CONNECT_TO_MS'", "Connection to '127.0.0.1' established.",
        "State: 'GREET_SERVER'", "State: 'HANDLE_MANAGEMENT_COMMANDS'"])

    # The request carried the CSR, the IMEI and the hashed serial number.
    (topic, request, _), = service.bs.requests
    assert topic == f"sr/{DEVICE}/bootstrap"
    assert request == {"p": {"csr": data(router, "client.csr").read_text(), "imei": "356938035643809",
                             "serial": hashlib.sha1(b"RV5200-0042").hexdigest()}, "t": 12}
    # Credentials and the server's address are on disk.
    assert data(router, "last_bs_address").read_text() == "127.0.0.1"
    assert json.loads(data(router, "management-server.json").read_text()) == {
        "addr": "127.0.0.1", "port": service.ms_broker.port}
    assert data(router, "ca.crt").read_text() == open(service.pki.ca.cert).read()
    assert not data(router, "openssl.conf").exists()
    subject = subprocess.run(["openssl", "x509", "-in", data(router, "client.crt"), "-noout", "-subject"],
                             capture_output=True, text=True, check=True).stdout
    assert DEVICE in subject

    stop(proc)
    offline = service.ms.wait_for("notify/online", count=2)
    assert offline.payload == b'{"p":{"online":false},"t":1}'
    assert data(router, "config_profile.conf").read_text() == "null"


def test_second_start_skips_the_bootstrap(service, router):
    service.prepare(router)
    bootstrapped(service, router)
    proc = start(router)
    service.ms.wait_for("greetings", count=2)
    stop(proc)
    assert "Client credentials detected. Skipping bootstrap." in messages(router)
    assert len(service.bs.requests) == 1


def test_killed_agent_leaves_its_last_will(service, router):
    service.prepare(router)
    proc = start(router)
    service.ms.wait_for("greetings")
    proc.kill()
    will = service.ms.wait_for("notify/online", count=2)
    assert will.payload == b'{"p":{"online":false},"t":1}'


def test_redirect_appends_the_ca_once_and_rewrites_the_settings(service, router):
    bs2 = service.other_bootstrap()
    bs2.redirect_to = ("127.0.0.1", bs2.broker.port, bs2.ca_pem)
    bs2.replies = ["redirect"]  # to itself: its CA is already in the file then
    service.bs.redirect_to = bs2.redirect_to
    service.bs.replies = ["redirect"]
    service.prepare(router, UNRELATED_KEY="x")
    proc = start(router)
    service.ms.wait_for("greetings")
    stop(proc)
    msgs = messages(router)
    assert msgs.count(f"Redirected to another bootstrap server: 127.0.0.1:{bs2.broker.port}") == 2
    ca = data(router, "ca.crt").read_text()
    assert ca == open(service.pki.ca.cert).read() + bs2.ca_pem
    settings = router.read("opt/velmo_client/etc/settings")
    assert f"MOD_VELMO_CLIENT_BOOTSTRAPPORT={bs2.broker.port}\n" in settings
    assert "UNRELATED_KEY" not in settings
    assert len(bs2.requests) == 2 and len(service.bs.requests) == 1


def test_negative_replies_are_retried_with_growing_pauses(service, router):
    service.bs.replies = ["negative:2", "negative:2"]
    service.prepare(router)
    proc = start(router, faketime=FAST)
    service.ms.wait_for("greetings")
    stop(proc)
    errors = [e["msg"] for e in router.logs("velmo_client") if e["severity"] == "err"]
    assert errors[:4] == ["Received a negative response from the server: 'UnknownDevice'",
                          "Next bootstrap attempt in 20 seconds.",
                          "Received a negative response from the server: 'UnknownDevice'",
                          "Next bootstrap attempt in 30 seconds."]
    assert messages(router).count("Connecting to BS.") == 1, "the session is kept between attempts"


@pytest.mark.parametrize("reply, error", [
    ("silent", "No response from the server."),
    ("no_type", "handle_received_msg: unknown message type (0)"),
    ("invalid_json", "[json.exception.parse_error.101]"),
])
def test_unusable_replies_are_retried(service, router, reply, error):
    service.bs.replies = [reply]
    service.prepare(router)
    proc = start(router, faketime=FAST)
    service.ms.wait_for("greetings")
    stop(proc)
    errors = [e["msg"] for e in router.logs("velmo_client") if e["severity"] == "err"]
    assert errors[0].startswith(error)
    assert errors[1] == "Next bootstrap attempt in 20 seconds."


def test_a_wrong_certificate_never_replaces_a_working_one(service, router):
    service.prepare(router)
    bootstrapped(service, router)
    working = data(router, "client.crt").read_text()
    data(router, "last_bs_address").unlink()  # the next start bootstraps again
    service.bs.replies = ["wrong_cert", "silent"]
    service.bs.default = "silent"
    proc = start(router, faketime=FAST)
    router.wait_for_log("Received certificate does not match CSR that was sent out!", proc=proc)
    router.wait_for_log("No response from the server.", proc=proc)
    stop(proc)
    assert data(router, "client.crt").read_text() == working
    assert not data(router, "client.crt.new").exists()
    assert messages(router).count("Connecting to BS.") == 1


def test_skip_bootstrap_uses_the_stored_server(service, router):
    service.prepare(router)
    bootstrapped(service, router)
    data(router, "last_bs_address").unlink()
    service.prepare(router, SKIP_BOOTSTRAP=1)
    proc = start(router)
    service.ms.wait_for("greetings", count=2)
    stop(proc)
    assert "Skipping bootstrap due to SKIP_BOOTSTRAP setting." in messages(router)
    assert len(service.bs.requests) == 1


def test_skip_bootstrap_without_a_stored_server_waits_and_retries(service, router):
    service.prepare(router, SKIP_BOOTSTRAP=1)
    proc = start(router, faketime=FAST)
    line = "SKIP_BOOTSTRAP is enabled, but MS address or port is not valid!. Retry in 60 seconds"
    router.wait_for_log(lambda e: messages(router).count(line) >= 2, proc=proc)
    stop(proc)
    states = [m for m in messages(router) if m.startswith("State: ")]
    assert states[:3] == ["State: 'INITIAL'", "State: 'BOOTSTRAP'", "State: 'BOOTSTRAP'"]
    assert service.bs.requests == []


@pytest.mark.parametrize("port", [0, 65536])
def test_invalid_management_port_sends_the_agent_to_bootstrap(service, router, port):
    service.prepare(router)
    bootstrapped(service, router)
    data(router, "management-server.json").write_text(json.dumps({"addr": "127.0.0.1", "port": port}))
    proc = start(router)
    service.ms.wait_for("greetings", count=2)
    stop(proc)
    assert f"Management server port is invalid ({port}). Proceding to Bootstrap." in messages(router)
    assert len(service.bs.requests) == 2


def test_management_server_file_without_port_is_quarantined(service, router):
    service.prepare(router)
    bootstrapped(service, router)
    path = data(router, "management-server.json")
    path.write_text('{"addr":"127.0.0.1"}')
    proc = start(router)
    service.ms.wait_for("greetings", count=2)
    stop(proc)
    warning = [e for e in router.logs("velmo_client") if e["msg"].startswith("Failed to load data from file")]
    assert warning and warning[0]["severity"] == "warning"
    assert warning[0]["msg"].startswith(f"Failed to load data from file '{path}'. (")
    assert (path.parent / "management-server.json_err").read_text() == '{"addr":"127.0.0.1"}'
    assert "Management server port is invalid (-1). Proceding to Bootstrap." in messages(router)


def test_expired_certificate_is_renewed(service, router):
    service.prepare(router)
    bootstrapped(service, router)
    # The same key, a certificate that expires in 30 seconds.
    crt = data(router, "client.crt")
    subprocess.run(["faketime", "-f", "-86370s", "openssl", "x509", "-req", "-in", data(router, "client.csr"),
                    "-CA", service.pki.ca.cert, "-CAkey", service.pki.ca.key, "-set_serial", "7", "-days", "1",
                    "-out", crt], check=True, capture_output=True)
    proc = start(router)
    service.ms.wait_for("greetings", count=2)
    stop(proc)
    assert "Client certificate is expired. Proceding to Bootstrap." in messages(router)
    check = subprocess.run(["openssl", "x509", "-checkend", "3600", "-noout", "-in", crt])
    assert check.returncode == 0, "a fresh certificate replaced the expiring one"


def test_sigterm_during_a_failing_attempt_exits_without_a_pause(service, router):
    service.bs.default = "silent"
    service.prepare(router)
    proc = start(router, faketime="+0 x10")
    service.bs.wait_for_requests(1)
    proc.terminate()
    assert proc.wait(30) == 0
    msgs = messages(router)
    assert not any(m.startswith("Next bootstrap attempt") for m in msgs)
    assert msgs[-1] != "State: 'INITIAL'" and "State: 'EXIT'" in msgs


def test_management_broker_down_is_retried_until_it_is_back(service, router):
    service.prepare(router)
    bootstrapped(service, router)
    service.ms_broker.kill()
    proc = start(router, faketime=FAST)
    failed = f"Connection to 127.0.0.1:{service.ms_broker.port} failed: Destination unreachable or handshake error."
    router.wait_for_log("Next attempt in 67s.", proc=proc)
    service.ms_broker.start()  # the management server is back long before the next attempt
    service.ms.wait_for("greetings", count=2, timeout=60)
    stop(proc)
    msgs = messages(router)
    pauses = [m for m in msgs if m.startswith("Next attempt in ")]
    assert pauses == ["Next attempt in 20s.", "Next attempt in 30s.", "Next attempt in 45s.", "Next attempt in 67s."]
    assert msgs.count(failed) == 4
    errors = [e for e in router.logs("velmo_client") if e["msg"] == failed]
    assert {e["severity"] for e in errors} == {"err"}


def test_ssl_disabled_connects_over_plain_tcp(service, router):
    tcp = service.broker("tcp")
    ms = service.track(type(service.ms)(tcp))
    service.bs.management = (tcp.host, tcp.port)
    service.prepare(router, SSL_DISABLED=1)
    proc = start(router)
    ms.wait_for("greetings")
    stop(proc)
    warnings = [e for e in router.logs("velmo_client") if e["msg"] == "Warning: SSL is disabled (via settings)."]
    assert warnings and warnings[0]["severity"] == "warning"
