"""The command loop of the real agent against the reference management
server: commands and their answers, the pending reboot answer that survives a
reboot of the router, a new bootstrap on request, and the loop's resilience to
payloads it cannot use."""
import json
import signal

from fixtures_service import DEVICE

ME = f"sr/{DEVICE}/"


def start(router, faketime=None):
    return router.start(router.agent_argv(), faketime=faketime)


def stop(proc):
    proc.terminate()
    assert proc.wait(30) == 0


def online(service, router, greetings=1, faketime=None):
    """A router whose agent has bootstrapped, greeted and entered the command loop."""
    proc = start(router, faketime)
    service.ms.wait_for("greetings", count=greetings)
    router.wait_for_log("State: 'HANDLE_MANAGEMENT_COMMANDS'", proc=proc)
    return proc


def errors(router):
    return router.messages("velmo_client", severity="err")


def test_unusable_messages_are_reported_and_the_loop_goes_on(service, router):
    service.prepare(router)
    proc = online(service, router)
    ms = service.ms
    cases = [  # (payload, error line or None for a warning only)
        (b"{not json", "Handling message failed: '[json.exception.parse_error.101]"),
        (b'{"id":8}', "Handling message failed: '[json.exception.out_of_range.403] key 't' not found'"),
        (b'[1,2]', "Handling message failed: '[json.exception.type_error.304]"),
        (b'{"id":8,"t":"99"}', "Handling message failed: '[json.exception.type_error.302]"),
        (b'{"id":8,"t":99.5}', "Handling message failed: '[json.exception.type_error.302]"),
        (b'{"id":8,"t":true}', "Handling message failed: '[json.exception.type_error.302]"),
        (b'{"id":8,"t":4294967302}', "Handling message failed: 'number out of the 32-bit range: 4294967302'"),
        (b'{"id":4294967303,"t":99}', "Handling message failed: 'number out of the 32-bit range: 4294967303'"),
        (b'{"t":99}', None),
    ]
    for payload, error in cases:
        router.clear_logs()
        ms.command(DEVICE, "x", payload)
        warning = f"Warning! An unsupported message arrived to topic 'sr/cmd/{DEVICE}/x'"
        line = router.wait_for_log(error or warning, proc=proc)
        assert line["severity"] == ("err" if error else "warning") and line["msg"].startswith(error or warning)
    # An unsupported type with an id is answered on the swapped topic; nothing before it was.
    ms.send(DEVICE, 99, 7, suffix="odd/topic")
    answer = ms.answer(7)
    assert (answer.topic, answer.payload, answer.qos, answer.retain) == (
        f"sr/{DEVICE}/cmd/odd/topic", b'{"c":4,"id":7,"t":16}', 1, False)
    assert [m.json().get("id") for m in ms.messages() if m.json().get("t") == 16] == [7]
    # A type the loop handles on the greeting-reply topic too: dispatch goes by "t" only.
    ms.peer.publish(f"sr/greetings/{DEVICE}", b'{"id":9,"t":42}', qos=2)
    assert ms.answer(9).topic == f"sr/{DEVICE}/greetings"
    stop(proc)


def test_apply_config_that_cannot_be_decoded_or_parsed_changes_nothing(service, router):
    service.prepare(router)
    proc = online(service, router)
    unparsable = service.ms.config_payload('{"settings":', config_hash="h")
    cases = [  # (payload, error)
        ({"config": "***", "config_hash": "h", "config_size": 3}, "Decoding from base64 failed."),
        (unparsable, "[json.exception.parse_error.101] parse error at line 1, column 13"),
    ]
    for payload, error in cases:
        router.clear_logs()
        service.ms.send(DEVICE, 10, 3, payload)
        line = router.wait_for_log("Handling message failed:", proc=proc)
        assert line["msg"].startswith(f"Handling message failed: '{error}")
    stop(proc)
    # No request is left pending, so no sync answers the profile as reached.
    assert json.loads(router.data("sync_request.json").read_text()) == {
        "config_hash": "", "request_id": -1, "response_sent": False, "status": 0}
    assert router.data("config_profile.conf").read_text() == "null"
    assert not service.ms.answers(3)


def test_reboot_is_answered_after_the_restart(service, router):
    service.prepare(router)
    proc = online(service, router)
    service.ms.send(DEVICE, 6, 21)
    assert proc.wait(30) == -signal.SIGHUP, "the router's PID namespace was rebooted"
    msgs = router.messages("velmo_client")
    assert "Rebooting..." in msgs[msgs.index("State: 'EXIT'"):]
    assert router.data("reboot_request.json").read_text() == '{"request_id":21,"response_sent":false}'
    assert not service.ms.answers(21), "no answer before the reboot"
    assert service.ms.messages("notify/online")[-1].payload == b'{"p":{"online":false},"t":1}'

    proc = online(service, router, greetings=2)
    answer = service.ms.answer(21)
    assert (answer.topic, answer.payload, answer.qos) == (ME + "cmd/reboot", b'{"c":0,"id":21,"t":7}', 1)
    stop(proc)
    assert router.data("reboot_request.json").read_text() == '{"request_id":21,"response_sent":true}'
    proc = online(service, router, greetings=3)
    stop(proc)
    assert len(service.ms.answers(21)) == 1, "answered once"


def test_rebootstrap_starts_over_with_new_credentials(service, router):
    service.prepare(router)
    proc = online(service, router)
    data = router.data
    old_key = data("client.key").read_text()
    ca = data("ca.crt").read_text()
    service.ms.apply_config(DEVICE, 1, {})  # a profile and a sync request that the new bootstrap forgets
    service.ms.send(DEVICE, 4, 30)
    answer = service.ms.answer(30)
    assert (answer.topic, answer.payload, answer.qos) == (ME + "cmd/rebootstrap", b'{"c":0,"id":30,"t":5}', 1)
    offline = service.ms.wait_for("notify/online", count=2)
    assert offline.payload == b'{"p":{"online":false},"t":1}'
    service.bs.wait_for_requests(2)
    greeting = service.ms.wait_for("greetings", count=2)
    assert greeting.payload == b'{"p":{"config_hash":"","version":"1.0.0"},"t":15}'
    assert service.ms.messages("notify/online")[-1].payload == b'{"p":{"online":true},"t":1}'
    stop(proc)

    msgs = router.messages("velmo_client")
    states = [m for m in msgs if m.startswith("State: ")]
    i = states.index("State: 'HANDLE_MANAGEMENT_COMMANDS'")
    assert "State: 'INITIAL'" not in states[i:], "straight to BOOTSTRAP"
    assert "State: 'BOOTSTRAP'" in states[i:]
    assert data("client.key").read_text() != old_key, "a new key"
    assert data("ca.crt").read_text() == ca and data("last_bs_address").exists()
    (_, request, _) = service.bs.requests[1]
    assert request["p"]["csr"] == data("client.csr").read_text()
    assert data("config_profile.conf").read_text() == "null"
    assert json.loads(data("sync_request.json").read_text())["request_id"] == -1


FAST = "+0 x50"  # a minute takes 1.2 seconds


def count(router, prefix):
    return sum(m.startswith(prefix) for m in router.messages("velmo_client"))


def test_no_local_checks_while_the_profile_failed(service, router):
    router.write("etc/settings.eth", "ETH_IP=192.168.1.1\n")
    service.prepare(router)
    proc = online(service, router, faketime=FAST)
    ms = service.ms
    # A failed application: no local checks, so a hand edit goes unreported.
    ms.apply_config(DEVICE, 1, {"apps": {"gps": {"url": "https://127.0.0.1:9/file/x/gps_1.0.tgz", "version": "1.0"}},
                                "settings": {"ETH_IP": {"v": "10.0.0.1"}}})
    assert ms.answer(1, timeout=60).json()["c"] == 1
    router.write("etc/settings.eth", "ETH_IP=6.6.6.6\n")
    router.wait_for_log(lambda e: count(router, "State: 'REPORT_METRICS'") >= 3, proc=proc)  # 120 s and more
    assert not ms.messages("notify/sync-event")

    # The next profile is reached: checks run again and find the edit.
    ms.apply_config(DEVICE, 2, {"settings": {"ETH_IP": {"v": "10.0.0.1"}}})
    assert ms.answer(2, timeout=60).json()["c"] == 0
    router.write("etc/settings.eth", "ETH_IP=7.7.7.7\n")
    assert ms.sync_event(timeout=60).json()["p"]["changes"][0]["to"] == "7.7.7.7"
    router.wait_until(lambda: router.read("etc/settings.eth") == "ETH_IP=10.0.0.1\n", proc=proc, what="repair")

    stop(proc)


def test_an_answer_survives_a_broker_restart(service, router):
    router.write("etc/settings.eth", "ETH_IP=192.168.1.1\n")
    router.init_script("eth", "sleep 2")  # the sync is busy restarting eth when the broker goes
    service.prepare(router)
    proc = online(service, router, faketime="+0 x5")
    service.ms.apply_config(DEVICE, 39, {"settings": {"ETH_IP": {"v": "10.0.0.1"}}})  # the file's hash is stored
    service.ms.answer(39, timeout=60)
    router.clear_journal()
    service.ms.apply_config(DEVICE, 40, {"settings": {"ETH_IP": {"v": "10.0.0.2"}}}, config_hash="h40")
    router.wait_until(lambda: "/etc/init.d/eth restart" in router.commands(), proc=proc, what="eth restart")
    service.ms_broker.kill()
    router.wait_for_log("State: 'CONNECT_TO_MS'", proc=proc)
    service.ms_broker.start()
    answer = service.ms.answer(40, timeout=60)
    assert answer.payload == b'{"c":0,"id":40,"p":{"config_hash":"h40"},"t":11}'
    service.ms.wait_for("notify/online", count=2)  # online again after the reconnection
    stop(proc)
    # The sync produced one answer; the resend store may deliver it a second time when the
    # broker took it but its acknowledgement was lost, so the server sees one or two copies.
    copies = service.ms.answers(40)
    assert 1 <= len(copies) <= 2 and {c.payload for c in copies} == {answer.payload}


def states_after(router, line):
    msgs = router.messages("velmo_client")
    return [m for m in msgs[msgs.index(line):] if m.startswith("State: ")]


def test_a_new_metric_is_reported_before_the_sync_and_an_override_syncs(service, router):
    service.prepare(router)
    proc = online(service, router)
    ms = service.ms
    router.clear_logs()
    ms.apply_config(DEVICE, 50, {"reporting": {"MoOperator": {"include": "Always"}}})
    ms.answer(50)
    ms.metrics()
    order = [m.topic for m in ms.messages() if m.topic.endswith(("notify/metrics", "cmd/config"))]
    assert order[:2] == [ME + "notify/metrics", ME + "cmd/config"], "the report comes first"
    assert states_after(router, "MQTT Received: QoS 2, retained 0, topic sr/cmd/" + DEVICE + "/config")[:3] == [
        "State: 'REPORT_METRICS'", "State: 'HANDLE_MANAGEMENT_COMMANDS'", "State: 'SYNC_CONFIG_PROFILE'"]

    router.clear_logs()
    # No new name that a report carries: a metric marked Never brings no early report.
    ms.apply_config(DEVICE, 51, {"reporting": {"MoBand": {"include": "Never"}, "MoOperator": {"include": "OnChange"}}})
    ms.answer(51)
    assert states_after(router, "MQTT Received: QoS 2, retained 0, topic sr/cmd/" + DEVICE + "/config")[0] == \
        "State: 'SYNC_CONFIG_PROFILE'"

    router.clear_logs()
    ms.send(DEVICE, 30, payload={"update_version": "2.0.0"})
    line = "Ignoring a client override request: Invalid URL or Version (url='', version='2.0.0')."
    router.wait_for_log(line, proc=proc)
    router.wait_for_log("State: 'HANDLE_MANAGEMENT_COMMANDS'", proc=proc)
    assert states_after(router, line)[0] == "State: 'SYNC_CONFIG_PROFILE'"
    stop(proc)


def test_a_profile_whose_reporting_is_unreadable_does_not_block_the_next(service, router):
    service.prepare(router)
    proc = online(service, router)
    ms = service.ms
    # The command fails on the new profile's reporting, after the profile was taken into memory.
    ms.apply_config(DEVICE, 60, {"reporting": {"MoOperator": {"include": "Always", "threshold": "5"}}})
    router.wait_for_log("Handling message failed: 'Report attribute invalid datatype. (threshold)'", proc=proc)
    ms.answer(60)
    router.clear_logs()
    ms.apply_config(DEVICE, 61, {"settings": {}}, config_hash="h61")
    assert ms.answer(61).payload == b'{"c":0,"id":61,"p":{"config_hash":"h61"},"t":11}'
    assert not [m for m in errors(router) if m.startswith("Handling message failed")]
    stop(proc)
    assert router.data("config_profile.conf").read_text() == '{"settings":{}}', "the new profile replaced it"
